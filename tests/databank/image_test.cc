// Lookups answered from a file's image: they see every change another
// writer makes, follow our own writes of every kind, and trace the same
// lines (file numbers included) as lookups that read the file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "tests/databank/databank_fixture.h"
#include "tests/platform/platform_test_util.h"

namespace carob::testing {
namespace {

constexpr const char* kBank = "C:\\data\\k.dat";

class ImageTest : public DatabankTest, public ::testing::WithParamInterface<bool> {
 protected:
  ImageTest() { db->UseImages(GetParam()); }
  std::string Q(const std::string& key) { return db->Query(std::string(kBank), std::string(key)); }
  void S(const std::string& key, const std::string& value) {
    EXPECT_TRUE(db->Write(kBank, key, value));
  }
  // Moves the file's time on by a second, as any editor's save would.
  void Touch() {
    struct stat st {};
    const std::string native = root.Native(kBank);
    ASSERT_EQ(::stat(native.c_str(), &st), 0);
    timespec times[2] = {{0, UTIME_OMIT}, {st.st_mtim.tv_sec + 1, st.st_mtim.tv_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, native.c_str(), times, 0), 0);
  }
};

TEST_P(ImageTest, EveryChangeByAnotherWriterIsSeenByTheNextLookup) {
  struct Change {
    const char* what;
    std::function<void()> make;
    const char* key;
    const char* value;
  };
  const std::vector<Change> changes = {
      {"another program appends", [&] { EXPECT_TRUE(OtherProgram()->Write(kBank, "c", "3")); }, "c", "3"},
      {"another program overwrites in place",
       [&] { EXPECT_TRUE(OtherProgram()->Write(kBank, "a", "9")); }, "a", "9"},
      {"an editor changes a byte, same length",
       [&] {
         root.WriteFile(kBank, "a=1\r\nb=7\r\n");
         Touch();
       },
       "b", "7"},
      {"the file is replaced by one of the same length",
       [&] {
         root.WriteFile("C:\\data\\new", "a=5\r\nb=2\r\n");
         std::filesystem::rename(root.Native("C:\\data\\new"), root.Native(kBank));
       },
       "a", "5"},
      {"the file is emptied", [&] { root.WriteFile(kBank, ""); }, "a", ""},
  };
  for (const Change& c : changes) {
    root.WriteFile(kBank, "a=1\r\nb=2\r\n");
    // Images and caches are filled, every key read once.
    EXPECT_EQ(Q("a"), "1") << c.what;
    EXPECT_EQ(Q("B"), "2") << c.what;
    EXPECT_EQ(Q("none"), "") << c.what;
    c.make();
    EXPECT_EQ(Q(c.key), c.value) << c.what;
  }
}

TEST_P(ImageTest, OurOwnWritesOfEveryKindKeepLookupsRight) {
  root.WriteFile(kBank, "a=1\nnote\r\nb=22222\r\nB=shadowed\r\n\r\n=x\r\nlast=open");
  EXPECT_EQ(Q("b"), "22222");
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"new", "appended"},       // after a last line without its end
      {"b", "33"},               // in place, padded
      {"a", "longer than its room"},  // rewritten, bare LF ends made CR LF
      {"new", "again appended, and longer"},
      {"b", ""},                 // removed, both lines of the key
      {"c", "x=y"},
      {"c", "z"},
  };
  for (const auto& [key, value] : steps) {
    S(key, value);
    auto other = OtherProgram();
    for (const char* k : {"a", "b", "new", "c", "last", "note", "x"}) {
      const std::string from_file = other->Query(std::string(kBank), std::string(k));
      // A new key each time misses both caches of ours.
      std::string forget = k;
      db->ForgetCached(forget);
      EXPECT_EQ(Q(k), from_file) << key << "=" << value << ", then " << k;
    }
  }
  EXPECT_EQ(root.ReadFile(kBank),
            "note\r\nlast=open\r\na=longer than its room\r\nnew=again appended, and longer\r\n"
            "c=z  \r\n");
}

TEST_P(ImageTest, ManyRewritesOfOneKeyLeaveTheOthersFound) {
  root.WriteFile(kBank, "first=1\r\nk=\r\nlast=2\r\n");
  std::string value;
  for (int i = 0; i < 1100; ++i) {
    value += "v";  // one longer each time: never fits, always rewritten
    S("k", value);
  }
  for (const char* k : {"first", "last"}) {
    std::string forget = k;
    db->ForgetCached(forget);
  }
  EXPECT_EQ(Q("first"), "1");
  EXPECT_EQ(Q("last"), "2");
  EXPECT_EQ(Q("K"), value);
  EXPECT_EQ(root.ReadFile(kBank), "first=1\r\nlast=2\r\nk=" + value + "\r\n");
}

TEST_P(ImageTest, TraceNamesTheFileNumbersAReadWouldHaveTaken) {
  root.WriteFile(kBank, "a=1\r\nb=2\r\n");
  StartLog();
  EXPECT_EQ(Q("a"), "1");
  {
    // A file held open meanwhile takes number 1.
    auto held = Opened(*env, "C:\\FileLoc", platform::OpenMode::kRead);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Q("b"), "2");
    S("b", "a value that does not fit");
  }
  const std::string bank = kBank;
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Database " + bank + " serial 1 Query [a] ==>> [1]",
                       "Database " + bank + " serial 2 Query [b] ==>> [2]",
                       "Database [" + bank + "] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]",
                       "Database " + bank + " serial 2 Set [b], [a value that does not fit]",
                       " Methods: Overwriting existant. Doesn't fit in or is empty (using standard "
                       "method). ",
                       " Swap serial 3 Set",
                       " Bytes inscribed ",
                   }));
  // Another process deletes the log: the next line starts a new one.
  std::filesystem::remove(root.Native(kLog));
  EXPECT_EQ(Q("zz"), "");
  EXPECT_EQ(Log(), std::vector<std::string>{"Database " + bank + " serial 1 Query [zz] ==>> []"});
}

INSTANTIATE_TEST_SUITE_P(ImagesOnAndOff, ImageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Images" : "Reference"; });

}  // namespace
}  // namespace carob::testing
