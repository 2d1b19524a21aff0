// The editor's windows on a real (virtual) display.
#include "Windows.h"

#include <gtest/gtest.h>
#include <wx/wx.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "QuillFixture.h"
#include "platform/registry.h"
#include "testsupport/WxTestEnv.h"

namespace {

// The contrast of two colours as readability guidelines measure it (1 to 21).
double ContrastRatio(const wxColour& a, const wxColour& b) {
  const auto luminance = [](const wxColour& c) {
    const auto channel = [](unsigned char v) {
      const double s = v / 255.0;
      return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.Red()) + 0.7152 * channel(c.Green()) + 0.0722 * channel(c.Blue());
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

using namespace quillmark;

using wxtest::gDisplay;
using wxtest::settle;
::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new wxtest::WxEnvironment("Quillmark_gui_tests"));

class GuiTest : public QuillTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
    EXPECT_EQ(platform::registry::createKey(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\Zevazodizo"),
              platform::registry::kOk);
    EXPECT_EQ(platform::registry::setValue(platform::HKEY_LOCAL_MACHINE, "Software\\Tarsel\\Zevazodizo",
                                           "Path", platform::registry::makeString(tempDir())),
              platform::registry::kOk);
    // Two maker and two custom regions, and one custom region beyond K7431B's right edge.
    writeIni(regionFile(2) +
             "\n[Region5]\nName=Too Far Right\nType=CustomerSlide4\nCustom=YES\nX=0\nY=0\nW=5000\nH=5000\n"
             "[CustomerSlide4]\nX=74000\nY=1000\nAFX=72500\nAFY=1000\nPKG=5\n");
    ASSERT_TRUE(platform::profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "5"));
  }
  void TearDown() override {
    for (wxWindow* w : windows_) {
      w->Hide();
      w->Destroy();
    }
    if (gDisplay) settle();
  }
  template <class W>
  W* keep(W* w) {
    windows_.push_back(w);
    return w;
  }
  static void screenshot(wxWindow* w, const std::string& name) { wxtest::screenshot(w, name); }
  std::vector<wxWindow*> windows_;
};

TEST_F(GuiTest, ListWindowShowsTheRegionsAndMarksInvalidCells) {
  Global g;
  auto* frame = keep(new RegionFrame(g));
  ASSERT_TRUE(frame->Startup("K7431B", tempDir() + "/nowhere"));
  EXPECT_EQ(frame->lblScanner->GetLabel(), "Scanner K7431B");
  EXPECT_EQ(frame->lblULC->GetLabel(), "(2.00, 0.50)");
  EXPECT_EQ(frame->lblLRC->GetLabel(), "(73.00, 24.50)");
  EXPECT_EQ(boxes, (std::vector<std::string>{"Default scan region is not set.",
                                             RegionList::kInvalidRegionsMessage}));

  wxGrid* grid = frame->MSFlexGrid1;
  ASSERT_EQ(grid->GetNumberRows(), 5);
  EXPECT_EQ(grid->GetCellValue(4, kColName), "Too Far Right");
  EXPECT_EQ(grid->GetCellValue(4, kColX), "74.00");
  EXPECT_EQ(grid->GetCellTextColour(4, kColX), wxColour(255, 0, 0));
  EXPECT_EQ(grid->GetCellTextColour(4, kColWidth), wxColour(255, 0, 0));  // x + width beyond MaxX
  EXPECT_EQ(grid->GetCellTextColour(4, kColY), *wxBLACK);
  EXPECT_EQ(grid->GetCellTextColour(2, kColX), *wxBLACK);
  EXPECT_FALSE(grid->IsColShown(kColCustom));
  EXPECT_FALSE(grid->IsColShown(kColSection));
  EXPECT_EQ(grid->GetColLabelValue(kColHeight), "Height (mm)");
  EXPECT_EQ(frame->List().HeightColumnWidth(), 1340);  // five rows and the header
  EXPECT_GE(grid->GetColSize(kColHeight), Twips(frame, 1340));

  frame->SelectGridRows(2, 3);
  EXPECT_EQ(frame->GetSelectedRows(), std::make_pair(2, 3));
  // The selected rows' text reads on the selection, with the keyboard in the grid
  // (selection colour) and without it (the desktop's shadow grey).
  for (const wxColour& back :
       {grid->GetSelectionBackground(), wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW)})
    EXPECT_GE(ContrastRatio(grid->GetSelectionForeground(), back), 4.5)
        << back.GetAsString(wxC2S_HTML_SYNTAX) << " under "
        << grid->GetSelectionForeground().GetAsString(wxC2S_HTML_SYNTAX);
  frame->SelectGridRows(99, 99);
  EXPECT_EQ(frame->GetSelectedRows(), std::make_pair(5, 5));

  frame->chkCustomOnly->SetValue(true);
  wxCommandEvent click(wxEVT_CHECKBOX, frame->chkCustomOnly->GetId());
  click.SetEventObject(frame->chkCustomOnly);
  frame->chkCustomOnly->GetEventHandler()->ProcessEvent(click);
  EXPECT_EQ(grid->GetNumberRows(), 3);
  EXPECT_EQ(grid->GetCellValue(0, kColName), "Custom 1");
  screenshot(frame, "quillmark-list.png");
  for (const wxSize screen : {wxSize(1280, 1024), wxSize(1024, 768)}) {
    const std::vector<std::string> faults = wxtest::layoutFaultsOnScreen(frame, screen);
    EXPECT_TRUE(faults.empty()) << screen.x << ": " << (faults.empty() ? "" : faults.front());
  }
}

TEST_F(GuiTest, StartupAsksForAModelOnlyWhenNeededAndEndsWithoutOne) {
  Global g;
  auto* frame = keep(new RegionFrame(g));
  int asked = 0;
  frame->ChooseModel = [&] {  // closed by its frame
    ++asked;
    return false;
  };
  EXPECT_FALSE(frame->Startup("K9999", tempDir() + "/nowhere"));
  EXPECT_EQ(asked, 1);

  testsupport::writeFile(g_.RegionDbPath, regiondb::version1(regiondb::sampleModels()[0].limits));
  Global g1;
  auto* old = keep(new RegionFrame(g1));
  old->ChooseModel = [&] {
    ++asked;
    return true;
  };
  ASSERT_TRUE(old->Startup("K7431C", tempDir() + "/nowhere"));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(old->lblScanner->GetLabel(), "Scanner K7431A");

  std::remove(g_.RegionDbPath.c_str());
  Global g2;
  auto* missing = keep(new RegionFrame(g2));
  boxes.clear();
  EXPECT_FALSE(missing->Startup("K7431A", tempDir() + "/nowhere"));
  EXPECT_EQ(boxes, std::vector<std::string>{"Unable to locate " + tempDir() + "/RegionDB.sys"});
}

TEST_F(GuiTest, ModelSelectionAndAbout) {
  auto* select = keep(new SelectScannerDialog(nullptr, g_));
  ASSERT_EQ(select->cboScanner->GetCount(), 3u);
  EXPECT_EQ(select->cboScanner->GetString(0), "K7431A");
  EXPECT_EQ(select->cboScanner->GetStringSelection(), "K7431C");
  wxCommandEvent ok;
  select->OnOK(ok);
  EXPECT_EQ(select->Result(), wxID_OK);
  EXPECT_EQ(g_.ModelName, "K7431C");
  EXPECT_DOUBLE_EQ(g_.RegionLimits.MaxX, 75.0);

  auto* about = keep(new AboutDialog(nullptr, g_));
  EXPECT_EQ(about->lblVersion->GetLabel(), "Version: 2.1.x.15");
  EXPECT_EQ(about->GetTitle(), wxString("About ") + kEditorTitle);
}

TEST_F(GuiTest, EditFormFiltersChecksAndSaves) {
  g_.LoadModelRegionLimits("K7431A");
  g_.ClearCurrentRegion();
  auto* edit = keep(new EditRegionDialog(nullptr, g_, "New"));
  EXPECT_EQ(edit->GetTitle(), "Add New Region");
  EXPECT_EQ(edit->lblMaxX->GetLabel(), "62.00");
  edit->Show();

  edit->Box(Box::Name)->SetValue("Fresh");
  edit->Box(Box::XPos)->SetValue("1.234");  // a third decimal is dropped as it is typed
  EXPECT_EQ(edit->Box(Box::XPos)->GetValue(), "1.23");
  edit->Box(Box::XPos)->SetValue("62.5");
  edit->LostFocus(Box::XPos);
  EXPECT_EQ(edit->Box(Box::XPos)->GetValue(), "62.50");
  EXPECT_EQ(edit->lblMaxWidth->GetLabel(), "0.50");
  EXPECT_EQ(edit->lblMaxWidth->GetForegroundColour(), wxColour(255, 0, 0));
  edit->Box(Box::YPos)->SetValue("1");
  edit->Box(Box::Width)->SetValue("5");
  edit->Box(Box::Height)->SetValue("5");
  screenshot(edit, "quillmark-edit.png");

  wxCommandEvent click;
  edit->OnSave(click);
  EXPECT_FALSE(edit->Saved());
  EXPECT_EQ(edit->LastFocus(), Box::XPos);
  EXPECT_EQ(boxes.back(), "X coordinate must be between 2.00 and 62.00");

  edit->Box(Box::XPos)->SetValue("10");
  edit->LostFocus(Box::XPos);
  EXPECT_EQ(edit->Box(Box::XPos)->GetValue(), "10.00");
  EXPECT_EQ(edit->lblMaxWidth->GetForegroundColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_BTNTEXT));
  edit->OnSave(click);
  EXPECT_TRUE(edit->Saved());
  EXPECT_EQ(platform::profile::getString(g_.IniPath, "Region6", "Name"), "Fresh");
  EXPECT_EQ(platform::profile::getString(g_.IniPath, "CustomerSlide5", "X"), "10000");
}

}  // namespace
