#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

#include "BroklaList.h"

namespace {

constexpr LockOwner kA = 11;
constexpr LockOwner kB = 22;

// One step of the lock state machine from a given state.
struct Step {
  const char* what;
  int count;  // state before
  LockOwner owner;
  LockOwner requester;
  int operation;
  bool result;  // expected
  int countAfter;
  LockOwner ownerAfter;
};

void PrintTo(const Step& s, std::ostream* os) { *os << s.what; }

class LockTableTest : public ::testing::TestWithParam<Step> {};

TEST_P(LockTableTest, StepGivesResultCountAndOwner) {
  const Step& s = GetParam();
  CBroklaInstr instr(1, 0x7F000002, 4000, 1, "SN");
  // Reach the starting state through the machine itself.
  for (int i = 0; i < s.count; ++i) instr.Lock(s.owner, LOCK_LOCK);
  int count = -1;
  LockOwner owner = 0;
  EXPECT_EQ(instr.Lock(s.requester, s.operation, &count, &owner), s.result);
  EXPECT_EQ(count, s.countAfter);
  EXPECT_EQ(owner, s.ownerAfter);
  EXPECT_EQ(instr.GetLockCount(), s.countAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LockTableTest,
    ::testing::Values(Step{"lock a free instrument", 0, 0, kA, LOCK_LOCK, false, 1, kA},
                      Step{"owner locks again: nested", 1, kA, kA, LOCK_LOCK, false, 2, kA},
                      Step{"another owner is refused", 2, kA, kB, LOCK_LOCK, false, 2, kA},
                      Step{"owner unlocks one level", 2, kA, kA, LOCK_UNLOCK, true, 1, kA},
                      Step{"owner unlocks the last level", 1, kA, kA, LOCK_UNLOCK, true, 0, kA},
                      Step{"non-owner unlock changes nothing", 1, kA, kB, LOCK_UNLOCK, true, 1, kA},
                      Step{"unlock at 0 stays 0", 0, 0, kA, LOCK_UNLOCK, true, 0, 0},
                      Step{"query changes nothing", 2, kA, kB, LOCK_QUERY, false, 2, kA},
                      Step{"force clear by anyone", 3, kA, kB, LOCK_FORCE_CLEAR, true, 0, kA},
                      Step{"unknown operation changes nothing", 1, kA, kA, 7, false, 1, kA},
                      Step{"a free instrument goes to the next owner", 0, kA, kB, LOCK_LOCK, false, 1, kB},
                      // The count goes out as a signed byte: it stops at 127 instead of wrapping.
                      Step{"nesting stops at 127", 127, kA, kA, LOCK_LOCK, false, 127, kA}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(LockListTest, OwnersLocksAreReleasedTogetherAndPruningKeepsLockedOnes) {
  CBroklaList list;
  const auto now = platform::SystemTime{};
  CBroklaInstr& a = list.AddInstr(0x7F000002, 4000, 1, "A", 0, 1, now);
  CBroklaInstr& b = list.AddInstr(0x7F000003, 4001, 1, "B", 0, 1, now);
  CBroklaInstr& c = list.AddInstr(0x7F000004, 4002, 1, "C", 0, 1, now);
  EXPECT_EQ(a.GetId(), 1);
  EXPECT_EQ(c.GetId(), 3);
  a.Lock(kA, LOCK_LOCK);
  a.Lock(kA, LOCK_LOCK);
  c.Lock(kA, LOCK_LOCK);
  b.Lock(kB, LOCK_LOCK);
  EXPECT_EQ(list.FindByOwner(kA), &a);

  const auto released = list.ReleaseOwner(kA);
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0].first.id, 1);
  EXPECT_EQ(released[0].second, 2);
  EXPECT_EQ(released[1].first.id, 3);
  EXPECT_EQ(a.GetLockCount(), 0);
  EXPECT_EQ(b.GetLockCount(), 1);
  EXPECT_EQ(list.FindByOwner(kA), nullptr);

  list.ClearSeen();
  list.FindById(1)->SetSeen(true);
  EXPECT_EQ(list.PruneUnseen(), std::vector<int>{3});  // B is locked, A answered
  EXPECT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(list.FindBySN("B")->GetId(), 2);
  EXPECT_EQ(list.FindBySN("b"), nullptr);  // exact comparison
  // A new record never takes an old id.
  EXPECT_EQ(list.AddInstr(0x7F000004, 4003, 1, "C2", 0, 1, now).GetId(), 4);
}

TEST(LockListTest, SerialNumbersAreCutAndKeyNamesCannotEscapeTheirKey) {
  EXPECT_EQ(CutSerialNumber(std::string(40, 'X')), std::string(31, 'X'));
  EXPECT_EQ(CutSerialNumber(std::string("AB\0CD", 5)), "AB");
  EXPECT_EQ(SerialKeyName("..\\Brokla\\x\ny"), ".._Brokla_x_y");
  EXPECT_EQ(SerialKeyName(""), "_");
}

}  // namespace
