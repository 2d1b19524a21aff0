// The connection-failed dialogs on a real (virtual) display, over fake probes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/wx.h>

#include <cstdlib>
#include <functional>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "diag/ConnectToScannerFailedDlg.h"
#include "diag/ConnectionDiagnostics.h"
#include "diag/ConnectionFailedDiagnosticsDlg.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"
#include "testsupport/WxTestEnv.h"

namespace {

using namespace lumetra;
using platform::icmp::EchoResult;
using platform::icmp::EchoStatus;

using wxtest::gDisplay;
using wxtest::screenshot;
using wxtest::settle;
::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new wxtest::WxEnvironment("Lumetra_diag_gui_tests"));

void click(wxWindow* dialog, int id) {
  wxWindow* button = dialog->FindWindow(id);
  ASSERT_NE(button, nullptr) << id;
  wxCommandEvent e(wxEVT_BUTTON, id);
  e.SetEventObject(button);
  button->GetEventHandler()->ProcessEvent(e);
}

template <class D>
D* openDialog() {
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* d = dynamic_cast<D*>(w); d && d->IsModal()) return d;
  return nullptr;
}

class CountingProbes : public DiagnosticsProbes {
 public:
  int runs = 0;  // the sweep opens the echo sender once per run
  std::vector<platform::process::ProcessInfo> Processes() override {
    platform::process::ProcessInfo p;
    p.pid = 77;
    p.executable = "/usr/bin/hypertrm";
    return {p};
  }
  bool ServiceRunning(const std::string& name) override { return name != "Oskrel"; }
  platform::process::UnitState ServiceUnitState(const std::string&) override {
    return platform::process::UnitState::inactive;
  }
  std::vector<platform::netif::Adapter> Adapters() override {
    platform::netif::Adapter a;
    a.name = "enx00aabbccddee";
    a.driver = kScannerAdapterDriver;
    a.ipv4 = {{0x0A000001, 0xFFFF0000}};
    return {a};
  }
  std::unique_ptr<EchoSender> OpenEcho(std::string&) override {
    ++runs;
    struct Sender : EchoSender {
      int n = 0;
      EchoResult Echo(std::uint32_t, std::span<const std::uint8_t>, std::chrono::milliseconds) override {
        return ++n < 2 ? EchoResult{EchoStatus::timedOut, {}} : EchoResult{EchoStatus::reply, {}};
      }
    };
    return std::make_unique<Sender>();
  }
};

class DialogTest : public testsupport::ZevaTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
    CRegEdit lm(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    lm.WriteInt("EnableTimestamp", 0u);
    lm.WriteInt("EnableThreadIdStamp", 0u);
    CLogger::SetRegKey(nullptr);
    logPrefix_ = tempDir() + "/test";
    CLogger::Open(logPrefix_.c_str());
    probes_ = std::make_shared<CountingProbes>();
    previous_ = SetDiagnosticsProbes(probes_);
    const std::string mac = std::string(kDalmorMacKey) + "\\00-0e-c6-11-22-33";
    EXPECT_EQ(platform::registry::createKey(platform::HKEY_LOCAL_MACHINE, mac), platform::registry::kOk);
    EXPECT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, mac, "IpAddr",
                                           platform::registry::makeDword(0x0A000005)),
              platform::registry::kOk);
    EXPECT_EQ(platform::registry::createKey(platform::HKEY_LOCAL_MACHINE, kBroklaKey),
              platform::registry::kOk);
    EXPECT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, kBroklaKey, "Instr1",
                                           platform::registry::makeString("SN-7431 0a000005 0")),
              platform::registry::kOk);
  }
  void TearDown() override {
    if (!gDisplay) return;
    SetDiagnosticsProbes(previous_);
    settle();
    CLogger::Close();
  }
  std::string log() const { return testsupport::readFile(logPrefix_ + "0.log"); }

  // What the checks give with the same probes and registry.
  std::string expectedText() {
    CountingProbes probes;
    CConnectionDiagnostics results;
    std::vector<std::string> lines;
    RunConnectionDiagnostics(results, lines, probes);
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    return text;
  }

  std::shared_ptr<CountingProbes> probes_;
  std::shared_ptr<DiagnosticsProbes> previous_;
  std::string logPrefix_;
};

std::string withoutCr(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

TEST_F(DialogTest, ConnectFailedDialogShowsItsTextAndAnswersYesNoOrCancel) {
  const wxtest::Watchdog watchdog;
  struct Case {
    std::function<void(CConnectToScannerFailedDlg*)> act;
    int result;
  } cases[] = {
      {[](CConnectToScannerFailedDlg* d) { click(d, wxID_YES); }, platform::ui::IDYES},
      {[](CConnectToScannerFailedDlg* d) { click(d, wxID_NO); }, platform::ui::IDNO},
      {[](CConnectToScannerFailedDlg* d) { d->Close(); }, platform::ui::IDCANCEL},
  };
  bool first = true;
  for (const auto& c : cases) {
    CConnectToScannerFailedDlg dlg(nullptr);
    dlg.m_strMessage =
        "Unable to connect to the scanner.\n\nDo you want to continue without the scanner? Choose No to "
        "exit.";
    wxString shown;
    wxTheApp->CallAfter([&] {
      auto* d = openDialog<CConnectToScannerFailedDlg>();
      ASSERT_EQ(d, &dlg);
      shown = d->m_Text->GetLabel();
      EXPECT_EQ(d->GetTitle(), "Connect to K7431C Scanner");
      EXPECT_EQ(d->m_Text->GetId(), IDC_CONNECT_FAILED_TEXT);
      EXPECT_EQ(d->FindWindow(IDC_DIAGNOSTICS)->GetLabel(), "Diagnostics");
      if (first) screenshot(d, "connect-failed.png");
      c.act(d);
    });
    EXPECT_EQ(dlg.DoModal(), c.result);
    // Wrapping to the dialog's width only turned blanks into line ends.
    std::string unwrapped = shown.ToStdString();
    std::replace(unwrapped.begin() + static_cast<std::ptrdiff_t>(unwrapped.rfind("\n\n") + 2),
                 unwrapped.end(), '\n', ' ');
    EXPECT_EQ(unwrapped, dlg.m_strMessage);
    first = false;
  }
  EXPECT_EQ(probes_->runs, 0);  // nothing ran the checks
}

TEST_F(DialogTest, DiagnosticsButtonRunsTheChecksAfreshEachTimeAndComesBack) {
  const wxtest::Watchdog watchdog;
  const std::string expected = expectedText();
  CConnectToScannerFailedDlg dlg(nullptr);
  dlg.m_strMessage = "Unable to connect to the scanner.";
  std::vector<std::string> texts;
  // In the diagnostics dialog's own modal loop: note what it shows and leave by Exit.
  const auto readAndExit = [&] {
    auto* diag = openDialog<CConnectionFailedDiagnosticsDlg>();
    ASSERT_NE(diag, nullptr);
    EXPECT_EQ(diag->GetParent(), &dlg);
    EXPECT_EQ(diag->GetTitle(), "Connection failed diagnostics");
    texts.push_back(diag->Text());
    EXPECT_EQ(withoutCr(diag->m_Edit->GetValue().ToStdString()), withoutCr(diag->Text()));
    EXPECT_FALSE(diag->m_Edit->IsEditable());
    click(diag, wxID_OK);
  };
  bool stillOpen = false;
  wxTheApp->CallAfter([&] {
    auto* d = openDialog<CConnectToScannerFailedDlg>();
    ASSERT_EQ(d, &dlg);
    wxTheApp->CallAfter([&] { readAndExit(); });
    click(d, IDC_DIAGNOSTICS);
    stillOpen = d->IsModal() && d->IsShown();
    wxTheApp->CallAfter([&] { readAndExit(); });
    click(d, IDC_DIAGNOSTICS);
    click(d, wxID_NO);
  });
  EXPECT_EQ(dlg.DoModal(), platform::ui::IDNO);
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(probes_->runs, 2);
  // Each run starts from fresh results: the second shows what the first did, not more.
  EXPECT_THAT(texts, testing::ElementsAre(expected, expected));
  EXPECT_THAT(expected, testing::HasSubstr("\r\nping 10.0.0.5 successful - attempt 2\r\n"));
  EXPECT_THAT(log(), testing::HasSubstr("Diagnostics: Getting Dalmor info...\r\n"));
  EXPECT_THAT(log(),
              testing::HasSubstr("Diagnostics: Hyperterminal is running.  Try closing it and re-start.\r\n"));
}

TEST_F(DialogTest, DiagnosticsDialogKeepsItsLayoutWhenResized) {
  const wxtest::Watchdog watchdog;
  CConnectionFailedDiagnosticsDlg dlg(nullptr);
  wxTheApp->CallAfter([&] {
    screenshot(&dlg, "connection-diagnostics.png");
    for (const wxSize size : {wxSize(500, 300), wxSize(900, 700), wxSize(320, 200)}) {
      dlg.SetClientSize(dlg.FromDIP(size));
      dlg.Layout();
      settle();
      const wxSize client = dlg.GetClientSize();
      const wxRect edit = dlg.m_Edit->GetRect();
      const wxRect exit = dlg.m_Exit->GetRect();
      const int m = edit.x;
      EXPECT_GT(m, 0);
      EXPECT_EQ(edit.y, m);
      EXPECT_EQ(edit.width, client.x - 2 * m);
      EXPECT_EQ(edit.height, client.y - m - 2 * (m / 2) - exit.height);
      EXPECT_LE(std::abs(exit.x - (client.x / 2 - exit.width / 2)), 1);
      EXPECT_EQ(exit.y, client.y - m / 2 - exit.height);
    }
    click(&dlg, wxID_OK);
  });
  EXPECT_EQ(dlg.DoModal(), wxID_OK);
}

}  // namespace
