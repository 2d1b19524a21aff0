#include "run/Reporter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "Jotwell/Utilities.h"
#include "RunFixture.h"
#include "platform/files.h"
#include "testsupport/FileSizeLimit.h"

namespace {

const std::string kTitle = "TARSEL SCANNER -- CAROUSEL REPORT LOG";
const std::string kDate = "Tue Mar  5 14:07:09 2024";
const std::string kTail = "\t\t</message_logger>\r\n\t</Corvane>\r\n</project>\r\n";

std::string Head(const std::string& dtd = "logfile.dtd") {
  std::string dir = GetModuleDir();
  dir.erase(0, 1);  // the folder's own leading '/' follows "file:///"
  return "<?xml version=\"1.0\" standalone=\"no\"?>\r\n<!DOCTYPE project SYSTEM \"file:///" + dir + dtd +
         "\">\r\n<project>\r\n\t<Corvane>\r\n\t\t<title>" + kTitle + "</title>\r\n\t\t<date>" + kDate +
         "</date>\r\n\t\t<message_logger>\r\n";
}

std::string Entry(const std::string& category, const std::string& escaped) {
  return "\t\t\t<log category=\"" + category + "\"> " + escaped + " </log>\r\n";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Parses the file with validation against its DTD; the number of errors.
int ValidationErrors(const std::string& path) {
  xercesc::XMLPlatformUtils::Initialize();
  int errors;
  {
    xercesc::XercesDOMParser parser;
    parser.setValidationScheme(xercesc::XercesDOMParser::Val_Always);
    xercesc::HandlerBase handler;  // reports warnings and errors by counting only
    parser.setErrorHandler(&handler);
    try {
      parser.parse(path.c_str());
      errors = static_cast<int>(parser.getErrorCount());
    } catch (...) {
      errors = -1;
    }
  }
  xercesc::XMLPlatformUtils::Terminate();
  return errors;
}

class ReporterTest : public RunTest {
 protected:
  // The installation folder holds the report's DTD and style sheet, as the first run
  // leaves them there; the build keeps them beside the programs.
  ReporterTest() {
    const std::string programs = platform::directoryOf(platform::executablePath());
    for (const char* name : {"logfile.dtd", "logfile.xsl"})
      (void)platform::copyFileNoOverwrite(programs + name, install() + "/" + name);
  }

  std::string xml() const { return tempDir() + "/CarouselRunLog.xml"; }
  std::string html() const { return tempDir() + "/CarouselRunLog.htm"; }
};

TEST_F(ReporterTest, ManyEntriesGiveTheExactFileAndPageEachTime) {
  CReporter report("logfile", "logfile", "");
  report.Open(xml().c_str(), kTitle.c_str());
  EXPECT_EQ(testsupport::readFile(xml()), Head() + kTail);
  EXPECT_NE(testsupport::readFile(html()).find("<h1>" + kTitle + "</h1>"), std::string::npos);

  struct Case {
    int category;
    const char* text;
    const char* word;
    const char* escaped;
  } cases[] = {
      {REPORT_HEADER, "Slot 5 ----------------\r\n", "HEADER", "Slot 5 ----------------\r\n"},
      {REPORT_INFO, "a < b && c > d", "INFO", "a &lt; b &amp;&amp; c &gt; d"},
      {REPORT_WARNING, "already &amp; escaped", "WARNING", "already &amp;amp; escaped"},
      {REPORT_ERROR, "quote \" and 'apostrophe' ]]> stay", "ERROR", "quote \" and 'apostrophe' ]]&gt; stay"},
      {REPORT_ATTENTION1, "tab\there", "ATTENTION1", "tab\there"},
      {REPORT_ATTENTION2, "bell\x07 esc\x1b del\x7f", "ATTENTION2", "bell? esc? del?"},
      {REPORT_ATTENTION3, "5 \xC2\xB5m \xE2\x82\xAC", "ATTENTION3", "5 \xC2\xB5m \xE2\x82\xAC"},
      {REPORT_NORMAL, "cut \xC3 bad \xFF\xC0\xAF", "NORMAL", "cut ? bad ???"},
      {REPORT_NORMAL_B, "surrogate \xED\xA0\x80 nonchar \xEF\xBF\xBF", "NORMAL_B",
       "surrogate ??? nonchar ???"},
      {REPORT_NORMAL_I, "Scanned image: /data/US1_SLOT05_S01.tif", "NORMAL_I",
       "Scanned image: /data/US1_SLOT05_S01.tif"},
      {REPORT_NORMAL_IB, "", "NORMAL_IB", ""},
      {11, "eleven", "ERROR", "eleven"},
      {-1, "minus one %s %n", "ERROR", "minus one %s %n"},
      {REPORT_INFO, nullptr, "INFO", ""},
  };
  std::string expected = Head();
  std::size_t n = 0;
  for (int round = 0; round < 3; ++round) {
    for (const auto& c : cases) {
      report.AddLog(c.category, c.text);
      expected += Entry(c.word, c.escaped);
      ++n;
      // Whole after every entry, and the page shows every entry so far.
      ASSERT_EQ(testsupport::readFile(xml()), expected + kTail) << n;
      ASSERT_EQ(Count(testsupport::readFile(html()), "<div class=\"" + std::string(c.word) + "\">"),
                Count(expected, "category=\"" + std::string(c.word) + "\""))
          << n;
    }
  }
  EXPECT_EQ(ValidationErrors(xml()), 0);
  EXPECT_FALSE(logged("ERROR: Error Tranforming: ")) << log();

  const std::string page = testsupport::readFile(html());
  EXPECT_NE(page.find("<div class=\"INFO\"> a &lt; b &amp;&amp; c &gt; d </div>"), std::string::npos) << page;
  EXPECT_NE(page.find("<div class=\"date\">" + kDate + "</div>"), std::string::npos);
  EXPECT_NE(page.find("<div class=\"ERROR\"> minus one %s %n </div>"), std::string::npos);

  // The process log gets the texts as they came, by the category's level.
  EXPECT_TRUE(logged("INFO: a < b && c > d"));
  EXPECT_TRUE(logged("WARNING: already &amp; escaped"));
  EXPECT_TRUE(logged("ERROR: eleven"));
  EXPECT_TRUE(logged("ERROR: minus one %s %n"));
  EXPECT_TRUE(logged("INFO: Scanned image: /data/US1_SLOT05_S01.tif"));
  EXPECT_EQ(loggedCount("ERROR: quote \" and 'apostrophe' ]]> stay"), 3u);
}

TEST_F(ReporterTest, LostOrCutFileIsRebuiltFromItsHead) {
  CReporter report("logfile", "logfile", "");
  report.Open(xml().c_str(), kTitle.c_str());
  report.AddLog(REPORT_INFO, "one");
  report.AddLog(REPORT_INFO, "two");
  const std::string twoEntries = Head() + Entry("INFO", "one") + Entry("INFO", "two");

  struct Case {
    const char* what;
    std::string before;  // the file before the next entry ("\x01" = missing)
    std::string after;   // what it holds once "three" is added
  } cases[] = {
      {"missing", "\x01", Head() + Entry("INFO", "three") + kTail},
      {"empty", "", Head() + Entry("INFO", "three") + kTail},
      {"tail cut", twoEntries + kTail.substr(0, 10), twoEntries + Entry("INFO", "three") + kTail},
      {"entry cut", twoEntries + "\t\t\t<log category=\"IN", twoEntries + Entry("INFO", "three") + kTail},
      {"head cut", Head().substr(0, 30), Head() + Entry("INFO", "three") + kTail},
      {"another file", "not a report\r\n", Head() + Entry("INFO", "three") + kTail},
  };
  for (const auto& c : cases) {
    if (c.before == "\x01")
      std::filesystem::remove(xml());
    else
      testsupport::writeFile(xml(), c.before);
    report.AddLog(REPORT_INFO, "three");
    EXPECT_EQ(testsupport::readFile(xml()), c.after) << c.what;
    EXPECT_EQ(ValidationErrors(xml()), 0) << c.what;
  }
}

TEST_F(ReporterTest, PathAndNameRules) {
  struct Case {
    const char* given;
    std::string xml;
  } paths[] = {
      {"Run.txt", "Run_log.xml"},
      {"Run", "Run_log.xml"},
      {"Run.XML", "Run.XML"},
      {"Run.xml.bak", "Run.xml_log.xml"},
  };
  for (const auto& p : paths) {
    CReporter report("logfile", "logfile", "");
    report.Open((tempDir() + "/" + p.given).c_str(), kTitle.c_str());
    EXPECT_EQ(report.GetXmlPath(), tempDir() + "/" + p.xml) << p.given;
    EXPECT_EQ(testsupport::readFile(tempDir() + "/" + p.xml), Head() + kTail) << p.given;
  }

  struct Name {
    const char* given;
    const char* dtd;
    const char* xsl;
  } names[] = {
      {"logfile", "logfile.dtd", "logfile.xsl"},
      {"x.dtd.bak", "x.dtd.bak", "x.dtd.bak.xsl"},
      {"x.xsl.old", "x.xsl.old.dtd", "x.xsl.old"},
      {"", ".dtd", ".xsl"},
      {nullptr, ".dtd", ".xsl"},
  };
  for (const auto& n : names) {
    CReporter report(n.given, n.given, nullptr);
    EXPECT_EQ(report.GetDtdFile(), n.dtd);
    EXPECT_EQ(report.GetXslFile(), n.xsl);
    EXPECT_EQ(report.GetXslPath(), GetModuleDir() + n.xsl);
    EXPECT_EQ(report.GetHtmlPath(), "");
  }
  // The DTD name goes into the head as given.
  CReporter other("logfile", "x.dtd.bak", "");
  other.Open(xml().c_str(), kTitle.c_str());
  EXPECT_EQ(testsupport::readFile(xml()), Head("x.dtd.bak") + kTail);

  // No path: no file, but the process log still gets the line.
  CReporter none("logfile", "logfile", "");
  none.Open("", kTitle.c_str());
  none.AddLog(REPORT_WARNING, "only logged");
  EXPECT_TRUE(logged("WARNING: only logged"));
  EXPECT_EQ(none.GetHtmlFile(), "");
}

TEST_F(ReporterTest, PageIsWrittenWhereTheHtmlPathSaysUnderTheXmlName) {
  const std::string pages = tempDir() + "/pages";
  std::filesystem::create_directory(pages);
  CReporter report("logfile", "logfile", "");
  report.SetHtmlPath((pages + "/CarouselRunLog.htm").c_str());
  report.Open((tempDir() + "/MyRun.xml").c_str(), kTitle.c_str());
  report.AddLog(REPORT_INFO, "entry");
  EXPECT_EQ(report.GetHtmlFile(), pages + "/MyRun.htm");
  EXPECT_NE(testsupport::readFile(pages + "/MyRun.htm").find("<div class=\"INFO\"> entry </div>"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(pages + "/CarouselRunLog.htm"));

  // Showing the report opens the page that was written; a failure is explained.
  std::vector<std::string> opened;
  int answer = 42;
  auto previous = platform::ui::setShellOpenHook([&](const std::string& target) {
    opened.push_back(target);
    return answer;
  });
  EXPECT_TRUE(ShowReportFile(report.GetHtmlFile()));
  EXPECT_TRUE(boxes_.empty());
  struct Failure {
    int result;
    const char* reason;
  } failures[] = {
      {2, "The specified file was not found."},
      {31, "There is no application associated with the given file name extension."},
      {0, "The operating system is out of memory or resources."},
      {1, "Unrecognized error."},
  };
  for (const auto& f : failures) {
    answer = f.result;
    EXPECT_FALSE(ShowReportFile(report.GetHtmlFile()));
    ASSERT_FALSE(boxes_.empty());
    EXPECT_EQ(boxes_.back(), std::string("Failed to display the report file: ") + f.reason);
    EXPECT_EQ(captions_.back(), "Tarsel Halvorn");
  }
  platform::ui::setShellOpenHook(previous);
  ASSERT_EQ(opened.size(), 5u);
  for (const auto& o : opened) EXPECT_EQ(o, pages + "/MyRun.htm");
}

// A page that exists but nothing on this computer to open it with: the operator is told
// what is missing, not that the file is.
TEST_F(ReporterTest, NoProgramToOpenTheReportIsToldAsSuch) {
  const std::string page = tempDir() + "/CarouselRunLog.htm";
  testsupport::writeFile(page, "<html></html>");
  const std::string emptyBin = tempDir() + "/bin";
  std::filesystem::create_directory(emptyBin);
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  ::setenv("PATH", emptyBin.c_str(), 1);
  const bool shown = ShowReportFile(page);
  ::setenv("PATH", savedPath.c_str(), 1);
  EXPECT_FALSE(shown);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_.back(), std::string("Failed to display the report file: ") +
                               "No program to open it was found: \"xdg-open\" is not installed "
                               "(package xdg-utils).");
}

TEST_F(ReporterTest, MissingFolderOfThePageIsRefusedWithoutMovingTheProcess) {
  const auto cwd = std::filesystem::current_path();
  CReporter report("logfile", "logfile", "");
  report.SetHtmlPath((tempDir() + "/x.htm").c_str());
  const std::string missing = tempDir() + "/no/such";
  try {
    report.SetHtmlPath((missing + "/x.htm").c_str());
    FAIL() << "no throw";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "CheckPath:: The path specified by '" + missing + "/' does not exist.");
  }
  EXPECT_EQ(report.GetHtmlPath(), tempDir() + "/x.htm");
  EXPECT_NO_THROW(CReporter::CheckPath(tempDir().c_str()));
  EXPECT_THROW(CReporter::CheckPath((tempDir() + "/RunLog.xml").c_str()),
               std::string);  // a file, not a folder
  testsupport::writeFile(tempDir() + "/RunLog.xml", "");
  EXPECT_THROW(CReporter::CheckPath((tempDir() + "/RunLog.xml").c_str()), std::string);
  EXPECT_THROW(CReporter::CheckPath(""), std::string);
  EXPECT_EQ(std::filesystem::current_path(), cwd);
}

TEST_F(ReporterTest, FailedTransformIsLoggedAndKeepsTheLastPage) {
  CReporter report("logfile", "logfile", "");
  report.Open(xml().c_str(), kTitle.c_str());
  report.AddLog(REPORT_INFO, "before");
  const std::string page = testsupport::readFile(html());
  ASSERT_NE(page.find("before"), std::string::npos);

  report.SetXslFile("nosuch");
  report.AddLog(REPORT_INFO, "after");
  EXPECT_NE(log().find("ERROR: Error Tranforming: "), std::string::npos) << log();
  EXPECT_EQ(testsupport::readFile(html()), page);
  // The report itself went on.
  EXPECT_EQ(testsupport::readFile(xml()), Head() + Entry("INFO", "before") + Entry("INFO", "after") + kTail);
}

// Entries that meet a full disk are kept, in order, and go into the file with the first
// entry that finds room; while any is missing, the report says it is incomplete and why.
TEST_F(ReporterTest, EntriesOfAFullDiskAreWrittenOnceThereIsRoom) {
  CReporter report("logfile", "logfile", "");
  report.Open(xml().c_str(), kTitle.c_str());
  report.AddLog(REPORT_INFO, "before");
  const std::string whole = Head() + Entry("INFO", "before") + kTail;
  ASSERT_EQ(testsupport::readFile(xml()), whole);
  EXPECT_EQ(report.IncompleteText(), "");
  {
    // No file may grow past the report as it is: every rewrite of it fails.
    testsupport::FileSizeLimit full(whole.size());
    ASSERT_TRUE(full.IsSet());
    report.AddLog(REPORT_HEADER, "Total number of slide(s) detected: 2.");
    report.AddLog(REPORT_WARNING, "full 2");
    EXPECT_FALSE(report.WritePending());
  }
  EXPECT_EQ(testsupport::readFile(xml()), whole);
  EXPECT_EQ(report.GetPendingCount(), 2u);
  EXPECT_EQ(report.IncompleteText(), "The run report '" + xml() +
                                         "' is incomplete: 2 entries could not be written (" +
                                         platform::systemErrorText(EFBIG) + ").");

  report.AddLog(REPORT_INFO, "room again");
  EXPECT_EQ(testsupport::readFile(xml()),
            Head() + Entry("INFO", "before") + Entry("HEADER", "Total number of slide(s) detected: 2.") +
                Entry("WARNING", "full 2") + Entry("INFO", "room again") + kTail);
  EXPECT_EQ(report.GetPendingCount(), 0u);
  EXPECT_EQ(report.IncompleteText(), "");
  EXPECT_NE(testsupport::readFile(html()).find("room again"), std::string::npos);
}

}  // namespace
