// The commands the first run prints for starting the connection manager: the shell must
// read the installation's paths back exactly, whatever they hold.
#include "ServiceSteps.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

// What /bin/sh makes of `words` as arguments: one line each.
std::vector<std::string> ShellArguments(const std::string& words) {
  const std::string command = "printf '%s\\n' " + words;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"popen failed"};
  std::string out;
  char buffer[256];
  while (const size_t n = ::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"the shell failed: " + out};
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < out.size();) {
    const std::size_t end = out.find('\n', start);
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(ServiceStepsTest, ShellReadsEveryPathBackAsOneWord) {
  struct Case {
    std::string path;
    bool quoted;
  };
  const Case cases[] = {
      {"/opt/zevazodizo/lib/systemd/user/brokla.service", false},
      {"/usr/local/lib/systemd/user/brokla.service", false},
      {"/home/lab/zeva 1.0/lib/systemd/user/brokla.service", true},
      {"/home/lab/Zeva's scanner/bin/brokla", true},
      {"/home/lab/$HOME `id` $(id) 100%/bin/brokla", true},
      {"/home/lab/*?[ab]{c,d}~;&|<>#!/bin/brokla", true},
      {"/home/lab/a\\b\"c\"/bin/brokla", true},
      {"/home/lab/tab\there/bin/brokla", true},
  };
  for (const Case& c : cases) {
    const std::string word = setup::ShellWord(c.path);
    EXPECT_EQ(word.front() == '\'', c.quoted) << word;
    EXPECT_EQ(ShellArguments(word), std::vector<std::string>{c.path}) << word;
  }
}

TEST(ServiceStepsTest, StepsLinkTheInstallationsOwnUnitThenEnableIt) {
  struct Case {
    std::string program;
    std::string unit;
  };
  const Case cases[] = {
      {"/opt/zevazodizo/bin/zevazodizo-setup", "/opt/zevazodizo/lib/systemd/user/brokla.service"},
      {"/home/lab/my prefix/bin/zevazodizo-setup", "/home/lab/my prefix/lib/systemd/user/brokla.service"},
      {"/srv//zeva/bin//zevazodizo-setup", "/srv//zeva/lib/systemd/user/brokla.service"},
  };
  for (const Case& c : cases) {
    const std::string unit = setup::ServiceUnitOf(c.program);
    EXPECT_EQ(unit, c.unit);
    const std::vector<std::string> steps = setup::ServiceStartSteps(unit);
    ASSERT_EQ(steps.size(), 4u);
    const std::string link = "systemctl --user link ";
    ASSERT_EQ(steps[0].rfind(link, 0), 0u) << steps[0];
    EXPECT_EQ(ShellArguments(steps[0].substr(link.size())), std::vector<std::string>{c.unit}) << steps[0];
    EXPECT_EQ(steps[1], "systemctl --user daemon-reload");
    EXPECT_EQ(steps[2], "systemctl --user enable --now brokla");
    EXPECT_EQ(steps[3], "loginctl enable-linger $USER");
  }
}

}  // namespace
