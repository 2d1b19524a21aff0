#pragma once
// Objects of the automation server created through the COM layer from the built library
// (registered in the test's own registry), on a simulated instrument listed by a fake
// connection manager and a simulated board. The test process shares the library's
// clock, logger and data-port library, but not its internals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeConnectionManager.h"
#include "Movrak/IScanCtrl.h"
#include "Movrak/IScanLL.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/dynlib.h"
#include "testsupport/TestEnv.h"
#include "zevasim/DeviceFamilies.h"
#include "zevasim/SimInstrument.h"

using platform::com::ComPtr;
using platform::com::HRESULT;
using BOOL32 = IScanCtrl::BOOL32;
using LONG = IScanCtrl::LONG;
using ULONG = IScanCtrl::ULONG;

class ComTest : public testsupport::ZevaTest {
 protected:
  static constexpr std::uint32_t kInstrumentId = 7;

  ComTest();
  ~ComTest() override;
  static void SetUpTestSuite();
  void SetUp() override;

  // A new ScanCtrl object from the registered library.
  ComPtr<IScanCtrl> create();
  // A new ScanLL object from the registered library.
  ComPtr<IScanLL> createLL();
  // "127.0.0.1_<port>"
  std::string connectString() const;
  // Connects `ctrl` and forgets what was sent so far.
  void connect(IScanCtrl& ctrl);
  void connect(IScanLL& ll);

  // What the instrument received since the last forget().
  std::vector<std::string> lines() const;
  void forget();
  std::string log() const;
  // The error information the last failing call left ("" when none).
  static std::string description();
  static HRESULT Itf(int id) { return platform::com::ItfError(static_cast<std::uint32_t>(id)); }

  // Until releaseReplies(), the instrument holds its answer to `word`.
  void holdReplies(const std::string& word);
  void releaseReplies();
  // Moves the clock on until `f` is ready (bounded in real time).
  template <typename T>
  void driveUntilReady(std::future<T>& f, std::chrono::milliseconds step = std::chrono::seconds(1)) {
    const auto start = std::chrono::steady_clock::now();
    while (f.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "call did not finish";
      clock_->advance(step);
    }
  }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scopedClock_;
  zevasim::Instrument sim;
  zevasim::DeviceFamilies devices;
  FakeConnectionManager manager;
  std::string bitFile;

 private:
  // Loaded once for the whole test: unloading a library whose thread-local data the
  // process touched and loading it again confuses the leak checker at exit.
  platform::DynamicLibrary library_;
  std::size_t mark_ = 0;
  std::mutex holdMutex_;
  std::condition_variable holdChanged_;
  bool released_ = true;
  static inline bool portLibLoaded_ = false;
};
