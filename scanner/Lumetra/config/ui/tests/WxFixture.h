#pragma once
// The configuration windows' tests: every test gets the profile fixture, and the windows
// it keeps are destroyed after it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ProfileFixture.h"
#include "testsupport/TestEnv.h"
#include "testsupport/WxTestEnv.h"

namespace wxtest {

class WindowTest : public ProfileTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
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
  std::vector<wxWindow*> windows_;
};

}  // namespace wxtest

namespace wxtest {
// Stored window placements go to a file of the test run, not the user's.
inline testsupport::TempDir gConfigDir;
inline ::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(
    new WxEnvironment("Lumetra_config_gui_tests", gConfigDir.file("placement.ini")));
}  // namespace wxtest
