// Set and RemoveEntry: the three ways of writing, the method notes and the
// exact bytes they leave.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/databank/databank_fixture.h"

namespace carob::testing {
namespace {

using Lines = std::vector<std::string>;
constexpr const char* kBank = "C:\\data\\k.dat";

// The four lines a Set logs.
Lines SetLines(const std::string& bank, const std::string& bank_serial, const std::string& key,
               const std::string& value, const std::string& note,
               const std::string& swap_serial, const std::string& inscribed) {
  return {"Database " + bank + " serial " + bank_serial + " Set [" + key + "], [" + value + "]",
          " Methods: " + note, " Swap serial " + swap_serial + " Set",
          " Bytes inscribed " + inscribed};
}

// A Set of `key` to `value` in kBank that held `start`: the bank it leaves
// and what it logs (`before`, then the lines of SetLines).
struct LoggedSet {
  std::string start, key, value, after;
  std::string logged_value = "";  // when the log shows another value than `value`
  std::string note = "", bank_serial = "", swap_serial = "", inscribed = "";
  Lines before = {};
};

// With the log started: writes `set.start` as the bank, then checks that the
// Set succeeds, leaves `set.after` and logs what `set` says.
void ExpectLoggedSet(World& w, const LoggedSet& set) {
  w.root.WriteFile(kBank, set.start);
  EXPECT_TRUE(w.db->Write(kBank, set.key, set.value));
  EXPECT_EQ(w.root.ReadFile(kBank), set.after);
  Lines log = set.before;
  const Lines lines = SetLines(kBank, set.bank_serial, set.key,
                               set.logged_value.empty() ? set.value : set.logged_value, set.note,
                               set.swap_serial, set.inscribed);
  log.insert(log.end(), lines.begin(), lines.end());
  EXPECT_EQ(LogTexts(w.root.ReadFile(kLog)), log);
}

TEST_F(DatabankTest, BlankBankOrKeyWritesNothing) {
  StartLog();
  EXPECT_EQ(db->Write("  ", "k", "v").cause(), "the databank or the key is blank");
  EXPECT_EQ(db->Write(kBank, "  ", "v").cause(), "the databank or the key is blank");
  EXPECT_FALSE(root.Exists(kBank));
  EXPECT_FALSE(root.Exists(kLog));
}

TEST_F(DatabankTest, SetCreatesAMissingDatabankAndAppendsNewKeys) {
  StartLog();
  // The names and the value are written trimmed.
  EXPECT_TRUE(db->Write("  C:\\data\\k.dat ", " k ", " v "));
  EXPECT_EQ(root.ReadFile(kBank), "k=v\r\n");
  EXPECT_EQ(Log(), SetLines(kBank, "", "k", "v", "Appending. ", "", ""));
  EXPECT_TRUE(db->Write(kBank, "second", "two = 2"));
  EXPECT_EQ(root.ReadFile(kBank), "k=v\r\nsecond=two = 2\r\n");
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data.k.dat.TMP"));
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data..TMP"));
}

TEST_F(DatabankTest, AppendAfterALastLineWithoutLineEnd) {
  root.WriteFile(kBank, "a=1\r\nb=2");
  EXPECT_TRUE(db->Write(kBank, "c", "3"));
  EXPECT_EQ(root.ReadFile(kBank), "a=1\r\nb=2\r\nc=3\r\n");
  EXPECT_EQ(OtherProgram()->Query(kBank, "b"), "2");
}

TEST_F(DatabankTest, SameValueInAnotherCaseIsAlreadyRecorded) {
  StartLog();
  ExpectLoggedSet(*this, {.start = "k=hello\r\n", .key = "K", .value = "Hello", .after = "k=hello\r\n",
                          .note = " Value already recorded. Aborting write."});
  EXPECT_EQ(db->write_cache().slots[1].value, "Hello");
  EXPECT_EQ(db->Query(kBank, "K"), "Hello");
  // The same Set again is answered by the write cache alone.
  EXPECT_TRUE(db->Write(kBank, "K", "Hello"));
  EXPECT_EQ(Log().back(),
            "Database C:\\data\\k.dat Set [K] ==>> DeCached from write cache [Hello] value already recorded");
  EXPECT_EQ(Log().size(), 6u);
}

TEST_F(DatabankTest, ShorterValueIsInscribedAndPadded) {
  StartLog();
  ExpectLoggedSet(*this, {.start = "a=1\r\nk=abcdef\r\nz=9\r\n",
                          .key = "k",
                          .value = "abc",
                          .after = "a=1\r\nk=abc   \r\nz=9\r\n",
                          .logged_value = "abc   ",
                          .note = "Overwriting existant. Inscribing. String enlarged (to 6 bytes). ",
                          .inscribed = "3"});
  EXPECT_EQ(db->Query(kBank, "k"), "abc");
  EXPECT_EQ(OtherProgram()->Query(kBank, "k"), "abc");
}

TEST_F(DatabankTest, InscribingWritesOnlyTheBytesThatDiffer) {
  StartLog();
  ExpectLoggedSet(*this, {.start = "k=abcdef\r\n", .key = "k", .value = "abcxyz", .after = "k=abcxyz\r\n",
                          .note = "Overwriting existant. Inscribing. ", .inscribed = "3"});
}

TEST_F(DatabankTest, InscribingLeavesBlanksBeforeTheKeyAndBareLineFeeds) {
  root.WriteFile(kBank, "junk line k\nfirst=1\n  k = abcdef\nlast=2\n");
  EXPECT_TRUE(db->Write(kBank, "k", "xy"));
  EXPECT_EQ(root.ReadFile(kBank), "junk line k\nfirst=1\n  k =xy     \nlast=2\n");
  auto other = OtherProgram();
  EXPECT_EQ(other->Query(kBank, "last"), "2");
  EXPECT_EQ(other->Query(kBank, "k"), "xy");
}

TEST_F(DatabankTest, LongerValueTakesTheStandardMethod) {
  StartLog();
  ExpectLoggedSet(
      *this, {.start = "k=abc\r\nother=1\r\n",
              .key = "k",
              .value = "abcd",
              .after = "other=1\r\nk=abcd\r\n",
              .note = "Overwriting existant. Doesn't fit in or is empty (using standard method). ",
              .bank_serial = "1",
              .swap_serial = "2",
              .before = {"Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]"}});
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data.k.dat.TMP"));  // the lock is released
  EXPECT_EQ(db->Query(kBank, "k"), "abcd");
}

// While a rewrite puts the new databank in place, its swap file stands,
// held, as the lock, and holds no copy of the databank: the databank itself
// is still whole under its own name until the rename. Then the lock goes.
TEST(RewriteLockTest, TheSwapFileLocksTheRewriteAndHoldsNoCopy) {
  struct Watch : platform::EnvWrapper {
    using EnvWrapper::EnvWrapper;
    std::vector<std::string> seen;  // at each replacement
    platform::Status ReplaceContents(const std::string& path, std::string_view bytes) override {
      std::string swap = "<missing>", bank;
      (void)ReadAll("C:\\TEMP\\DSP.data.k.dat.TMP", swap);
      (void)ReadAll(path, bank);
      const bool held = ProbeLock("C:\\TEMP\\DSP.data.k.dat.TMP") == platform::LockState::kHeld;
      seen.push_back((held ? "held [" : "unheld [") + swap + "] " + bank);
      return EnvWrapper::ReplaceContents(path, bytes);
    }
  };
  World world;
  world.root.WriteFile(kBank, "k=abc\r\nother=1\r\n");
  Watch* watch = world.Wrap<Watch>();
  world.AddDatabank();
  ASSERT_TRUE(world.db->Write(kBank, "k", "abcd"));  // does not fit: rewritten
  ASSERT_TRUE(world.db->Remove(kBank, "other"));
  EXPECT_EQ(watch->seen, (Lines{"held [] k=abc\r\nother=1\r\n", "held [] other=1\r\nk=abcd\r\n"}));
  EXPECT_EQ(world.root.ReadFile(kBank), "k=abcd\r\n");
  EXPECT_FALSE(world.root.Exists("C:\\TEMP\\DSP.data.k.dat.TMP"));
}

TEST_F(DatabankTest, RemovalDropsEveryLineOfTheKeyAndTheLinesThatHoldNothing) {
  root.WriteFile(kBank,
                 "k=1\r\n"
                 "keep=a\r\n"
                 "\r\n"
                 "   \r\n"
                 "=orphan\r\n"
                 "  = spaced orphan\r\n"
                 "empty=\r\n"
                 "blank=   \r\n"
                 "b64=dGVzdA==\r\n"
                 "k=ends in =\r\n"
                 "plain text line\r\n"
                 "  K = 2\r\n"
                 "kk=3\r\n"
                 "k\r\n"
                 "last=x");
  StartLog();
  EXPECT_TRUE(db->Remove(kBank, " k "));  // the key is taken trimmed
  EXPECT_EQ(root.ReadFile(kBank),
            "keep=a\r\nb64=dGVzdA==\r\nplain text line\r\nkk=3\r\nk\r\nlast=x\r\n");
  Lines expected = {"Database C:\\data\\k.dat serial  RemoveEntry [k]",
                    "Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]"};
  const Lines set = SetLines(kBank, "1", "k", "",
                             "Removing. Doesn't fit in or is empty (using standard method). ", "2",
                             "");
  expected.insert(expected.end(), set.begin(), set.end());
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(db->Query(kBank, "k"), "");
}

TEST_F(DatabankTest, RemovalFromAMissingDatabankCreatesNothing) {
  StartLog();
  EXPECT_TRUE(db->Remove(kBank, "k"));
  EXPECT_FALSE(root.Exists(kBank));
  EXPECT_EQ(Log()[1], "Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data..TMP]");
  EXPECT_EQ(Log()[2], "Database C:\\data\\k.dat serial  Set [k], []");
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data..TMP"));
}

TEST_F(DatabankTest, DeletedDatabankIsWrittenAgainBySameSet) {
  EXPECT_TRUE(db->Write(kBank, "k", "v"));
  std::filesystem::remove(root.Native(kBank));
  EXPECT_TRUE(db->Write(kBank, "k", "v"));
  EXPECT_EQ(root.ReadFile(kBank), "k=v\r\n");
}

TEST_F(DatabankTest, ValuesMayHoldEqualsButKeysNever) {
  EXPECT_TRUE(db->Write(kBank, "formula", "a=b=c"));
  EXPECT_EQ(db->Query(kBank, "formula"), "a=b=c");
  EXPECT_EQ(OtherProgram()->Query(kBank, "formula"), "a=b=c");
  EXPECT_TRUE(db->Write(kBank, "a=b", "1"));
  EXPECT_TRUE(db->Write(kBank, "a=b", "1"));  // answered by the write cache
  auto third = OtherProgram();
  EXPECT_TRUE(third->Write(kBank, "a=b", "1"));  // another program's cache does not know it: one more line
  EXPECT_EQ(root.ReadFile(kBank), "formula=a=b=c\r\na=b=1\r\na=b=1\r\n");
  EXPECT_EQ(third->Query(kBank, "a=b"), "1");  // from its write cache
  EXPECT_EQ(OtherProgram()->Query(kBank, "a=b"), "");  // the file never answers such a key
}

TEST_F(DatabankTest, LineBreaksInKeyOrValueNeverReshapeTheFile) {
  EXPECT_TRUE(db->Write(kBank, "sky", "blue"));
  const std::string before = root.ReadFile(kBank);
  EXPECT_EQ(db->Write(kBank, "sky", "grey\r\nAuthor=somebody else").message(),
            std::string("cannot write ") + kBank + ": the value holds a line break");
  EXPECT_EQ(db->Write(kBank, "sea\nAuthor", "deep").cause(), "the key holds a line break");
  EXPECT_EQ(db->Write(kBank, "cloud", "white\n").cause(), "the value holds a line break");
  EXPECT_EQ(root.ReadFile(kBank), before);
  EXPECT_EQ(db->Query(kBank, "Author"), "");
  EXPECT_EQ(db->Query(kBank, "sky"), "blue");
  // A value without breaks is stored as usual afterwards.
  EXPECT_TRUE(db->Write(kBank, "sky", "gray").ok());
  EXPECT_EQ(root.ReadFile(kBank), "sky=gray\r\n");
}

TEST_F(DatabankTest, DatabankInAMissingFolderIsNeverCreated) {
  StartLog();
  platform::Status s = db->Write("C:\\nowhere\\k.dat", "k", "v");
  EXPECT_EQ(s.what(), "cannot write C:\\nowhere\\k.dat");
  EXPECT_FALSE(s.cause().empty());
  EXPECT_FALSE(root.Exists("C:\\nowhere"));
  EXPECT_EQ(Log(), SetLines("C:\\nowhere\\k.dat", "", "k", "v", "Appending. ", "", ""));
  EXPECT_EQ(db->Query("C:\\nowhere\\k.dat", "k"), "");
}

// Makes a file unwritable for everyone, root included, while it lives.
class Unwritable {
 public:
  explicit Unwritable(const std::string& native) : native_(native) {
    if (::geteuid() == 0) {
      ok_ = std::system(("chattr +i '" + native_ + "' 2>/dev/null").c_str()) == 0;
      immutable_ = ok_;
    } else {
      std::filesystem::permissions(native_, std::filesystem::perms::owner_read);
      ok_ = true;
    }
  }
  ~Unwritable() {
    // Nothing more can be done about a failure here (the fortified libc
    // will not let the result be dropped unnamed).
    if (immutable_) {
      [[maybe_unused]] const int undone = std::system(("chattr -i '" + native_ + "'").c_str());
    }
  }
  bool ok() const { return ok_; }

 private:
  std::string native_;
  bool ok_ = false, immutable_ = false;
};

TEST_F(DatabankTest, FailedWritesAreNotReportedAsWritten) {
  root.WriteFile(kBank, "k=abcdef\r\n");
  Unwritable guard(root.Native(kBank));
  if (!guard.ok()) GTEST_SKIP() << "cannot make a file unwritable here";
  for (const char* value : {"xyz", "a value longer than its room"}) {  // in place, rewrite
    platform::Status s = db->Write(kBank, "k", value);
    EXPECT_EQ(s.what(), std::string("cannot write ") + kBank) << value;
    EXPECT_NE(s.error(), 0) << value;
    EXPECT_EQ(db->Query(kBank, "k"), "abcdef");
  }
  EXPECT_FALSE(db->Write(kBank, "new", "v").ok());  // append
  EXPECT_EQ(db->Query(kBank, "new"), "");
  EXPECT_EQ(root.ReadFile(kBank), "k=abcdef\r\n");
  for (const auto& slot : db->write_cache().slots) EXPECT_NE(slot.path, kBank);
}

TEST_F(DatabankTest, WritesOfOtherProgramsNeverHideBehindOurCaches) {
  EXPECT_TRUE(db->Write(kBank, "k", "aaa"));
  EXPECT_TRUE(db->Write(kBank, "j", "1"));
  EXPECT_EQ(db->Query(kBank, "j"), "1");
  auto other = OtherProgram();
  EXPECT_TRUE(other->Write(kBank, "k", "bbb"));  // in place: same length
  EXPECT_EQ(db->Query(kBank, "k"), "bbb");
  EXPECT_TRUE(other->Write(kBank, "j", "22"));  // rewrite
  EXPECT_EQ(db->Query(kBank, "j"), "22");
  EXPECT_EQ(db->Query(kBank, "k"), "bbb");
}

}  // namespace
}  // namespace carob::testing
