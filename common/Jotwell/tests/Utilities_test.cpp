#include "Jotwell/Utilities.h"

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Worker.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "platform/window.h"
#include "testsupport/TestEnv.h"

namespace {
class UtilitiesTest : public testsupport::ZevaTest {};
}  // namespace

TEST_F(UtilitiesTest, BarcodeRules) {
  struct Case {
    const char* barcode;
    bool valid;
    const char* number;
  } cases[] = {
      {"12345678901234", true, "000034"},      // 14 digits starting with 1, n = 2
      {"1234567890123_A01", false, nullptr},   // 17: neither 14 nor 18
      {"1234567890123_AB", false, nullptr},    // only 13 digits before the underscore
      {"13345678901234_A01", true, "000345"},  // 18 with _A
      {"13345678901234XA01", false, nullptr},  // 18 without _A
      {"123456789012345", false, nullptr},     // 15
      {"233456789012", true, "000345"},        // 12 digits starting with 2, n = 3
      {"2334567890123", false, nullptr},       // 13 digits starting with 2
      {"2334567890", true, "000345"},          // 10
      {"2334567890_A12", true, "000345"},      // 14 with _A
      {"23345678901234", false, nullptr},      // 14 without _A
      {"2334567890_A1234", true, "000345"},    // 16 with _A
      {"20345678901234", false, nullptr},      // second digit 0
      {"28345678901234", false, nullptr},      // second digit 8
      {"2734567890", true, "3456789"},         // n = 7
      {"3234567890123", false, nullptr},       // other first digit
      {"2", false, nullptr},
      {"", false, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsBarcodeFormatValid(c.barcode), c.valid) << c.barcode;
    std::string number = "unchanged";
    if (c.valid) {
      CheckBarcodeFormat(c.barcode, number);
      EXPECT_EQ(number, c.number) << c.barcode;
    } else {
      try {
        CheckBarcodeFormat(c.barcode, number);
        ADD_FAILURE() << c.barcode;
      } catch (const BarcodeFormatError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      std::string("The barcode '") + c.barcode + "' is not a supported format.", 0),
                  0u);
      }
    }
  }
  EXPECT_FALSE(IsBarcodeFormatValid(nullptr));
}

TEST_F(UtilitiesTest, VersionLetters) {
  struct Case {
    std::uint16_t major;
    const char* text;
  } cases[] = {{0, "Version PR.8.5.1   Jan  2 2026 03:04:05"},
               {1, "Version A.8.5.1   Jan  2 2026 03:04:05"},
               {26, "Version Z.8.5.1   Jan  2 2026 03:04:05"},
               {27, "Version ZZ.8.5.1   Jan  2 2026 03:04:05"}};
  for (const auto& c : cases) {
    platform::ModuleVersion v{c.major, 8, 5, 1, "Jan  2 2026", "03:04:05"};
    EXPECT_EQ(FormatVersionString(v), c.text);
  }
  // The test program carries version 1.8.5.1 and its own build stamp.
  EXPECT_EQ(GetVersionString(platform::mainProgramModule()).rfind("Version A.8.5.1   ", 0), 0u);
  EXPECT_EQ(GetVersionString(nullptr), "");
}

TEST_F(UtilitiesTest, PathsAndFiles) {
  EXPECT_FALSE(FileExists(tempDir()));
  testsupport::writeFile(tempDir() + "/f.txt", "x");
  EXPECT_TRUE(FileExists(tempDir() + "/f.txt"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_EQ(GetAppPath(), platform::executablePath());
  // Without an installation folder the program's files are beside it; with one, there.
  EXPECT_EQ(GetModuleDir(), platform::directoryOf(platform::executablePath()));
  ASSERT_TRUE(
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).WriteString(zeva::kInstallPathValue, tempDir()));
  EXPECT_EQ(GetModuleDir(), tempDir() + "/");

  struct Case {
    const char* path;
    const char* ext;
    const char* result;
  } cases[] = {{"/a/b/scan.tif", ".htm", "/a/b/scan.htm"},
               {"/a/b/scan.tif", "log", "/a/b/scan.log"},
               {"/a/b.d/scan", ".x", "/a/b.d/scan.x"},
               {"scan.tif", "", "scan"}};
  for (const auto& c : cases) {
    std::string p = c.path;
    ChangeExtension(p, c.ext);
    EXPECT_EQ(p, c.result);
  }
}

TEST_F(UtilitiesTest, UserFlagsAndFreeSpace) {
  EXPECT_FALSE(IsAdvancedEnabled());
  CRegEdit user(HKEY_CURRENT_USER, "Software\\Tarsel\\ZevazOdizo");
  user.WriteInt("EnableAdvanced", 1);
  user.WriteString("EnableDebug", "1");  // a text is not a flag
  EXPECT_TRUE(IsAdvancedEnabled());
  EXPECT_FALSE(IsDebugEnabled());
  EXPECT_EQ(ReadUserFlag("EnableAdvanced"), 1u);

  EXPECT_FALSE(HasFreeDiskSpace("", 1));
  EXPECT_FALSE(HasFreeDiskSpace(nullptr, 1));
  EXPECT_TRUE(HasFreeDiskSpace(tempDir().c_str(), 1));
  // The low 32 bits of this requirement are 1: a comparison cut to 32 bits would pass.
  EXPECT_FALSE(HasFreeDiskSpace(tempDir().c_str(), (std::uint64_t{1} << 62) + 1));
}

namespace {
class FakeDialog : public IDialogFields {
 public:
  std::string text;
  int redraws = 0;
  std::string GetDlgItemText(int) const override { return text; }
  void RedrawDlgItem(int) override { ++redraws; }
};
}  // namespace

TEST_F(UtilitiesTest, DialogFieldsRedrawOnlyWhenTheAnswerChanges) {
  FakeDialog dlg;
  int value = 5;
  dlg.text = "7";
  EXPECT_TRUE(UpdateFromDlgItemInt(&dlg, 1, &value, 5));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(UpdateFromDlgItemInt(&dlg, 1, &value, 5));  // same value again: no second redraw
  EXPECT_EQ(dlg.redraws, 1);
  dlg.text = "5";
  EXPECT_FALSE(UpdateFromDlgItemInt(&dlg, 1, &value, 5));
  EXPECT_EQ(dlg.redraws, 2);

  double d = 1.0;
  dlg.text = "2.5";
  EXPECT_TRUE(UpdateFromDlgItemDouble(&dlg, 2, &d, 1.0));
  EXPECT_DOUBLE_EQ(d, 2.5);
  dlg.text = std::string(60, '1');  // longer than a field gives
  EXPECT_TRUE(UpdateFromDlgItemDouble(&dlg, 2, &d, 1.0));
  EXPECT_DOUBLE_EQ(d, 1.11111111111111111e48);
}

TEST_F(UtilitiesTest, TechSupportLinkPrefersTheUsersLinkAndReportsFailures) {
  std::vector<std::string> opened, boxes;
  int answer = 42;
  auto prevShell = platform::ui::setShellOpenHook([&](const std::string& t) {
    opened.push_back(t);
    return answer;
  });
  auto prevBox = platform::ui::setMessageBoxHook([&](const std::string& t, const std::string&, unsigned) {
    boxes.push_back(t);
    return platform::ui::IDOK;
  });
  OpenTechSupportLink();
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\")
      .WriteString("DefaultTechSupportHyperlink", "http://lm");
  OpenTechSupportLink();
  CRegEdit(HKEY_CURRENT_USER, "Software\\Tarsel\\ZevazOdizo")
      .WriteString("CurrentTechSupportHyperlink", "http://cu; rm -rf x");
  answer = 31;
  OpenTechSupportLink();
  answer = 12;
  OpenTechSupportLink();
  platform::ui::setShellOpenHook(prevShell);
  platform::ui::setMessageBoxHook(prevBox);
  EXPECT_EQ(opened, (std::vector<std::string>{kDefaultTechSupportHyperlink, "http://lm",
                                              "http://cu; rm -rf x", "http://cu; rm -rf x"}));
  // The address tried is named.
  EXPECT_EQ(boxes, (std::vector<std::string>{
                       "No association for file extension\n\nTechnical support address: http://cu; rm -rf x",
                       "Unknown error\n\nTechnical support address: http://cu; rm -rf x"}));
}

namespace {
class RecordingWindow : public platform::Window {
 public:
  std::vector<std::pair<unsigned, std::uintptr_t>> posted;
  bool post(unsigned m, std::uintptr_t w, std::intptr_t) override {
    posted.emplace_back(m, w);
    return true;
  }
  bool postText(unsigned m, std::uintptr_t w, std::string) override { return post(m, w, 0); }
  std::intptr_t send(unsigned m, std::uintptr_t w, std::intptr_t l) override { return post(m, w, l); }
};

std::uint32_t WorkerBody(void* param) {
  auto* worker = static_cast<CWorker*>(param);
  auto* stop = static_cast<platform::Event*>(worker->GetParam());
  (void)stop->wait();
  return IsAbortRequested(worker) ? 2 : 1;
}
}  // namespace

TEST_F(UtilitiesTest, WorkerRunsAndReportsAbort) {
  platform::Event go;
  CWorker worker(&WorkerBody, &go);
  worker.Start();
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_EQ(worker.GetExitCode(), platform::Thread::kStillActive);
  worker.RequestAbort();
  go.set();
  worker.Wait();
  EXPECT_EQ(worker.GetExitCode(), 2u);
  worker.Start();  // the abort flag is cleared for a new run
  worker.Wait();
  EXPECT_EQ(worker.GetExitCode(), 1u);
  EXPECT_FALSE(IsAbortRequested(nullptr));

  RecordingWindow wnd;
  EXPECT_FALSE(worker.PostNotify(1, 0));
  worker.SetNotify(&wnd, platform::WM_USER + 300);
  EXPECT_TRUE(worker.PostNotify(4, 0));
  EXPECT_TRUE(worker.SendNotify(5, 0));
  EXPECT_EQ(wnd.posted.size(), 2u);
  EXPECT_EQ(wnd.posted[0].first, platform::WM_USER + 300);
}

TEST_F(UtilitiesTest, InstallDataFolderIsDataUnderTheInstallFolderElseTheTemporaryOne) {
  CRegEdit product(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
  product.DeleteValue("Path");
  EXPECT_EQ(InstallDataFolder(), platform::tempDirectory());

  for (const std::string& install : {tempDir() + "/install", tempDir() + "/install/"}) {
    SCOPED_TRACE(install);
    ASSERT_TRUE(product.WriteString("Path", install));
    EXPECT_EQ(InstallDataFolder(), tempDir() + "/install/Data");
    EXPECT_TRUE(platform::directoryExists(tempDir() + "/install/Data"));  // made on demand
  }
}
