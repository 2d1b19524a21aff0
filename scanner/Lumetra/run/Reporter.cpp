#include "run/Reporter.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>
#include <xalanc/Include/PlatformDefinitions.hpp>
#include <xalanc/XSLT/XSLTInputSource.hpp>
#include <xalanc/XSLT/XSLTResultTarget.hpp>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {

constexpr std::string_view kTail = "\t\t</message_logger>\r\n\t</Corvane>\r\n</project>\r\n";

struct Category {
  const char* name;
  void (*log)(const char*);
};

constexpr Category kCategories[] = {
    {"HEADER", &LogInfoNoFormat},     {"INFO", &LogInfoNoFormat},       {"WARNING", &LogWarningNoFormat},
    {"ERROR", &LogErrorNoFormat},     {"ATTENTION1", &LogInfoNoFormat}, {"ATTENTION2", &LogInfoNoFormat},
    {"ATTENTION3", &LogInfoNoFormat}, {"NORMAL", &LogInfoNoFormat},     {"NORMAL_B", &LogInfoNoFormat},
    {"NORMAL_I", &LogInfoNoFormat},   {"NORMAL_IB", &LogInfoNoFormat},
};
constexpr Category kUnknownCategory = {"ERROR", &LogErrorNoFormat};

const Category& CategoryOf(int category) {
  constexpr int count = static_cast<int>(std::size(kCategories));
  return category >= 0 && category < count ? kCategories[category] : kUnknownCategory;
}

std::string Text(const char* s) { return s ? s : ""; }

// The C library's asctime text without its line end, in English whatever the locale.
std::string AsctimeText(const std::tm& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = t.tm_wday >= 0 && t.tm_wday < 7 ? kDays[t.tm_wday] : "???";
  const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? kMonths[t.tm_mon] : "???";
  return FormatText("%.3s %.3s%3d %.2d:%.2d:%.2d %d", day, month, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                    1900 + t.tm_year);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Length of a valid UTF-8 sequence of a character XML allows starting at s[i]; 0 when
// the bytes there are not one.
std::size_t Utf8XmlCharLength(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07u;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b(k) & 0x3Fu);
  }
  const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (overlong || surrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return n;
}

// Xerces and Xalan are set up once, on the first transform, and taken down when the
// library goes.
class XmlEngine {
 public:
  static XmlEngine& Instance() {
    static XmlEngine engine;
    return engine;
  }
  std::mutex& Lock() { return m_Lock; }

 private:
  XmlEngine() {
    xercesc::XMLPlatformUtils::Initialize();
    xalanc::XalanTransformer::initialize();
  }
  ~XmlEngine() {
    xalanc::XalanTransformer::terminate();
    xercesc::XMLPlatformUtils::Terminate();
    xalanc::XalanTransformer::ICUCleanUp();
  }
  std::mutex m_Lock;
};

}  // namespace

CReporter::CReporter(const char* xslName, const char* dtdName, const char* htmlPath) {
  SetDtdFile(dtdName);
  SetXslFile(xslName);
  m_strHtmlPath = Text(htmlPath);
}

void CReporter::SetXslFile(const char* name) {
  m_strXslFile = Text(name);
  if (m_strXslFile.find(".xsl") == std::string::npos) m_strXslFile += ".xsl";
  m_strXslPath = GetModuleDir() + m_strXslFile;
}

void CReporter::SetDtdFile(const char* name) {
  m_strDtdFile = Text(name);
  if (m_strDtdFile.find(".dtd") == std::string::npos) m_strDtdFile += ".dtd";
}

void CReporter::SetHtmlPath(const char* path) {
  const std::string text = Text(path);
  const std::string folder = platform::directoryOf(text);
  CheckPath(folder.empty() ? "." : folder.c_str());
  m_strHtmlPath = text;
}

void CReporter::CheckPath(const char* folder) {
  const std::string text = Text(folder);
  if (text.empty() || !platform::directoryExists(text))
    throw FormatText("CheckPath:: The path specified by '%s' does not exist.", text.c_str());
}

const char* CReporter::CategoryName(int category) { return CategoryOf(category).name; }

std::string CReporter::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7F) {
      out += '?';
    } else if (u >= 0x80) {
      const std::size_t n = Utf8XmlCharLength(text, i);
      if (n == 0) {
        out += '?';
        ++i;
        continue;
      }
      out.append(text, i, n);
      i += n;
      continue;
    } else {
      out += c;
    }
    ++i;
  }
  return out;
}

std::string CReporter::Head() const {
  // The DTD is referred to by an absolute file URL; the folder already starts with '/'.
  std::string dir = GetModuleDir();
  if (!dir.empty() && dir.front() == '/') dir.erase(0, 1);
  return "<?xml version=\"1.0\" standalone=\"no\"?>\r\n<!DOCTYPE project SYSTEM \"file:///" + dir +
         m_strDtdFile + "\">\r\n" + "<project>\r\n\t<Corvane>\r\n" + "\t\t<title>" + m_strTitle +
         "</title>\r\n" + "\t\t<date>" + m_strDate + "</date>\r\n\t\t<message_logger>\r\n";
}

void CReporter::Open(const char* path, const char* title) {
  m_strXmlPath = Text(path);
  if (m_strXmlPath.empty()) return;
  if (!platform::equalsFolded(platform::extensionOf(m_strXmlPath), ".xml"))
    m_strXmlPath = platform::directoryOf(m_strXmlPath) + platform::stemOf(m_strXmlPath) + "_log.xml";
  m_Pending.clear();
  m_nWriteError = 0;
  m_strTitle = Escape(Text(title));
  m_strDate = Escape(AsctimeText(platform::localTime()));
  // A report that cannot be written must not stop the run; the first entry written later
  // starts the file again from its head.
  (void)platform::replaceFileContents(m_strXmlPath, Head() + std::string(kTail));
  TransformToHtml();
}

bool CReporter::WriteEntries(const std::string& entries) {
  const std::string old = ReadWholeFile(m_strXmlPath);
  std::string kept;
  if (old.size() >= kTail.size() && std::string_view(old).substr(old.size() - kTail.size()) == kTail) {
    kept = old.substr(0, old.size() - kTail.size());
  } else {
    // The file is gone or was cut: start again from the head, keeping the whole entries
    // of this report that are still there.
    kept = Head();
    if (old.compare(0, kept.size(), kept) == 0) {
      const std::size_t last = old.rfind("</log>\r\n");
      if (last != std::string::npos && last >= kept.size()) kept = old.substr(0, last + 8);
    }
  }
  return platform::replaceFileContents(m_strXmlPath, kept + entries + std::string(kTail));
}

bool CReporter::WritePending() {
  if (m_Pending.empty()) return true;
  if (m_strXmlPath.empty()) return false;
  std::string entries;
  for (const std::string& entry : m_Pending) entries += entry;
  if (!WriteEntries(entries)) {
    m_nWriteError = platform::lastError();
    return false;
  }
  if (m_Pending.size() > 1)
    LogInfo("Run report '%s': %zu entries kept while it could not be written are now in it.",
            m_strXmlPath.c_str(), m_Pending.size() - 1);
  m_Pending.clear();
  return true;
}

std::string CReporter::IncompleteText() const {
  if (m_Pending.empty()) return {};
  const std::string reason = platform::systemErrorText(m_nWriteError);
  return FormatText("The run report '%s' is incomplete: %zu entries could not be written%s%s.",
                    m_strXmlPath.c_str(), m_Pending.size(), reason.empty() ? "" : " (",
                    reason.empty() ? "" : (reason + ")").c_str());
}

void CReporter::AddLog(int category, const char* text) {
  const Category& c = CategoryOf(category);
  c.log(text);
  const std::string entry =
      std::string("\t\t\t<log category=\"") + c.name + "\"> " + Escape(Text(text)) + " </log>\r\n";
  if (m_strXmlPath.empty()) return;
  // A full disk must not lose what the run reported: the entry waits for room, and the
  // run goes on.
  m_Pending.push_back(entry);
  const bool hadPending = m_Pending.size() > 1;
  if (!WritePending()) {
    if (!hadPending)
      LogError("Run report '%s' cannot be written (%s); its entries are kept until it can.",
               m_strXmlPath.c_str(), platform::systemErrorText(m_nWriteError).c_str());
    return;
  }
  TransformToHtml();
}

std::string CReporter::GetHtmlFile() const {
  if (m_strXmlPath.empty()) return {};
  const std::string& folderOf = m_strHtmlPath.empty() ? m_strXmlPath : m_strHtmlPath;
  return platform::directoryOf(folderOf) + platform::stemOf(m_strXmlPath) + ".htm";
}

void CReporter::TransformToHtml() {
  const std::string output = GetHtmlFile();
  try {
    XmlEngine& engine = XmlEngine::Instance();
    std::lock_guard<std::mutex> hold(engine.Lock());
    // Into memory first, so that the page on disk is always a whole one: the old page
    // stays when the transform fails.
    std::ostringstream html;
    int result;
    std::string error;
    {
      xalanc::XalanTransformer transformer;
      result = transformer.transform(xalanc::XSLTInputSource(m_strXmlPath.c_str()),
                                     xalanc::XSLTInputSource(m_strXslPath.c_str()),
                                     xalanc::XSLTResultTarget(html));
      if (result != 0) error = Text(transformer.getLastError());
    }
    if (result != 0) {
      LogError("Error Tranforming: %s\n", error.c_str());
      return;
    }
    // The entries are safe in the report itself; only its page is behind.
    if (!platform::replaceFileContents(output, html.str()))
      LogWarning("Run report page '%s' cannot be written: %s", output.c_str(),
                 platform::systemErrorText(platform::lastError()).c_str());
  } catch (...) {
    // A transform that throws is abandoned; the next entry tries again.
  }
}

namespace {

std::string ShowReportFailure(int result, const std::string& htmlFile) {
  std::string own = platform::ui::shellOpenErrorText(result, htmlFile);
  if (!own.empty()) return own;
  switch (result) {
    case 0:
      return "The operating system is out of memory or resources.";
    case 2:
      return "The specified file was not found.";
    case 3:
      return "The specified path was not found.";
    case 5:
      return "The operating system denied access to the specified file.";
    case 8:
      return "There was not enough memory to complete the operation.";
    case 11:
      return "The .exe file is invalid (non-Win32.exe or error in .exe image).";
    case 26:
      return "A sharing violation occurred.";
    case 27:
      return "The file name association is incomplete or invalid.";
    case 28:
      return "The DDE transaction could not be completed because the request timed out.";
    case 29:
      return "The DDE transaction failed.";
    case 30:
      return "The DDE transaction could not be completed because other DDE transactions were being "
             "processed.";
    case 31:
      return "There is no application associated with the given file name extension.";
    default:
      return "Unrecognized error.";
  }
}

void ReportShowFailure(int result, const std::string& htmlFile) {
  platform::ui::messageBox("Failed to display the report file: " + ShowReportFailure(result, htmlFile),
                           "Tarsel Halvorn", platform::ui::MB_OK);
}

}  // namespace

// The viewer is started without waiting for it: a browser kept in the foreground holds
// the report, and the window stays responsive. A viewer that fails soon after is reported
// then.
bool ShowReportFile(const std::string& htmlFile) {
  const int result = platform::ui::shellOpen(htmlFile, [htmlFile](int outcome) {
    if (outcome < 32) ReportShowFailure(outcome, htmlFile);
  });
  if (result >= 32) return true;
  ReportShowFailure(result, htmlFile);
  return false;
}
