#include "platform/com.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "com_fixture.h"
#include "platform/registry.h"
#include "testsupport/TestEnv.h"

#ifndef ZEVA_COM_FIXTURE_LIB
#error "ZEVA_COM_FIXTURE_LIB (path of the test server library) is not defined"
#endif

namespace platform::com {
namespace {

using ::testing::HasSubstr;

constexpr GUID kSample{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

TEST(ComHResult, ItfErrorsAndTheirParts) {
  EXPECT_EQ(static_cast<std::uint32_t>(ItfError(549)), 0x80040225u);
  EXPECT_EQ(static_cast<std::uint32_t>(ItfError(109)), 0x8004006Du);
  EXPECT_EQ(HResultCode(ItfError(12010)), 12010u);
  EXPECT_EQ(HResultFacility(ItfError(12010)), FACILITY_ITF);
  EXPECT_TRUE(Failed(ItfError(1)));
  EXPECT_TRUE(Succeeded(S_FALSE));
  EXPECT_EQ(ErrorMessage(REGDB_E_CLASSNOTREG), "Class not registered.");
  EXPECT_EQ(ErrorMessage(static_cast<HRESULT>(0x80041234u)), "Unknown error 0x80041234");
}

TEST(ComGuid, TextRoundTripAndMalformedTexts) {
  EXPECT_EQ(ToString(kSample), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(GuidFromString("{12345678-9abc-def0-0123-456789abcdef}"), std::optional<GUID>(kSample));
  EXPECT_EQ(GuidFromString("12345678-9ABC-DEF0-0123-456789ABCDEF"), std::optional<GUID>(kSample));
  EXPECT_EQ(GuidFromString(ToString(IUnknown::kIID)), std::optional<GUID>(IUnknown::kIID));
  for (const char* bad : {"", "{}", "{12345678-9ABC-DEF0-0123-456789ABCDEF",
                          "12345678-9ABC-DEF0-0123-456789ABCDEF}", "{12345678-9ABC-DEF0-0123-456789ABCDEG}",
                          "{123456789ABC-DEF0-0123-456789ABCDEF0}", "{12345678-9ABC-DEF0-0123-456789ABCDEF}x",
                          "[12345678-9ABC-DEF0-0123-456789ABCDEF]", "{+2345678-9ABC-DEF0-0123-456789ABCDEF}"})
    EXPECT_FALSE(GuidFromString(bad).has_value()) << bad;
}

// Two interfaces on one object, with a destruction counter.
class IFirst : public IUnknown {
 public:
  static constexpr IID kIID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  virtual int First() = 0;
};
class ISecond : public IUnknown {
 public:
  static constexpr IID kIID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 12}};
  virtual int Second() = 0;
};
class Both final : public Object<IFirst, ISecond> {
 public:
  explicit Both(int& destroyed) : destroyed_(destroyed) {}
  int First() override { return 1; }
  int Second() override { return 2; }

 private:
  ~Both() override { ++destroyed_; }
  int& destroyed_;
};

TEST(ComObject, QueryInterfaceCountsReferencesAndTheLastReleaseDeletes) {
  int destroyed = 0;
  auto* object = new Both(destroyed);
  ComPtr<IFirst> first(object);
  ComPtr<ISecond> second = first.as<ISecond>();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Second(), 2);
  ComPtr<IUnknown> a = first.as<IUnknown>();
  ComPtr<IUnknown> b = second.as<IUnknown>();
  EXPECT_EQ(a.get(), b.get());  // one identity whichever interface is asked

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(first->QueryInterface(IClassFactory::kIID, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(first->QueryInterface(ISecond::kIID, nullptr), E_POINTER);

  EXPECT_EQ(first->AddRef(), 5u);
  EXPECT_EQ(first->Release(), 4u);
  a.reset();
  b.reset();
  second.reset();
  EXPECT_EQ(destroyed, 0);
  first.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComObject, ConcurrentReferencesDeleteOnceAtTheEnd) {
  int destroyed = 0;
  ComPtr<IFirst> object(new Both(destroyed));
  std::vector<std::future<void>> workers;
  for (int t = 0; t < 4; ++t)
    workers.push_back(std::async(std::launch::async, [object] {
      for (int i = 0; i < 10000; ++i) ComPtr<ISecond> other = object.as<ISecond>();
    }));
  for (auto& w : workers) w.get();
  EXPECT_EQ(destroyed, 0);
  object.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComErrorInfo, PerThreadTakenOnceAndTurnedIntoComError) {
  SetErrorInfo({"the text", "src", kSample});
  std::async(std::launch::async, [] { EXPECT_FALSE(GetErrorInfo().has_value()); }).get();
  try {
    Check(ItfError(600), kSample);
    ADD_FAILURE() << "no throw";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Error(), ItfError(600));
    EXPECT_EQ(e.Description(), "the text");
    EXPECT_STREQ(e.what(), "the text");
    EXPECT_EQ(e.Iid(), kSample);
  }
  EXPECT_FALSE(GetErrorInfo().has_value());  // taken by the check

  // Information of another interface is not this failure's description.
  SetErrorInfo({"stale", "src", IUnknown::kIID});
  try {
    Check(E_POINTER, kSample);
    ADD_FAILURE() << "no throw";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Description(), "Invalid pointer.");
  }
  EXPECT_EQ(Check(S_FALSE), S_FALSE);
}

class ComRegistryTest : public testsupport::ZevaTest {
 protected:
  static std::string Read(const std::string& key, const std::string& name = "") {
    registry::Value v;
    if (registry::queryValue(HKEY_CLASSES_ROOT, key, name, v) != registry::kOk) return "<missing>";
    std::string text(v.data.begin(), v.data.end());
    return text.substr(0, text.find('\0'));
  }
  static bool Exists(const std::string& key) {
    return registry::keyExists(HKEY_CLASSES_ROOT, key) == registry::kOk;
  }
  static std::string ClsidKey() { return "CLSID\\" + ToString(comfixture::kCLSID_Counter); }
};

TEST_F(ComRegistryTest, RegistrationWritesProgIdsAndTheAbsoluteLibraryPath) {
  ASSERT_EQ(RegisterLibrary(ZEVA_COM_FIXTURE_LIB), S_OK);
  const std::string id = ToString(comfixture::kCLSID_Counter);
  EXPECT_EQ(Read(ClsidKey() + "\\InprocServer32"), ZEVA_COM_FIXTURE_LIB);
  EXPECT_EQ(Read(ClsidKey() + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(Read(ClsidKey() + "\\ProgID"), "ComFixture.Counter.1");
  EXPECT_EQ(Read(ClsidKey() + "\\VersionIndependentProgID"), "ComFixture.Counter");
  EXPECT_EQ(Read("ComFixture.Counter\\CLSID"), id);
  EXPECT_EQ(Read("ComFixture.Counter\\CurVer"), "ComFixture.Counter.1");
  EXPECT_EQ(Read("ComFixture.Counter.1\\CLSID"), id);

  CLSID clsid;
  for (const char* name : {"ComFixture.Counter", "ComFixture.Counter.1", "comfixture.counter"}) {
    ASSERT_EQ(ClsidFromProgId(name, &clsid), S_OK) << name;
    EXPECT_EQ(clsid, comfixture::kCLSID_Counter);
  }
  ASSERT_EQ(ClsidFromProgId(id, &clsid), S_OK);
  EXPECT_EQ(clsid, comfixture::kCLSID_Counter);
  for (const char* bad : {"", "No.Such", "{nonsense}", "ComFixture.Counter\\CLSID"})
    EXPECT_EQ(ClsidFromProgId(bad, &clsid), CO_E_CLASSSTRING) << bad;

  // A relative path is stored absolute.
  const ClassRegistration relative[] = {{kSample, "Rel.Class", "", "Relative", "Apartment"}};
  ASSERT_EQ(RegisterServer("lib/libRel.so", relative), S_OK);
  std::string path;
  ASSERT_EQ(GetInprocServerPath(kSample, &path), S_OK);
  EXPECT_EQ(path.front(), '/');
  EXPECT_THAT(path, HasSubstr("/lib/libRel.so"));

  ASSERT_EQ(RegisterLibrary(ZEVA_COM_FIXTURE_LIB, true), S_OK);
  EXPECT_FALSE(Exists(ClsidKey()));
  EXPECT_FALSE(Exists("ComFixture.Counter"));
  EXPECT_FALSE(Exists("ComFixture.Counter.1"));
  EXPECT_TRUE(Exists("Rel.Class"));  // another server's entries stay
  EXPECT_EQ(ClsidFromProgId("ComFixture.Counter", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ComRegistryTest, UnregisteringLeavesAProgIdThatAnotherClassTookOver) {
  const ClassRegistration mine[] = {{kSample, "Shared.Name", "", "Mine", "Apartment"}};
  const ClassRegistration theirs[] = {{comfixture::kCLSID_Broken, "Shared.Name", "", "Theirs", "Apartment"}};
  ASSERT_EQ(RegisterServer("/x/libMine.so", mine), S_OK);
  ASSERT_EQ(RegisterServer("/x/libTheirs.so", theirs), S_OK);
  ASSERT_EQ(UnregisterServer(mine), S_OK);
  EXPECT_EQ(Read("Shared.Name\\CLSID"), ToString(comfixture::kCLSID_Broken));
  EXPECT_FALSE(Exists("CLSID\\" + ToString(kSample)));
}

TEST_F(ComRegistryTest, CreatesThroughTheRegisteredLibrary) {
  ASSERT_EQ(RegisterLibrary(ZEVA_COM_FIXTURE_LIB), S_OK);
  ComPtr<comfixture::ICounter> counter;
  ASSERT_EQ(CreateInstance("ComFixture.Counter", comfixture::ICounter::kIID, counter.put()), S_OK);
  int n = 0;
  ASSERT_EQ(counter->Increment(&n), S_OK);
  EXPECT_EQ(n, 1);
  ComPtr<comfixture::ICounter> second;
  ASSERT_EQ(CreateInstance(comfixture::kCLSID_Counter, nullptr, comfixture::ICounter::kIID, second.put()),
            S_OK);
  ASSERT_EQ(second->Increment(&n), S_OK);
  EXPECT_EQ(n, 1);  // a separate object

  try {
    Check(counter->Fail(607), comfixture::ICounter::kIID);
    ADD_FAILURE() << "no throw";
  } catch (const ComError& e) {
    EXPECT_EQ(HResultCode(e.Error()), 607u);
    EXPECT_EQ(e.Description(), "failed: 607");
  }

  void* object = nullptr;
  // Asking for an interface the class lacks, aggregation and a failing construction.
  EXPECT_EQ(CreateInstance("ComFixture.Counter", IClassFactory::kIID, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  ComPtr<IUnknown> outer = counter.as<IUnknown>();
  EXPECT_EQ(CreateInstance(comfixture::kCLSID_Counter, outer.get(), IUnknown::kIID, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CreateInstance("ComFixture.Broken", IUnknown::kIID, &object), E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);

  // Objects alive: the library stays; a lock keeps it too.
  FreeUnusedLibraries();
  ASSERT_EQ(counter->Increment(&n), S_OK);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetClassObject(comfixture::kCLSID_Counter, IClassFactory::kIID, factory.put()), S_OK);
  EXPECT_EQ(factory->LockServer(true), S_OK);
  counter.reset();
  second.reset();
  outer.reset();
  FreeUnusedLibraries();
  EXPECT_EQ(factory->LockServer(false), S_OK);
  factory.reset();
  FreeUnusedLibraries();
  // Loaded again on demand.
  ASSERT_EQ(CreateInstance("ComFixture.Counter", comfixture::ICounter::kIID, counter.put()), S_OK);
}

TEST_F(ComRegistryTest, CreationFailuresSayWhatIsMissing) {
  void* object = nullptr;
  EXPECT_EQ(CreateInstance(kSample, nullptr, IUnknown::kIID, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CreateInstance("Not.Registered", IUnknown::kIID, &object), CO_E_CLASSSTRING);
  EXPECT_EQ(CreateInstance(kSample, nullptr, IUnknown::kIID, nullptr), E_POINTER);

  const ClassRegistration missing[] = {{kSample, "Missing.Lib", "", "Missing", "Apartment"}};
  ASSERT_EQ(RegisterServer(tempDir() + "/libGone.so", missing), S_OK);
  EXPECT_EQ(CreateInstance("Missing.Lib", IUnknown::kIID, &object), CO_E_DLLNOTFOUND);
  const auto info = GetErrorInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_THAT(info->description, HasSubstr("libGone.so"));

  const ClassRegistration noEntry[] = {{kSample, "No.Entry", "", "No entry", "Apartment"}};
  ASSERT_EQ(RegisterServer(ZEVA_NO_SERVER_LIB, noEntry), S_OK);
  EXPECT_EQ(CreateInstance("No.Entry", IUnknown::kIID, &object), CO_E_ERRORINDLL);
  EXPECT_EQ(RegisterLibrary(ZEVA_NO_SERVER_LIB), CO_E_ERRORINDLL);

  // The server knows its classes only.
  const ClassRegistration unknown[] = {{kSample, "Unknown.Class", "", "Unknown", "Apartment"}};
  ASSERT_EQ(RegisterServer(ZEVA_COM_FIXTURE_LIB, unknown), S_OK);
  EXPECT_EQ(CreateInstance("Unknown.Class", IUnknown::kIID, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
}

class RecordingLoop : public MessageLoop {
 public:
  bool HasMessage() override { return false; }
  bool PumpMessage() override { return true; }
  bool OnIdle(long) override { return false; }
};

TEST(ComMessageLoop, EachThreadHasItsOwn) {
  RecordingLoop loop;
  EXPECT_EQ(SetThreadMessageLoop(&loop), nullptr);
  EXPECT_EQ(GetThreadMessageLoop(), &loop);
  std::async(std::launch::async, [] { EXPECT_EQ(GetThreadMessageLoop(), nullptr); }).get();
  EXPECT_EQ(SetThreadMessageLoop(nullptr), &loop);
}

}  // namespace
}  // namespace platform::com
