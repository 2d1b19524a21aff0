#pragma once
// The main window's logic under test: a view that records what the window would show, a
// message target that owns what is posted to it, and a fixture with the fake instrument,
// the region and profile files in the host program's folder, and scripted boxes.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FakeScanCtrl.h"
#include "ProfileFixture.h"
#include "maindlg/ScanDlgCore.h"
#include "maindlg/ScanDlgView.h"
#include "platform/window.h"

namespace maindlg_test {

// Takes what the run manager posts and drops it.
class OwningWindow : public platform::Window {
 public:
  bool post(unsigned, std::uintptr_t, std::intptr_t) override { return true; }
  bool postText(unsigned, std::uintptr_t, std::string) override { return true; }
  std::intptr_t send(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
};

class RecordingView : public lumetra::maindlg::IScanDlgView {
 public:
  void ShowStatusText(const std::string& text) override { status = text; }
  void EnableScanButton(bool enable) override { scanEnabled = enable; }
  void SetScanCaption(const std::string& c) override { caption = c; }
  void EnableSlotLists(bool enable) override { slotListsEnabled = enable; }
  void FillStartSlotList(int first, int last, int selected) override { startList = {first, last, selected}; }
  void FillEndSlotList(int first, int last, int selected) override { endList = {first, last, selected}; }
  void FillProfileList(const std::vector<std::string>& names, const std::string& selected) override {
    profiles = names;
    profileSelected = selected;
  }
  void SetStatusPane(lumetra::maindlg::StatusPane pane, const std::string& text) override {
    panes[pane] = text;
  }
  std::string OperatorName() const override { return operatorName; }
  lumetra::CarouselGridModel& GridModel() override { return grid; }
  void GridSetCurrentProfile(tagScanCfgStruct* profile, bool all) override {
    grid.SetCurrentProfile(profile, all);
  }
  void GridChangeSlotRange(int first, int last) override { grid.SetSlotRange(first, last); }
  void GridRefreshAll() override { ++gridRefreshes; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
  void EndDialog(int code) override { endCode = code; }
  void ShowSplash() override { splash = true; }
  void HideSplash() override { splash = false; }
  bool StartTimer(int id, unsigned ms) override {
    timers[id] = ms;
    return true;
  }
  bool StopTimer(int id) override { return timers.erase(id) > 0; }
  int RunConnectFailedDlg(const std::string& message) override {
    connectFailed.push_back(message);
    return connectAnswer;
  }
  lumetra::maindlg::ProfileEditResult RunProfileEditor(CCarouselCfgProfileMap& map,
                                                       const std::string& cur) override {
    return editProfiles ? editProfiles(map, cur) : lumetra::maindlg::ProfileEditResult{};
  }
  bool CreateStatusDlg(lumetra::run::CScanMgr&) override { return statusDlgCreated; }
  void RunStatusDlg() override {
    ++runs;
    if (duringRun) duringRun();
  }
  void DestroyStatusDlg() override {}
  void RunCheckCarouselDlg(lumetra::run::CScanMgr&, int first, int last) override {
    checks.push_back({first, last, slotListsEnabled});
  }
  void RunAboutDlg() override { ++abouts; }
  bool RunLaserPowerSaveTaskDlg(LaserPowerSaverSettings&, bool& created) override {
    created = true;
    return false;
  }
  void RunExtendedLaserCalibration() override {}
  void SetNonUseLpsTimer(bool arm) override { nonUseArmed = arm; }

  std::string status, caption, operatorName = "Operator";
  bool scanEnabled = false, slotListsEnabled = true, splash = false, statusDlgCreated = true;
  std::vector<int> startList, endList;
  std::vector<std::string> profiles;
  std::string profileSelected;
  std::map<int, std::string> panes;
  lumetra::CarouselGridModel grid;
  int gridRefreshes = 0, endCode = 0, runs = 0, abouts = 0;
  std::map<int, unsigned> timers;
  std::vector<std::string> connectFailed;
  int connectAnswer = 7;  // No
  std::function<lumetra::maindlg::ProfileEditResult(CCarouselCfgProfileMap&, const std::string&)>
      editProfiles;
  std::function<void()> duringRun;
  std::vector<std::vector<int>> checks;
  bool nonUseArmed = false;
};

class MainDlgTest : public ProfileTest {
 protected:
  MainDlgTest();
  ~MainDlgTest() override;
  // A window logic over the fake instrument (created by the server factory).
  lumetra::maindlg::CScanDlgCore& core();
  // Start-up with the instrument as scripted.
  void startUp();
  // Online, past start-up, with the instrument reporting Ready.
  void startReady();
  // The message boxes' texts so far.
  const std::vector<std::string>& boxes() const { return boxes_; }
  bool boxShown(const std::string& text) const;

  std::string appDir_;
  platform::com::ComPtr<lumetra_test::FakeScanCtrl> scan_;
  OwningWindow window_;
  RecordingView view_;
  std::unique_ptr<lumetra::maindlg::CScanDlgCore> core_;
};

}  // namespace maindlg_test
