#pragma once
// The carousel run report: an XML file that stays well-formed after every entry, with an
// HTML page made from it by the installed style sheet after every change, so that the
// page can be opened at any moment of a run.
#include <cstddef>
#include <string>
#include <vector>

// Report categories, by the number callers pass.
enum {
  REPORT_HEADER = 0,
  REPORT_INFO = 1,
  REPORT_WARNING = 2,
  REPORT_ERROR = 3,
  REPORT_ATTENTION1 = 4,
  REPORT_ATTENTION2 = 5,
  REPORT_ATTENTION3 = 6,
  REPORT_NORMAL = 7,
  REPORT_NORMAL_B = 8,
  REPORT_NORMAL_I = 9,
  REPORT_NORMAL_IB = 10,
};

class CReporter {
 public:
  CReporter(const char* xslName, const char* dtdName, const char* htmlPath);
  virtual ~CReporter() = default;
  CReporter(const CReporter&) = delete;
  CReporter& operator=(const CReporter&) = delete;

  void SetXslFile(const char* name);
  void SetDtdFile(const char* name);
  // Throws the CheckPath text (std::string) when the page's folder does not exist; the
  // stored path is then unchanged.
  void SetHtmlPath(const char* path);
  // Creates the report anew; an empty path does nothing.
  void Open(const char* path, const char* title);
  // An entry that cannot be written (a full disk) is kept, in order, and written with the
  // next entry that can be.
  void AddLog(int category, const char* text);
  // Tries once more to write the entries kept; true when none is left unwritten.
  bool WritePending();
  // Entries of this report that are not in its file (yet).
  std::size_t GetPendingCount() const { return m_Pending.size(); }
  // What the operator is told of a report that lacks entries: names the file, how many
  // entries are missing and why; empty when none is missing.
  std::string IncompleteText() const;

  // Throws a text (std::string) when `folder` is not an existing folder. Only looks: the
  // process's current folder is never changed (other threads resolve relative paths
  // against it).
  static void CheckPath(const char* folder);

  const std::string& GetXmlPath() const { return m_strXmlPath; }
  const std::string& GetXslPath() const { return m_strXslPath; }
  const std::string& GetXslFile() const { return m_strXslFile; }
  const std::string& GetDtdFile() const { return m_strDtdFile; }
  const std::string& GetHtmlPath() const { return m_strHtmlPath; }
  // The page the transform writes (the one to show): the folder of the HTML report path
  // (else of the XML file) with the XML file's base name and ".htm"; empty before Open.
  std::string GetHtmlFile() const;

  // The category word of a category number ("ERROR" for unknown numbers).
  static const char* CategoryName(int category);
  // Text made safe as XML character data: &, < and > escaped; characters XML cannot hold
  // (control characters other than tab, CR and LF, bytes that are not UTF-8) become '?'.
  static std::string Escape(const std::string& text);

 private:
  std::string Head() const;
  bool WriteEntries(const std::string& entries);
  void TransformToHtml();

  std::string m_strXmlPath;
  std::string m_strXslPath;
  std::string m_strXslFile;
  std::string m_strDtdFile;
  std::string m_strHtmlPath;
  // What the head of the file holds, kept so that a lost or cut file can be rebuilt.
  std::string m_strTitle;
  std::string m_strDate;
  // Entries not written yet, in order, and errno of the last failed write.
  std::vector<std::string> m_Pending;
  int m_nWriteError = 0;
};

// Opens the report page with the desktop's handler without waiting for it; on failure
// tells the user why in a message box ("Failed to display the report file: " and the
// reason). False when the handler could not be started; a handler failing soon after is
// told when it ends.
bool ShowReportFile(const std::string& htmlFile);
