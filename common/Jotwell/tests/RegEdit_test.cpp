#include "Jotwell/RegEdit.h"

#include "testsupport/TestEnv.h"

namespace {
class RegEditTest : public testsupport::ZevaTest {
 protected:
  CRegEdit reg{HKEY_CURRENT_USER, "Software\\Tarsel\\ZevazOdizo\\Scanner"};
};
}  // namespace

TEST_F(RegEditTest, TypedValuesRoundTrip) {
  EXPECT_TRUE(reg.WriteInt("I", -42));
  EXPECT_TRUE(reg.WriteInt("U", 4000000000u));
  EXPECT_TRUE(reg.WriteDouble("D", 2.5));
  EXPECT_TRUE(reg.WriteDoubleText("T", 0.125));
  EXPECT_TRUE(reg.WriteChar("C", 'z'));
  EXPECT_TRUE(reg.WriteString("S", "text"));
  const unsigned char bytes[3] = {1, 2, 3};
  EXPECT_TRUE(reg.WriteBinary("B", bytes, 3));

  CRegEdit again(HKEY_CURRENT_USER, "software\\TARSEL\\zevazodizo\\scanner");  // keys ignore case
  EXPECT_EQ(again.ReadInt("i", 0), -42);
  EXPECT_EQ(again.ReadUInt("U", 0u), 4000000000u);
  EXPECT_EQ(again.ReadInt("U", 0L), -294967296L);
  EXPECT_DOUBLE_EQ(again.ReadDouble("D", 0), 2.5);
  EXPECT_DOUBLE_EQ(again.ReadDoubleText("T", 0), 0.125);
  EXPECT_EQ(again.ReadString("T", ""), "0.125");
  EXPECT_EQ(again.ReadChar("C", 'a'), 'z');
  EXPECT_EQ(again.ReadString("S", "def"), "text");
  unsigned char out[8] = {};
  EXPECT_TRUE(again.ReadBinary("B", out, sizeof out));
  EXPECT_EQ(out[2], 3);
  EXPECT_FALSE(again.ReadBinary("B", out, 2));  // does not fit
}

TEST_F(RegEditTest, MismatchesAndMissingValuesGiveTheDefault) {
  ASSERT_TRUE(reg.WriteInt("Dword", 7));
  ASSERT_TRUE(reg.WriteString("Text", "abc"));
  const std::uint32_t four = 5;
  ASSERT_TRUE(reg.WriteBinary("Bin4", &four, 4));
  ASSERT_TRUE(reg.WriteString("NotNumber", "abc"));

  EXPECT_EQ(reg.ReadString("Dword", "def"), "def");
  EXPECT_EQ(reg.ReadInt("Text", 9), 9);
  EXPECT_EQ(reg.ReadInt("Bin4", 9), 9);  // 4 bytes, but not a DWORD
  EXPECT_DOUBLE_EQ(reg.ReadDouble("Dword", 1.5), 1.5);
  EXPECT_EQ(reg.ReadChar("Dword", 'd'), 'd');
  EXPECT_DOUBLE_EQ(reg.ReadDoubleText("NotNumber", 3.0), 3.0);
  EXPECT_EQ(reg.ReadInt("Missing", 11), 11);
  EXPECT_EQ(CRegEdit(HKEY_CURRENT_USER, "Software\\Nowhere").ReadString("X", "d"), "d");
  char buf[4];
  EXPECT_FALSE(reg.QueryValue("Text", REG_SZ, buf, sizeof buf));  // strings go through ReadString
}

TEST_F(RegEditTest, EmptySubkeyReadsDefaultsAndRefusesWrites) {
  CRegEdit empty(HKEY_LOCAL_MACHINE, "");
  EXPECT_EQ(empty.ReadInt("X", 3), 3);
  EXPECT_EQ(empty.ReadString("X", "d"), "d");
  EXPECT_FALSE(empty.WriteInt("X", 1));
  EXPECT_FALSE(empty.WriteString("X", "v"));
  EXPECT_FALSE(empty.DeleteValue("X"));
  EXPECT_FALSE(empty.OpenKey());
}

TEST_F(RegEditTest, EmptyStringIsStoredAsOneNul) {
  ASSERT_TRUE(reg.WriteString("E", ""));
  platform::registry::Value v;
  ASSERT_EQ(platform::registry::queryValue(HKEY_CURRENT_USER, reg.GetSubKey(), "E", v), 0);
  EXPECT_EQ(v.type, REG_SZ);
  EXPECT_EQ(v.data, std::vector<std::uint8_t>{0});
  EXPECT_EQ(reg.ReadString("E", "def"), "");
}

TEST_F(RegEditTest, DeleteValueAndKey) {
  ASSERT_TRUE(reg.WriteInt("V", 1));
  EXPECT_TRUE(reg.DeleteValue("V"));
  EXPECT_FALSE(reg.DeleteValue("V"));  // gone: deleting again fails
  CRegEdit child(HKEY_CURRENT_USER, reg.GetSubKey() + "\\Child");
  ASSERT_TRUE(child.WriteInt("X", 1));
  CRegEdit grandchild(HKEY_CURRENT_USER, child.GetSubKey() + "\\Deeper");
  ASSERT_TRUE(grandchild.WriteInt("X", 1));
  EXPECT_FALSE(reg.DeleteKey("Child"));  // has a subkey
  EXPECT_TRUE(child.DeleteKey("Deeper"));
  EXPECT_TRUE(reg.DeleteKey("child"));
  EXPECT_FALSE(child.OpenKey());
}

TEST_F(RegEditTest, RootKeysAndTheirNames) {
  EXPECT_STREQ(CRegEdit::GetRootKeyName(HKEY_LOCAL_MACHINE), "HKEY_LOCAL_MACHINE ");
  EXPECT_STREQ(CRegEdit::GetRootKeyName(HKEY_CLASSES_ROOT), "HKEY_CLASSES_ROOT ");
  EXPECT_STREQ(CRegEdit::GetRootKeyName(HKEY_CURRENT_USER), "HKEY_CURRENT_USER ");
  EXPECT_STREQ(CRegEdit::GetRootKeyName(HKEY_USERS), "HKEY_USERS ");
  EXPECT_STREQ(CRegEdit::GetRootKeyName(0x1234), "Unknown Key ");
  CRegEdit r(HKEY_USERS, "x");
  r.SetRootKey(0x1234);  // not a predefined root: ignored
  EXPECT_EQ(r.GetRootKey(), HKEY_USERS);
}

namespace {
// A subclass that refuses to give security attributes: nothing can be created.
class Refusing : public CRegEdit {
 public:
  using CRegEdit::CRegEdit;
  bool GetSecurityAttributes(SECURITY_ATTRIBUTES**) override { return false; }
};
}  // namespace

TEST_F(RegEditTest, CreationNeedsSecurityAttributes) {
  Refusing r(HKEY_CURRENT_USER, "Software\\Refused");
  EXPECT_FALSE(r.WriteInt("X", 1));
  EXPECT_EQ(r.ReadInt("X", 5), 5);
}
