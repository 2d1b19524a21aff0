#include "Jotwell/BaseException.h"

#include <cstdint>
#include <cstring>

#include "LoggerFixture.h"
#include "platform/ui.h"

namespace {
const char* TestTable(int id) {
  switch (id) {
    case 100:
      return "Cannot open %s: %1";
    case 101:
      return "Step %d failed";
    case 102:
      return "Disk %s";
    default:
      return nullptr;
  }
}

class ExceptionTest : public LoggerTest {
 protected:
  ExceptionTest() {
    SetExceptionStringTable(&TestTable);
    noStamps();
    CLogger::Open((tempDir() + "/x").c_str());
  }
  ~ExceptionTest() override { SetExceptionStringTable(nullptr); }
  std::string log() const { return read(tempDir() + "/x0.log"); }
};

std::string text(const CException& e) {
  char buf[1024];
  return e.GetErrorMessage(buf, sizeof buf) ? std::string(buf) : std::string();
}
}  // namespace

TEST_F(ExceptionTest, ApiExceptionJoinsTheSystemText) {
  const std::string sys2 = platform::systemErrorText(2);
  ASSERT_FALSE(sys2.empty());
  platform::setLastError(2);
  const CAPIException fromFormat("Open failed for %s", "a.txt");
  EXPECT_EQ(fromFormat.GetMessageText(), "Open failed for a.txt " + sys2);
  EXPECT_EQ(fromFormat.GetSystemErrorCode(), 2u);
  EXPECT_TRUE(fromFormat.IsInternal());

  platform::setLastError(2);
  const CAPIException fromId(100, "b.txt");  // the template holds %1: no second insert
  EXPECT_EQ(fromId.GetMessageText(), "Cannot open b.txt: " + sys2);
  EXPECT_FALSE(fromId.IsInternal());

  platform::setLastError(2);
  const CAPIException missingId(999);
  EXPECT_EQ(missingId.GetMessageText(), std::string(kMissingErrorMessageText) + " " + sys2);

  // Each text was logged as an ERROR line when built.
  EXPECT_NE(log().find("ERROR: Open failed for a.txt " + sys2 + "\r\n"), std::string::npos);
  EXPECT_NE(log().find("ERROR: Cannot open b.txt: " + sys2 + "\r\n"), std::string::npos);
}

TEST_F(ExceptionTest, UnknownSystemCodeGivesItsOwnExceptionWithoutRecursion) {
  platform::setLastError(98765);
  try {
    CAPIException e("whatever %d", 1);
    FAIL() << "expected a throw";
  } catch (const CAPIException& e) {
    EXPECT_EQ(e.GetMessageText(), "Error Getting API Error String: code = 98765");
    EXPECT_EQ(e.GetSystemErrorCode(), 98765u);
  }
}

TEST_F(ExceptionTest, PercentInInsertedTextStaysLiteral) {
  const CInternalException cause("100%% sure %s", "%d%n");
  EXPECT_EQ(cause.GetMessageText(), "100% sure %d%n");
  const CExtException ext(cause, 101, 7);
  EXPECT_EQ(ext.GetMessageText(), "Step 7 failed 100% sure %d%n");
  ASSERT_NE(ext.GetCause(), nullptr);
  EXPECT_EQ(text(*ext.GetCause()), "100% sure %d%n");
}

TEST_F(ExceptionTest, GetErrorMessageCutsAndRefuses) {
  const CGenException e(102, "full");  // "Disk full": 9 characters
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  UINT help = 77;
  EXPECT_TRUE(e.GetErrorMessage(buf, 5, &help));
  EXPECT_STREQ(buf, "Disk");
  EXPECT_EQ(help, 0u);
  std::memset(buf, '#', sizeof buf);
  EXPECT_FALSE(e.GetErrorMessage(buf, 0));
  EXPECT_EQ(buf[0], '#');
  const CBaseException empty;
  EXPECT_FALSE(empty.GetErrorMessage(buf, sizeof buf));
}

TEST_F(ExceptionTest, ReportErrorMarksInternalMessages) {
  std::vector<std::string> shown;
  auto previous = platform::ui::setMessageBoxHook([&](const std::string& t, const std::string&, unsigned) {
    shown.push_back(t);
    return platform::ui::IDOK;
  });
  CInternalException("bad state %d", 3).ReportError();
  CGenException(101, 4).ReportError();
  CBaseException().ReportError(0, 102);
  CBaseException().ReportError(0, 0);
  platform::ui::setMessageBoxHook(previous);
  EXPECT_EQ(shown, (std::vector<std::string>{"Internal Error: bad state 3", "Step 4 failed",
                                             "Internal Error: Disk %s",
                                             std::string("Internal Error: ") + kMissingErrorMessageText}));
}

TEST_F(ExceptionTest, ThrowFunctionsThrowTheirTypes) {
  EXPECT_THROW(ThrowGenException(101, 1), CGenException);
  EXPECT_THROW(ThrowInternalException("x %d", 1), CInternalException);
  EXPECT_THROW(ThrowInternalExceptionId(101, 1), CInternalException);
  platform::setLastError(2);
  EXPECT_THROW(ThrowAPIException("x"), CAPIException);
  platform::setLastError(2);
  EXPECT_THROW(ThrowAPIExceptionId(100, "f"), CAPIException);
  try {
    ThrowExtException(CGenException(101, 9), 102, "gone");
  } catch (const CExtException& e) {
    EXPECT_EQ(e.GetMessageText(), "Disk gone Step 9 failed");
    EXPECT_STREQ(e.what(), "Disk gone Step 9 failed");
  }
  try {
    ThrowInternalException("n=%d", 5);
  } catch (const CBaseException& e) {
    EXPECT_EQ(e.GetMessageText(), "n=5");
  }
}

TEST_F(ExceptionTest, TranslatorRemovesItselfWhenItThrows) {
  InstallSETranslator();
  EXPECT_EQ(GetSETranslator(), &SETranslator);
  try {
    GetSETranslator()(0xC0000005u, nullptr);
    FAIL();
  } catch (const SE_Exception& e) {
    EXPECT_EQ(e.getSeNumber(), 0xC0000005u);
  }
  EXPECT_EQ(GetSETranslator(), nullptr);
}

TEST_F(ExceptionTest, StructuredExceptionTextNamesCodeAddressAndFunction) {
  const SE_Exception e(0xC0000005u, reinterpret_cast<void*>(std::uintptr_t{0x7f00dead1234}));
  EXPECT_EQ(e.GetMessageText("DoCarouselRun"),
            "Error 0xC0000005 at address 0x7F00DEAD1234 in DoCarouselRun()");
  EXPECT_EQ(SE_Exception(0x10, nullptr).GetMessageText(nullptr), "Error 0x10 at address 0x0 in ()");
}
