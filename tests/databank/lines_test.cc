// KeyPart, ValuePart and ForgetCached.
#include "tests/databank/databank_fixture.h"

namespace carob::testing {
namespace {

using databank::KeyPart;
using databank::ValuePart;

TEST(LinePartsTest, SplitAtTheFirstEqualsAndTrimBlanksOnly) {
  struct Case {
    std::string line, key, value;
  } cases[] = {
      {"name = Bob", "name", "Bob"},
      {"  no equals here  ", "", "no equals here"},
      {"=rest of it ", "", "rest of it"},
      {"key=", "key", ""},
      {"a=b=c", "a", "b=c"},
      {"tab\t=\tv", "tab\t", "\tv"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const std::string before = c.line;
    EXPECT_EQ(KeyPart(c.line), c.key) << c.line;
    EXPECT_EQ(ValuePart(c.line), c.value) << c.line;
    EXPECT_EQ(c.line, before);
  }
}

TEST_F(DatabankTest, ForgetCachedEmptiesSlotsByKeyOrPathInBothCaches) {
  root.WriteFile("C:\\data\\STATUS", "Zadozo running=No\r\nother=1\r\n");
  EXPECT_EQ(db->Query("C:\\data\\STATUS", "Zadozo running"), "No");
  EXPECT_EQ(db->Query("C:\\data\\STATUS", "other"), "1");
  EXPECT_TRUE(db->Write("C:\\data\\b.dat", "Zadozo running", "x"));
  const int zadozo_slot = 2;
  ASSERT_EQ(db->read_cache().slots[zadozo_slot].key, "Zadozo running");

  std::string name = "  zadozo RUNNING ";
  db->ForgetCached(name);
  EXPECT_EQ(name, "ZADOZO RUNNING");
  EXPECT_EQ(db->read_cache().slots[zadozo_slot].path, "");
  EXPECT_EQ(db->read_cache().slots[zadozo_slot].stamp, "");
  EXPECT_EQ(db->read_cache().slots[3].key, "other");  // another key stays
  EXPECT_EQ(db->write_cache().slots[1].key, "");      // the key in every databank
  EXPECT_EQ(db->read_cache().next, 3);                // the rotation is untouched

  StartLog();
  EXPECT_EQ(db->Query("C:\\data\\STATUS", "Zadozo running"), "No");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Database C:\\data\\STATUS serial 1 Query [Zadozo running] ==>> [No]"}));

  // A path empties every slot of that databank; an unknown name nothing.
  const databank::Cache before = db->read_cache();
  name = "nothing cached";
  db->ForgetCached(name);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(db->read_cache().slots[i].key, before.slots[i].key);
  name = "c:\\data\\status";
  db->ForgetCached(name);
  for (const auto& s : db->read_cache().slots) EXPECT_NE(s.path, "C:\\data\\STATUS");
}

}  // namespace
}  // namespace carob::testing
