#pragma once
// A scanner object connected to a simulated instrument with all its device commands, in
// an install folder of its own (its data folder holds the files the devices write).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "devices/Scanner.h"
#include "zevasim/DeviceFamilies.h"

class DeviceTest : public LinkTest {
 protected:
  DeviceTest();
  ~DeviceTest() override;

  // Opens the scanner's channel (the clock is set on the way) and forgets the lines so far.
  void connect();
  // The lines the simulator received since connect() (or since the last forget()).
  std::vector<std::string> lines() const;
  std::string lastLine() const;
  void forget();
  // The frame time-out (seconds) of the last request.
  int lastTimeoutSec() const;
  // The raw payload of the last request.
  std::string lastPayload() const;
  // The id thrown by `f`, 0 when it returns.
  static int thrown(const std::function<void()>& f);
  // Log lines containing `text`.
  int logCount(const std::string& text) const;
  // The log line that contains `text`, "" when none.
  std::string logLine(const std::string& text) const;

  // Until releaseReplies() (or the end of the test), the instrument holds its answer to
  // `word`: a command past its time-out then fails for sure, whatever the clock does.
  void holdReplies(const std::string& word, zevasim::Reply reply = zevasim::Reply::ok());
  void releaseReplies();

  std::string install;
  zevasim::DeviceFamilies devices;
  CScanner scanner;

 private:
  std::size_t mark_ = 0;
  std::mutex holdMutex_;
  std::condition_variable holdChanged_;
  bool released_ = false;
};
