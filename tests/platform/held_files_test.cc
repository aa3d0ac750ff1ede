// What the databank engine keeps between calls: remembered folder listings
// for case-blind lookups, a log held open for appending, reads stamped with
// the state they saw, and the file numbers a read would have taken.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/env.h"
#include "platform/posix/paths.h"
#include "tests/platform/platform_test_util.h"
#include "tests/support/world.h"

namespace carob::platform {
namespace {

using testing::MakeTestEnv;
using testing::Opened;
using testing::TempRoot;

// Moves a folder's time a few seconds back, as if nothing had changed in
// it lately.
void Settle(const std::string& native_folder) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  timespec times[2] = {{0, UTIME_OMIT}, {now.tv_sec - 5, now.tv_nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, native_folder.c_str(), times, 0), 0);
}

TEST(FolderListingTest, RememberedWhileTheFolderStandsStillAndReadAgainAfterAnyOtherChange) {
  TempRoot root;
  root.WriteFile("C:\\TEMP\\Data.TXT", "x");
  const std::string folder = root.Native("C:\\TEMP");
  Settle(folder);
  posix::PathMap paths(root.path());

  EXPECT_EQ(paths.MatchNoCase(folder, "data.txt"), "Data.TXT");
  EXPECT_EQ(paths.MatchNoCase(folder, "other"), std::nullopt);
  EXPECT_EQ(paths.MatchNoCase(folder, "DATA.txt"), "Data.TXT");
  EXPECT_EQ(paths.listings_read(), 1);

  // Our own change, noted with the folder's state from just before it.
  struct stat before {};
  ASSERT_EQ(::stat(folder.c_str(), &before), 0);
  root.WriteFile("C:\\TEMP\\Mine.Lock", "");
  paths.NoteChange(folder, "Mine.Lock", /*made=*/true, before);
  EXPECT_EQ(paths.MatchNoCase(folder, "MINE.LOCK"), "Mine.Lock");
  ASSERT_EQ(::stat(folder.c_str(), &before), 0);
  std::filesystem::remove(root.Native("C:\\TEMP\\Mine.Lock"));
  paths.NoteChange(folder, "Mine.Lock", /*made=*/false, before);
  EXPECT_EQ(paths.MatchNoCase(folder, "mine.lock"), std::nullopt);
  EXPECT_EQ(paths.listings_read(), 1);

  // Anyone else's change: a new spelling that sorts first, then a removal.
  root.WriteFile("C:\\TEMP\\DATA.txt", "y");
  EXPECT_EQ(paths.MatchNoCase(folder, "data.txt"), "DATA.txt");
  EXPECT_EQ(paths.listings_read(), 2);
  std::filesystem::remove(root.Native("C:\\TEMP\\DATA.txt"));
  std::filesystem::remove(root.Native("C:\\TEMP\\Data.TXT"));
  EXPECT_EQ(paths.MatchNoCase(folder, "data.txt"), std::nullopt);
  // A listing made right after a change is read again next time: a second
  // change within the file system's time step would not move the time.
  EXPECT_EQ(paths.listings_read(), 3);
  root.WriteFile("C:\\TEMP\\data.TXT", "z");
  Settle(folder);
  EXPECT_EQ(paths.MatchNoCase(folder, "DATA.TXT"), "data.TXT");
}

TEST(FolderListingTest, SwapLocksInABigFolderAreFoundUnderEverySpellingOfTheirFolder) {
  TempRoot root;
  for (int i = 0; i < 300; ++i) root.WriteFile("C:\\TEMP\\unrelated" + std::to_string(i), "");
  Settle(root.Native("C:\\TEMP"));
  auto env = MakeTestEnv(root);
  for (int round = 0; round < 3; ++round) {
    auto lock = testing::Locked(*env, "C:\\TEMP\\DSP.Root.k.dat.TMP");
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(env->ProbeLock("C:\\TEMP\\dsp.root.K.DAT.tmp"), LockState::kHeld);
    lock->Release();
    EXPECT_EQ(env->ProbeLock("C:\\TEMP\\dsp.root.K.DAT.tmp"), LockState::kAbsent);
  }
  // A lock is its name as spelt, in its folder however that is spelt.
  root.WriteFile("C:\\TEMP\\DSP.Root.k.dat.TMP", "");
  EXPECT_EQ(testing::Locked(*env, "C:\\temp\\DSP.Root.k.dat.TMP"), nullptr);
  EXPECT_EQ(testing::Locked(*env, "C:\\Temp\\DSP.Root.k.dat.TMP"), nullptr);
}

TEST(AppenderTest, LinesAreInTheFileAtOnceAndFollowTheNameWhenOthersMoveIt) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  const std::string log = "C:\\ORB\\CAROB\\Database_IO.log";
  root.MakeFolder("C:\\ORB\\CAROB");
  std::unique_ptr<Appender> appender = env->NewAppender(log);
  EXPECT_FALSE(root.Exists(log));  // nothing is made before the first line
  ASSERT_TRUE(appender->Append("one\r\n"));
  EXPECT_EQ(root.ReadFile(log), "one\r\n");
  // The held log takes no file number.
  EXPECT_EQ(env->FreeSerial(0), 1);
  ASSERT_TRUE(appender->Append("two\r\n"));
  EXPECT_EQ(root.ReadFile(log), "one\r\ntwo\r\n");

  // Another process rotates the log, then deletes the new one.
  std::filesystem::rename(root.Native(log), root.Native(log + ".x"));
  ASSERT_TRUE(appender->Append("three\r\n"));
  EXPECT_EQ(root.ReadFile(log + ".x"), "one\r\ntwo\r\n");
  EXPECT_EQ(root.ReadFile(log), "three\r\n");
  std::filesystem::remove(root.Native(log));
  ASSERT_TRUE(appender->Append("four\r\n"));
  EXPECT_EQ(root.ReadFile(log), "four\r\n");

  // A folder that is gone fails the line; the next one after it is back
  // goes through.
  std::filesystem::remove_all(root.Native("C:\\ORB\\CAROB"));
  EXPECT_FALSE(appender->Append("lost\r\n"));
  root.MakeFolder("C:\\ORB\\CAROB");
  ASSERT_TRUE(appender->Append("five\r\n"));
  EXPECT_EQ(root.ReadFile(log), "five\r\n");
}

TEST(StampedReadTest, StampDescribesTheBytesAndFreeSerialsCountPastOpenFiles) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  root.WriteFile("C:\\ORB\\k.dat", "a=1\r\n");
  std::string bytes;
  FileInfo stamp;
  ASSERT_TRUE(env->ReadAllStamped("C:\\ORB\\k.dat", bytes, &stamp));
  std::optional<FileInfo> info = env->FindFile("C:\\ORB\\k.dat");
  ASSERT_TRUE(info);
  EXPECT_EQ(bytes, "a=1\r\n");
  EXPECT_EQ(stamp.size, info->size);
  EXPECT_EQ(stamp.mtime_ns, info->mtime_ns);
  EXPECT_EQ(stamp.inode, info->inode);
  EXPECT_EQ(stamp.device, info->device);
  EXPECT_FALSE(env->ReadAllStamped("C:\\ORB\\none", bytes, &stamp));
  EXPECT_EQ(stamp.size, -1);

  // A file put in another's place always has a later time, however quickly
  // the replacements follow one another: its stamp changes even at the
  // same length.
  int64_t previous = info->mtime_ns;
  for (char c = 'b'; c <= 'z'; ++c) {
    ASSERT_TRUE(env->ReplaceContents("C:\\ORB\\k.dat", std::string("a=") + c + "\r\n"));
    std::optional<FileInfo> now = env->FindFile("C:\\ORB\\k.dat");
    ASSERT_TRUE(now);
    EXPECT_GT(now->mtime_ns, previous) << c;
    previous = now->mtime_ns;
  }

  auto first = Opened(*env, "C:\\ORB\\k.dat", OpenMode::kRead);
  auto second = Opened(*env, "C:\\ORB\\k.dat", OpenMode::kRead);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(env->FreeSerial(0), 3);
  first.reset();
  EXPECT_EQ(env->FreeSerial(0), 1);
  EXPECT_EQ(env->FreeSerial(1), 3);
}

}  // namespace
}  // namespace carob::platform
