// Query, its two caches and the I/O log.
#include <cerrno>
#include <filesystem>
#include <memory>

#include "tests/databank/databank_fixture.h"
#include "tests/support/refusing_reads.h"

namespace carob::testing {
namespace {

using Lines = std::vector<std::string>;
constexpr const char* kBank = "C:\\data\\k.dat";

TEST_F(DatabankTest, BlankArgumentsAnswerNothingAndLogNothing) {
  StartLog();
  root.WriteFile(kBank, "k=v\r\n");
  std::string bank = "   ", key = "k";
  EXPECT_EQ(db->Query(bank, key), "");
  EXPECT_EQ(bank, "");
  bank = "  C:\\data\\k.dat ";
  key = "   ";
  EXPECT_EQ(db->Query(bank, key), "");
  EXPECT_EQ(bank, kBank);  // trimmed in place
  EXPECT_EQ(key, "");
  EXPECT_EQ(root.ReadFile(kLog), "<missing>");
  key = " k  ";
  EXPECT_EQ(db->Query(bank, key), "v");
  EXPECT_EQ(key, "k");
}

TEST_F(DatabankTest, MissingOrEmptyBankAnswersNothing) {
  StartLog();
  EXPECT_EQ(db->Query("C:\\data\\none.dat", "k"), "");
  EXPECT_EQ(Log(), (Lines{"Database C:\\data\\none.dat serial  Query [k] ==>> DATABANK NOT FOUND!!"}));
  root.WriteFile(kBank, "");
  EXPECT_EQ(db->Query(kBank, "k"), "");
  EXPECT_EQ(Log().size(), 1u);  // an empty file is not logged
  for (const auto& s : db->read_cache().slots) {
    EXPECT_NE(s.path, kBank);
    EXPECT_NE(s.path, "C:\\data\\none.dat");
  }
}

TEST_F(DatabankTest, CheckedReadTellsAbsenceFromFailure) {
  root.WriteFile(kBank, "k = v \r\n");
  std::string value = "stale";
  EXPECT_TRUE(db->Read("  " + std::string(kBank) + " ", " K ", value).ok());
  EXPECT_EQ(value, "v");
  EXPECT_TRUE(db->Read(kBank, "none", value).ok());
  EXPECT_EQ(value, "");
  EXPECT_TRUE(db->Read("C:\\data\\none.dat", "k", value).ok());  // absent: no failure
  platform::Status s = db->Read("C:\\data\\", "k", value);
  EXPECT_EQ(s.message(), "cannot read C:\\data\\: the name denotes a folder");
  EXPECT_EQ(value, "");
}

// With the log on the file is read line by line through an open file (for
// its serial), with the log off in one piece; both must answer alike.
class QueryModesTest : public DatabankTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) StartLog();
  }
};

TEST_P(QueryModesTest, KeysMatchCaseBlindAndTheFirstLineCounts) {
  root.WriteFile(kBank,
                 "no equals here\r\n"
                 "=orphan\r\n"
                 "   \r\n"
                 "\r\n"
                 "a=1\r\n"
                 "A=2\r\n"
                 "  key  =  some value  \r\n"
                 "x=a=b\r\n"
                 "cr=in\rside\r\n"
                 "tab\t=\tv\r\n");
  EXPECT_EQ(db->Query(kBank, "a"), "1");
  EXPECT_EQ(db->Query(kBank, "A"), "1");
  EXPECT_EQ(db->Query(kBank, "KEY"), "some value");
  EXPECT_EQ(db->Query(kBank, "x"), "a=b");
  EXPECT_EQ(db->Query(kBank, "cr"), "in\rside");
  EXPECT_EQ(db->Query(kBank, "tab\t"), "\tv");  // tabs are not blanks
  EXPECT_EQ(db->Query(kBank, "tab"), "");
  EXPECT_EQ(db->Query(kBank, "orphan"), "");
  EXPECT_EQ(db->Query(kBank, "no equals here"), "");
}

TEST_P(QueryModesTest, LastLineWithoutLineEndAndBareLineFeeds) {
  root.WriteFile(kBank, "a=1\nb=2\r\nc=3\r\r\nd=4");
  EXPECT_EQ(db->Query(kBank, "a"), "1");
  EXPECT_EQ(db->Query(kBank, "b"), "2");
  EXPECT_EQ(db->Query(kBank, "c"), "3\r");
  EXPECT_EQ(db->Query(kBank, "d"), "4");
}

INSTANTIATE_TEST_SUITE_P(LogOnOrOff, QueryModesTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Logged" : "Silent"; });

TEST_F(DatabankTest, EmptyValueLineIsRemovedWithEveryLineOfItsKey) {
  root.WriteFile(kBank, "a=1\r\nk=   \r\nb=2\r\nK=late\r\n");
  StartLog();
  EXPECT_EQ(db->Query(kBank, "k"), "");
  EXPECT_EQ(root.ReadFile(kBank), "a=1\r\nb=2\r\n");
  Lines log = Log();
  EXPECT_EQ(log, (Lines{
                     "Database C:\\data\\k.dat serial  RemoveEntry [k]",
                     "Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]",
                     "Database C:\\data\\k.dat serial 1 Set [k], []",
                     " Methods: Removing. Doesn't fit in or is empty (using standard method). ",
                     " Swap serial 2 Set",
                     " Bytes inscribed ",
                     "Database C:\\data\\k.dat serial 1 Query [k] ==>> []",
                 }));
  // The answer is cached under the state the removal left.
  EXPECT_EQ(db->Query(kBank, "k"), "");
  EXPECT_EQ(Log().back(), "Database C:\\data\\k.dat Query [k] ==>> DeCached from write cache []");
}

TEST_F(DatabankTest, ReadCacheAnswersUntilTheFileChanges) {
  root.WriteFile(kBank, "k=v1\r\n");
  StartLog();
  EXPECT_EQ(db->Query(kBank, "k"), "v1");
  EXPECT_EQ(db->Query(kBank, "k"), "v1");
  EXPECT_EQ(db->Query(kBank, "absent"), "");
  EXPECT_EQ(db->Query(kBank, "absent"), "");
  EXPECT_EQ(Log(), (Lines{
                       "Database C:\\data\\k.dat serial 1 Query [k] ==>> [v1]",
                       "Database C:\\data\\k.dat Query [k] ==>> DeCached from read cache [v1]",
                       "Database C:\\data\\k.dat serial 1 Query [absent] ==>> []",
                       "Database C:\\data\\k.dat Query [absent] ==>> DeCached from read cache []",
                   }));
  // Another length: read again.
  root.WriteFile(kBank, "k=v22\r\n");
  EXPECT_EQ(db->Query(kBank, "k"), "v22");
  EXPECT_EQ(Log().back(), "Database C:\\data\\k.dat serial 1 Query [k] ==>> [v22]");
}

// A databank that cannot even be looked at (an I/O error, a share's client
// failing for a moment) is no absent one to a checked read.
TEST_F(DatabankTest, CheckedReadOfABankThatCannotBeLookedAtFails) {
  root.WriteFile(kBank, "k=v\r\n");
  Restart();
  RefusingReads* env = Wrap<RefusingReads>();
  AddDatabank();
  env->refused = "k.dat";
  env->unseen = true;
  std::string value = "stale";
  const platform::Status read = db->Read(kBank, "k", value);
  EXPECT_EQ(read.error(), EIO) << read.message();
  EXPECT_EQ(value, "");
  EXPECT_EQ(db->Query(kBank, "k"), "");
  env->refused.clear();
  EXPECT_TRUE(db->Read(kBank, "k", value).ok());
  EXPECT_EQ(value, "v");
}

// A databank that is there but cannot be read answers "" under the stamp it
// has, and that answer is kept until the stamp changes, as any other is. A
// checked Read is never given that "" as an answer: it tells the failure,
// and once the file can be read, what it holds. With and without images,
// with the log on (the file read line by line) and off.
struct ReadModes {
  const char* name;
  bool images, log;
};
void PrintTo(const ReadModes& c, std::ostream* os) { *os << c.name; }
class UnreadableBankTest : public DatabankTest, public ::testing::WithParamInterface<ReadModes> {};
INSTANTIATE_TEST_SUITE_P(Modes, UnreadableBankTest,
                         ::testing::Values(ReadModes{"ImagesLogged", true, true},
                                           ReadModes{"Images", true, false},
                                           ReadModes{"PlainLogged", false, true},
                                           ReadModes{"Plain", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(UnreadableBankTest, AnswersNothingUntilTheStampChanges) {
  root.WriteFile(kBank, "k=v\r\nj=w\r\n");
  Restart();
  RefusingReads* env = Wrap<RefusingReads>();
  AddDatabank();
  db->UseImages(GetParam().images);
  if (GetParam().log) StartLog();
  auto expect_refused = [&](const char* key) {
    std::string value = "stale";
    const platform::Status read = db->Read(kBank, key, value);
    EXPECT_FALSE(read.ok()) << key;
    EXPECT_EQ(read.error(), EACCES) << read.message();
    EXPECT_NE(read.message().find("cannot read C:\\data\\k.dat"), std::string::npos) << read.message();
    EXPECT_EQ(value, "");
  };
  auto expect_read = [&](const char* key, const char* held) {
    std::string value;
    const platform::Status read = db->Read(kBank, key, value);
    EXPECT_TRUE(read.ok()) << read.message();
    EXPECT_EQ(value, held);
  };

  env->refused = "k.dat";
  EXPECT_EQ(db->Query(kBank, "k"), "");
  EXPECT_EQ(db->Query(kBank, "k"), "");
  if (GetParam().log) {
    EXPECT_EQ(Log(), (Lines{"Database C:\\data\\k.dat serial  Query [k] ==>> []",
                            "Database C:\\data\\k.dat Query [k] ==>> DeCached from read cache []"}));
  }
  expect_refused("k");
  EXPECT_EQ(db->Query(kBank, "k"), "");

  // Readable again, the file keeps its stamp: the "" stays the answer to
  // the key it was given for; another key is read from the file.
  env->refused.clear();
  EXPECT_EQ(db->Query(kBank, "k"), "");
  EXPECT_EQ(db->Query(kBank, "j"), "w");

  // Another program's write gives the file a new stamp.
  ASSERT_TRUE(OtherProgram()->Write(kBank, "k", "x"));
  EXPECT_EQ(db->Query(kBank, "k"), "x");

  // Unreadable at this stamp, readable again without a change: a checked
  // read looks at the file, and its answer is then the one kept.
  env->refused = "k.dat";
  root.Append(kBank, "i=z\r\n");
  EXPECT_EQ(db->Query(kBank, "j"), "");
  expect_refused("j");
  env->refused.clear();
  EXPECT_EQ(db->Query(kBank, "j"), "");
  expect_read("j", "w");
  EXPECT_EQ(db->Query(kBank, "j"), "w");
  expect_read("i", "z");
}

TEST_F(DatabankTest, ChangeOfEqualLengthByAnotherProgramIsNoticedAtOnce) {
  root.WriteFile(kBank, "k=aaa\r\nother=1\r\n");
  EXPECT_EQ(db->Query(kBank, "k"), "aaa");
  EXPECT_EQ(db->Query(kBank, "other"), "1");
  // The other program overwrites in place: same length, same second.
  auto other = OtherProgram();
  EXPECT_TRUE(other->Write(kBank, "k", "bbb"));
  EXPECT_EQ(root.ReadFile(kBank), "k=bbb\r\nother=1\r\n");
  EXPECT_EQ(db->Query(kBank, "k"), "bbb");
  // And a rewrite to a file of the same length.
  EXPECT_TRUE(other->Write(kBank, "other", ""));
  EXPECT_TRUE(other->Write(kBank, "other", "2"));
  EXPECT_EQ(root.ReadFile(kBank), "k=bbb\r\nother=2\r\n");
  EXPECT_EQ(db->Query(kBank, "other"), "2");
}

TEST_F(DatabankTest, WriteCacheAnswersTheExactKeyOnly) {
  root.WriteFile(kBank, "a=1\r\n");
  EXPECT_TRUE(db->Write(kBank, "k", "v"));
  StartLog();
  EXPECT_EQ(db->Query(kBank, "k"), "v");
  EXPECT_EQ(db->Query(kBank, "K"), "v");
  EXPECT_EQ(Log(), (Lines{
                       "Database C:\\data\\k.dat Query [k] ==>> DeCached from write cache [v]",
                       "Database C:\\data\\k.dat serial 1 Query [K] ==>> [v]",
                   }));
}

TEST_F(DatabankTest, CacheSlotsRotateFromSlotOne) {
  root.WriteFile(kBank, "q1=1\r\nq2=2\r\nq3=3\r\nq4=4\r\nq5=5\r\nq6=6\r\n");
  const auto& slots = db->read_cache().slots;
  // Settling the access first queries "C:\FileLoc" (slot 1).
  std::string name = kBank;
  db->ResolveBankPath(name);
  EXPECT_EQ(slots[1].key, "Temporary path");
  EXPECT_EQ(slots[1].value, "C:\\TEMP");
  const int expected_slot[] = {2, 3, 4, 0, 1, 2};
  for (int i = 1; i <= 6; ++i) {
    EXPECT_EQ(db->Query(kBank, "q" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(slots[expected_slot[i - 1]].key, "q" + std::to_string(i));
  }
  EXPECT_EQ(slots[1].key, "q5");  // the sixth store overwrote the first
  EXPECT_EQ(slots[2].value, "6");
  EXPECT_EQ(slots[2].path, kBank);
  EXPECT_EQ(db->read_cache().next, 2);
  // q1 was overwritten: it is read from the file again.
  StartLog();
  EXPECT_EQ(db->Query(kBank, "q1"), "1");
  EXPECT_EQ(Log(), (Lines{"Database C:\\data\\k.dat serial 1 Query [q1] ==>> [1]"}));
}

TEST_F(DatabankTest, BankNamesWithoutDriveLieInTheProgramFolder) {
  root.WriteFile("C:\\ORB\\CAROB\\CAROB.dat", "sky=blue\r\n");
  EXPECT_EQ(db->Query("CAROB.dat", "sky"), "blue");
  EXPECT_EQ(db->read_cache().slots[db->read_cache().next].path, "C:\\ORB\\CAROB\\CAROB.dat");
}

// -- the I/O log

TEST_F(DatabankTest, LogLinesCarryTheClockStamp) {
  StartLog();
  db->LogDatabankIO("whole");
  clock->Advance(0.5);
  db->LogDatabankIO("");
  EXPECT_EQ(root.ReadFile(kLog),
            "12-07-2026 08:29:45| whole\r\n"
            "12-07-2026 08:29:45.5| \r\n");
}

TEST_F(DatabankTest, StartingTheLogKeepsOnePreviousGeneration) {
  root.WriteFile(kLog, "current\r\n");
  root.WriteFile(std::string(kLog) + ".x", "older\r\n");
  EXPECT_FALSE(db->IOLogEnabled());
  db->StartDatabankIOLog(true);
  EXPECT_TRUE(db->IOLogEnabled());
  EXPECT_EQ(root.ReadFile(std::string(kLog) + ".x"), "current\r\n");
  EXPECT_FALSE(root.Exists(kLog));

  root.WriteFile(kLog, "again\r\n");
  db->StartDatabankIOLog(false);
  EXPECT_FALSE(root.Exists(kLog));
  EXPECT_EQ(root.ReadFile(std::string(kLog) + ".x"), "current\r\n");
}

TEST_F(DatabankTest, NothingIsLoggedBeforeTheLogIsStarted) {
  root.WriteFile(kBank, "k=v\r\n");
  EXPECT_EQ(db->Query(kBank, "k"), "v");
  EXPECT_TRUE(db->Write(kBank, "k", "w"));
  EXPECT_TRUE(db->Write(kBank, "n", "new"));
  EXPECT_TRUE(db->Remove(kBank, "n"));
  EXPECT_EQ(db->Query("C:\\data\\none", "k"), "");
  EXPECT_FALSE(root.Exists(kLog));
}

}  // namespace
}  // namespace carob::testing
