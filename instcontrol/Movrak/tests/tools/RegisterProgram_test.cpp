// movrak-register as a user runs it: the library it is given is the one registered, by
// its absolute path, and a library it cannot find is named with where it was looked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/com.h"
#include "platform/files.h"
#include "platform/process.h"
#include "testsupport/TestEnv.h"

namespace {

using testing::HasSubstr;

class RegisterProgramTest : public testsupport::ZevaTest {
 protected:
  struct Run {
    std::optional<int> exitCode;
    std::string out, err;
  };
  Run movrakRegister(const std::string& argument, const std::string& folder) {
    const std::string stem = tempDir() + "/run" + std::to_string(++runs_);
    auto c = platform::process::Child::spawn({MOVRAK_REGISTER_PROGRAM, argument},
                                             {folder, stem + ".out", stem + ".err"});
    Run r{c.wait(std::chrono::seconds(30)), {}, {}};
    r.out = testsupport::readFile(stem + ".out");
    r.err = testsupport::readFile(stem + ".err");
    return r;
  }
  static std::string registeredLibrary() {
    platform::com::CLSID clsid{};
    std::string path;
    if (platform::com::Failed(platform::com::ClsidFromProgId("Movrak.ScanCtrl", &clsid)) ||
        platform::com::Failed(platform::com::GetInprocServerPath(clsid, &path)))
      return {};
    return path;
  }
  int runs_ = 0;
};

// A bare name exists in the current folder: that file is registered, not whatever the
// library search path would find under the name.
TEST_F(RegisterProgramTest, ABareNameInTheCurrentFolderIsRegisteredByItsAbsolutePath) {
  const std::string library = MOVRAK_LIBRARY;
  const std::string folder = platform::directoryOf(library);
  const Run r = movrakRegister(platform::fileNameOf(library), folder);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "movrak-register: registered " + library + "\n");
  EXPECT_EQ(registeredLibrary(), library);
}

TEST_F(RegisterProgramTest, ALibraryThatIsNotThereIsNamedWithWhereItWasLookedFor) {
  const struct {
    std::string argument;
    std::string says;
  } cases[] = {
      {"libNothing.so",
       "movrak-register: the library libNothing.so in the current folder " + tempDir() + " does not exist\n"},
      {tempDir() + "/libNothing.so",
       "movrak-register: the library " + tempDir() + "/libNothing.so does not exist\n"},
      {tempDir(), "movrak-register: the library " + tempDir() + " is not a regular file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    const Run r = movrakRegister(c.argument, tempDir());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, c.says);
    EXPECT_EQ(registeredLibrary(), "");
  }
}

}  // namespace
