#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/env.h"
#include "platform/interaction.h"
#include "tests/platform/platform_test_util.h"
#include "tests/support/file_reads.h"
#include "tests/support/process.h"

namespace carob::platform {
namespace {

namespace fs = std::filesystem;
using testing::EnvOverRoot;
using testing::ExpectReadsAt;
using testing::MakeTestEnv;
using testing::TempRoot;
using testing::Opened;
using testing::OpenedLocked;

using SerialTest = EnvOverRoot;
using ReadLineTest = EnvOverRoot;
using FileTest = EnvOverRoot;
using ReplaceContentsTest = EnvOverRoot;
using MarkModifiedTest = EnvOverRoot;

std::vector<std::string> FolderEntries(const std::string& native_folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(native_folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(SerialTest, EveryOpenFileHoldsTheLowestFreeNumber) {
  root.WriteFile("C:\\ORB\\a", "a");
  auto a = Opened(*env, "C:\\ORB\\a", OpenMode::kRead);
  auto b = Opened(*env, "C:\\ORB\\b", OpenMode::kAppend);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->serial(), 1);
  EXPECT_EQ(b->serial(), 2);
  a.reset();
  auto c = Opened(*env, "C:\\ORB\\a", OpenMode::kReadWrite);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->serial(), 1);
  auto d = OpenedLocked(*env, "C:\\ORB\\b", OpenMode::kRead);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->serial(), 3);
  // The table is the process's, not the Env's.
  auto other_env = MakeTestEnv(root);
  auto e = Opened(*other_env, "C:\\ORB\\a", OpenMode::kRead);
  EXPECT_EQ(e->serial(), 4);
  b.reset();
  c.reset();
  auto f = Opened(*other_env, "C:\\ORB\\a", OpenMode::kRead);
  EXPECT_EQ(f->serial(), 1);
  // A failed open takes no number.
  EXPECT_EQ(Opened(*env, "C:\\ORB\\none", OpenMode::kRead), nullptr);
  auto g = Opened(*env, "C:\\ORB\\a", OpenMode::kRead);
  EXPECT_EQ(g->serial(), 2);
}

TEST_F(ReadLineTest, LineEndsAndOffsets) {
  root.WriteFile("C:\\t.txt", "a\r\nb\nc\rd\r\n\r\n\r\r\nlast\r");
  auto f = Opened(*env, "C:\\t.txt", OpenMode::kRead);
  ASSERT_NE(f, nullptr);
  struct Want {
    std::string line;
    int64_t next;
  };
  const std::vector<Want> want = {
      {"a", 3}, {"b", 5}, {"c\rd", 10}, {"", 12}, {"\r", 15}, {"last\r", 20}};
  EXPECT_EQ(f->Tell(), 0);
  std::string line;
  for (const auto& w : want) {
    ASSERT_TRUE(f->ReadLine(line));
    EXPECT_EQ(line, w.line);
    EXPECT_EQ(f->Tell(), w.next);
  }
  EXPECT_FALSE(f->ReadLine(line));
  EXPECT_TRUE(f->status().ok()) << f->status().message();
  int64_t size = 0;
  ASSERT_TRUE(f->Size(size));
  EXPECT_EQ(size, 20);

  root.WriteFile("C:\\empty.txt", "");
  auto e = Opened(*env, "C:\\empty.txt", OpenMode::kRead);
  EXPECT_FALSE(e->ReadLine(line));
  root.WriteFile("C:\\one.txt", "only\r\n");
  auto one = Opened(*env, "C:\\one.txt", OpenMode::kRead);
  EXPECT_TRUE(one->ReadLine(line));
  EXPECT_EQ(line, "only");
  EXPECT_FALSE(one->ReadLine(line));
}

TEST_F(ReadLineTest, LongLinesAcrossReadChunks) {
  std::string content;
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i) {
    std::string l(static_cast<size_t>(i * 7919 % 150000), static_cast<char>('a' + i % 26));
    lines.push_back(l);
    content += l + (i % 2 ? "\r\n" : "\n");
  }
  root.WriteFile("C:\\long.txt", content);
  auto f = Opened(*env, "C:\\long.txt", OpenMode::kRead);
  std::string line;
  int64_t offset = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(f->ReadLine(line)) << i;
    EXPECT_EQ(line, lines[static_cast<size_t>(i)]) << i;
    offset += static_cast<int64_t>(lines[static_cast<size_t>(i)].size()) + (i % 2 ? 2 : 1);
    EXPECT_EQ(f->Tell(), offset);
  }
  EXPECT_FALSE(f->ReadLine(line));
}

TEST_F(FileTest, ReadWriteAndBytes) {
  root.WriteFile("C:\\k.dat", "key1=old\r\nkey2=v\r\n");
  auto f = Opened(*env, "C:\\k.dat", OpenMode::kReadWrite);
  ASSERT_NE(f, nullptr);
  std::string line;
  ASSERT_TRUE(f->ReadLine(line));
  // Overwrite the value of the first line in place.
  ASSERT_TRUE(f->WriteAt(5, 'n'));
  ASSERT_TRUE(f->WriteAt(6, 'e'));
  ASSERT_TRUE(f->WriteAt(7, 'w'));
  // What was written in place reads back; past the end there is nothing to
  // read, and that is no failure.
  ASSERT_NO_FATAL_FAILURE(ExpectReadsAt(*f, {{5, 3, "new"}, {16, 10, "\r\n"}, {100, 1, ""}}));
  // Writing goes at the current offset, and reading goes on behind it.
  ASSERT_TRUE(f->Write("KEY2"));
  EXPECT_EQ(f->Tell(), 14);
  ASSERT_TRUE(f->ReadLine(line));
  EXPECT_EQ(line, "=v");
  int64_t size = 0;
  ASSERT_TRUE(f->Size(size));
  EXPECT_EQ(size, 18);
  f.reset();
  EXPECT_EQ(root.ReadFile("C:\\k.dat"), "key1=new\r\nKEY2=v\r\n");

  // Read mode writes nothing; append mode appends and cannot write in place.
  auto r = Opened(*env, "C:\\k.dat", OpenMode::kRead);
  EXPECT_FALSE(r->Write("x"));
  EXPECT_FALSE(r->WriteAt(0, 'x'));
  r.reset();
  auto a = Opened(*env, "C:\\k.dat", OpenMode::kAppend);
  ASSERT_TRUE(a->Write("key3=w\r\n"));
  EXPECT_FALSE(a->WriteAt(0, 'x'));
  ASSERT_TRUE(a->ReadLine(line));
  EXPECT_EQ(line, "key1=new");
  a.reset();
  EXPECT_EQ(root.ReadFile("C:\\k.dat"), "key1=new\r\nKEY2=v\r\nkey3=w\r\n");

  // Cutting a file back while reading it: what was read ahead past the new
  // end is never handed out.
  auto cut = Opened(*env, "C:\\k.dat", OpenMode::kReadWrite);
  ASSERT_TRUE(cut->ReadLine(line));
  ASSERT_TRUE(cut->Truncate(13));
  ASSERT_TRUE(cut->ReadLine(line));
  EXPECT_EQ(line, "KEY");
  EXPECT_FALSE(cut->ReadLine(line));
  cut.reset();

  // kRead and kReadWrite never create.
  EXPECT_EQ(Opened(*env, "C:\\new.dat", OpenMode::kRead), nullptr);
  EXPECT_EQ(Opened(*env, "C:\\new.dat", OpenMode::kReadWrite), nullptr);
  EXPECT_FALSE(root.Exists("C:\\new.dat"));
  std::string bytes = "stale";
  EXPECT_FALSE(env->ReadAll("C:\\new.dat", bytes));
  EXPECT_EQ(bytes, "");
  ASSERT_TRUE(env->AppendBytes("C:\\new.dat", std::string("a\0b", 3)));
  ASSERT_TRUE(env->AppendBytes("C:\\new.dat", "\xE9\r\n"));
  ASSERT_TRUE(env->ReadAll("C:\\new.dat", bytes));
  EXPECT_EQ(bytes, std::string("a\0b\xE9\r\n", 6));  // bytes kept as they are
}

TEST_F(FileTest, WritesNeverFollowASymlink) {
  // Links planted at the names of files the programs write in a shared
  // folder: one to a file of the user, one to a name not made yet.
  root.WriteFile("C:\\victim", "mine\r\n");
  root.MakeFolder("C:\\TEMP");
  fs::create_symlink(root.Native("C:\\victim"), root.Native("C:\\TEMP\\to-file"));
  fs::create_symlink(root.Native("C:\\made-elsewhere"), root.Native("C:\\TEMP\\dangling"));
  for (const char* name : {"C:\\TEMP\\to-file", "C:\\TEMP\\dangling"}) {
    const std::string refused = std::string(": a symbolic link stands there");
    Status appended = env->AppendBytes(name, "x=y\r\n");
    EXPECT_EQ(appended.message(), std::string("cannot append to ") + name + refused);
    std::unique_ptr<File> file;
    Status opened = env->Open(name, OpenMode::kAppend, &file);
    EXPECT_EQ(opened.message(), std::string("cannot open ") + name + " for writing" + refused);
    EXPECT_FALSE(env->Open(name, OpenMode::kReadWrite, &file));
    EXPECT_EQ(file, nullptr);
  }
  EXPECT_EQ(root.ReadFile("C:\\victim"), "mine\r\n");
  EXPECT_FALSE(root.Exists("C:\\made-elsewhere"));
}

TEST_F(FileTest, RenameAndDelete) {
  root.WriteFile("C:\\ORB\\k.dat", "k");
  root.WriteFile("C:\\TEMP\\busy", "b");
  ASSERT_TRUE(env->Rename("C:\\ORB\\k.dat", "C:\\TEMP\\DSP.ORB.k.dat.TMP"));
  EXPECT_FALSE(root.Exists("C:\\ORB\\k.dat"));
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\DSP.ORB.k.dat.TMP"), "k");
  // A rename never replaces another file.
  EXPECT_FALSE(env->Rename("C:\\TEMP\\DSP.ORB.k.dat.TMP", "C:\\TEMP\\busy"));
  EXPECT_FALSE(env->Rename("C:\\TEMP\\DSP.ORB.k.dat.TMP", "C:\\TEMP\\BUSY"));
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\busy"), "b");
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\DSP.ORB.k.dat.TMP"), "k");
  // Missing source or missing target folder.
  EXPECT_FALSE(env->Rename("C:\\TEMP\\none", "C:\\TEMP\\other"));
  EXPECT_FALSE(env->Rename("C:\\TEMP\\busy", "C:\\NoFolder\\busy"));
  EXPECT_TRUE(root.Exists("C:\\TEMP\\busy"));
  // Renaming onto its own name in another letter case is a no-op success.
  EXPECT_TRUE(env->Rename("C:\\TEMP\\busy", "C:\\TEMP\\BUSY"));
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\busy"), "b");
  EXPECT_TRUE(env->Delete("C:\\TEMP\\busy"));
  EXPECT_FALSE(env->Delete("C:\\TEMP\\busy"));
}

TEST_F(ReplaceContentsTest, ReplacesBesideTheFileWhateverTheTemporaryFolder) {
  testing::ScopedEnvVar temp("TEMP", fs::exists("/dev/shm") ? "/dev/shm" : "/tmp");
  testing::ScopedEnvVar tmpdir("TMPDIR", fs::exists("/dev/shm") ? "/dev/shm" : "/tmp");
  root.WriteFile("C:\\Data\\Queue.POF", "old\r\n");
  const std::string native = root.Native("C:\\Data\\Queue.POF");
  ASSERT_EQ(::chmod(native.c_str(), 0640), 0);
  auto before = env->FindFile("C:\\Data\\Queue.POF");

  ASSERT_TRUE(env->ReplaceContents("C:\\Data\\queue.pof", "new\r\ncontents\r\n"));
  EXPECT_EQ(root.ReadFile("C:\\Data\\Queue.POF"), "new\r\ncontents\r\n");
  // The stored name stays, no second spelling appears, nothing is left over.
  EXPECT_EQ(FolderEntries(root.Native("C:\\Data")), std::vector<std::string>{"Queue.POF"});
  struct stat st {};
  ASSERT_EQ(::stat(native.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  auto after = env->FindFile("C:\\Data\\Queue.POF");
  EXPECT_NE(before->inode, after->inode);

  // A missing file is created; an empty content is a file of no bytes.
  ASSERT_TRUE(env->ReplaceContents("C:\\Data\\fresh.txt", ""));
  ASSERT_TRUE(env->FindFile("C:\\Data\\fresh.txt").has_value());
  EXPECT_EQ(env->FindFile("C:\\Data\\fresh.txt")->size, 0);
  // A folder is never replaced.
  root.MakeFolder("C:\\Data\\Sub");
  EXPECT_FALSE(env->ReplaceContents("C:\\Data\\Sub", "x"));
  EXPECT_TRUE(fs::is_directory(root.Native("C:\\Data\\Sub")));
}

TEST_F(ReplaceContentsTest, LeftoversOfDeadWritersAreSwept) {
  root.WriteFile("C:\\Data\\k.dat", "k");
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(testing::WaitExit(dead), 0);
  const std::string folder = root.Native("C:\\Data");
  const std::string stale = folder + "/.k.dat." + std::to_string(dead) + ".0.new";
  // Process 1 always runs.
  const std::string living = folder + "/.k.dat.1.0.new";
  // Left by an earlier process that had this process's id.
  const std::string reused = folder + "/.k.dat." + std::to_string(::getpid()) + ".0.new";
  const std::string unrelated = folder + "/.other.dat." + std::to_string(dead) + ".0.new";
  for (const auto& p : {stale, living, unrelated, reused}) std::ofstream(p) << "partial";
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(env->ReplaceContents("C:\\Data\\k.dat", "new"));
  EXPECT_FALSE(fs::exists(reused));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(living));     // its writer still runs
  EXPECT_TRUE(fs::exists(unrelated));  // belongs to another file
  EXPECT_EQ(root.ReadFile("C:\\Data\\k.dat"), "new");
}

// In a crowded folder a process's first replacement of a file sweeps only
// when no other process did so within the last minute (the mark
// ".k.dat.swept" tells when); a dead writer's leftover goes at the first
// replacement after that minute, and the mark goes once the folder thins.
TEST_F(ReplaceContentsTest, CrowdedFolderIsSweptOncePerMinuteAcrossProcesses) {
  root.WriteFile("C:\\Crowd\\k.dat", "k");
  const std::string folder = root.Native("C:\\Crowd");
  for (int i = 0; i < 1100; ++i) std::ofstream(folder + "/unrelated." + std::to_string(i));
  const std::string mark = folder + "/.k.dat.swept";
  auto plant_leftover = [&] {
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    EXPECT_EQ(testing::WaitExit(dead), 0);
    const std::string leftover = folder + "/.k.dat." + std::to_string(dead) + ".0.new";
    std::ofstream(leftover) << "partial";
    return leftover;
  };
  // Each replacement is a process of its own, as a one-shot command is.
  auto replace_in_new_process = [&](const std::string& contents) {
    pid_t child = ::fork();
    if (child == 0) {
      auto child_env = MakeTestEnv(root);
      ::_exit(child_env->ReplaceContents("C:\\Crowd\\k.dat", contents) ? 0 : 1);
    }
    EXPECT_EQ(testing::WaitExit(child), 0);
    EXPECT_EQ(root.ReadFile("C:\\Crowd\\k.dat"), contents);
  };
  auto age_mark = [&](int seconds) {
    struct stat st {};
    ASSERT_EQ(::stat(mark.c_str(), &st), 0);
    timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    times[1].tv_sec -= seconds;
    ASSERT_EQ(::utimensat(AT_FDCWD, mark.c_str(), times, 0), 0);
  };
  struct Step {
    const char* what;
    std::function<void()> before;
    bool leftover_swept;
    bool marked;
  } steps[] = {
      {"no mark yet: swept and marked", [] {}, true, true},
      {"marked just now: left for later", [] {}, false, true},
      {"mark from the future beyond the pace: no proof", [&] { age_mark(-120); }, true, true},
      {"mark 61 s old: swept", [&] { age_mark(61); }, true, true},
      {"thinned out, mark old: swept, mark gone",
       [&] {
         for (int i = 0; i < 1100; ++i) fs::remove(folder + "/unrelated." + std::to_string(i));
         age_mark(61);
       },
       true, false},
  };
  int n = 0;
  for (const Step& step : steps) {
    step.before();
    const std::string leftover = plant_leftover();
    replace_in_new_process("contents " + std::to_string(++n));
    EXPECT_EQ(fs::exists(leftover), !step.leftover_swept) << step.what;
    EXPECT_EQ(fs::exists(mark), step.marked) << step.what;
    if (fs::exists(leftover)) fs::remove(leftover);
  }
}

TEST_F(ReplaceContentsTest, ReadersNeverSeeAPartAndAKillLeavesTheFileWhole) {
  const std::string a(1 << 20, 'A');
  const std::string b(3 << 19, 'B');
  root.WriteFile("C:\\Data\\big", a);
  pid_t writer = ::fork();
  if (writer == 0) {
    auto child_env = MakeTestEnv(root);
    root.WriteFile("C:\\Marks\\started", "");
    for (unsigned i = 0;; ++i) (void)child_env->ReplaceContents("C:\\Data\\big", i % 2 ? a : b);
  }
  ASSERT_TRUE(testing::WaitUntil([&] { return root.Exists("C:\\Marks\\started"); }));
  std::string bytes;
  // Read on until the writer's work has been seen, then read on through
  // many of its rewrites.
  int reads_after_change = -1;
  for (int i = 0; i < 200000 && reads_after_change < 200; ++i) {
    ASSERT_TRUE(env->ReadAll("C:\\Data\\big", bytes));
    ASSERT_TRUE(bytes == a || bytes == b) << "partial file of " << bytes.size() << " bytes";
    if (reads_after_change >= 0 || bytes == b) ++reads_after_change;
  }
  EXPECT_GE(reads_after_change, 0) << "the writer never replaced the file";
  ::kill(writer, SIGKILL);
  testing::WaitExit(writer);
  ASSERT_TRUE(env->ReadAll("C:\\Data\\big", bytes));
  EXPECT_TRUE(bytes == a || bytes == b);
  // The next replacement clears whatever the killed writer left behind.
  ASSERT_TRUE(env->ReplaceContents("C:\\Data\\big", "done"));
  EXPECT_EQ(FolderEntries(root.Native("C:\\Data")), std::vector<std::string>{"big"});
}

TEST_F(MarkModifiedTest, StampAlwaysMovesOn) {
  root.WriteFile("C:\\ORB\\k.dat", "a=1\r\n");
  auto first = env->FindFile("C:\\ORB\\k.dat");
  ASSERT_TRUE(first.has_value());
  int64_t last = first->mtime_ns;
  // Many rewrites well within one tick of a coarse clock.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(env->MarkModified("C:\\ORB\\K.DAT"));
    auto now = env->FindFile("C:\\ORB\\k.dat");
    ASSERT_GT(now->mtime_ns, last);
    last = now->mtime_ns;
  }
  // A file stamped in the future still moves on.
  const std::string native = root.Native("C:\\ORB\\k.dat");
  timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, native.c_str(), times, 0), 0);
  auto future = env->FindFile("C:\\ORB\\k.dat");
  ASSERT_TRUE(env->MarkModified("C:\\ORB\\k.dat"));
  EXPECT_GT(env->FindFile("C:\\ORB\\k.dat")->mtime_ns, future->mtime_ns);
  EXPECT_FALSE(env->MarkModified("C:\\ORB\\missing"));
}

TEST(NoWindowTest, MessageBoxGoesToStandardErrorAndYieldReturns) {
  ::testing::internal::CaptureStderr();
  NoWindow().Yield();
  NoWindow().MessageBox("The STATUS databank size has been determined to be too big",
                        "ORB STATUS subsystem");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ORB STATUS subsystem: The STATUS databank size has been determined to be too big\n");
}

}  // namespace
}  // namespace carob::platform
