#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/env.h"
#include "platform/posix/file.h"
#include "tests/platform/platform_test_util.h"
#include "tests/support/process.h"

namespace carob::platform {
namespace {

namespace fs = std::filesystem;
using testing::EnvOverRoot;
using testing::MakeTestEnv;
using testing::TempRoot;
using testing::Locked;
using testing::OpenedLocked;
using testing::WaitExit;
using testing::WaitUntil;

// Marker files by which a test and its forked child signal each other.
const std::string kGo = "C:\\Marks\\go", kTrying = "C:\\Marks\\trying";

// Forks a child that, on an Env of its own, waits for kGo, marks kTrying and
// exits with what `attempt` answers (2 when kGo never came). Fork it before
// taking a lock: a forked child would otherwise share the parent's open file
// and with it the lock.
pid_t ForkWaiter(const TempRoot& root, const std::function<int(Env&)>& attempt) {
  pid_t child = ::fork();
  if (child == 0) {
    auto child_env = MakeTestEnv(root);
    if (!WaitUntil([&] { return root.Exists(kGo); })) ::_exit(2);
    root.WriteFile(kTrying, "");
    ::_exit(attempt(*child_env));
  }
  return child;
}

// Whether the kernel's lock table shows `pid` blocked in flock(), waiting
// for a lock another holds (a line "N: -> FLOCK ADVISORY WRITE pid ...").
bool BlockedInFlock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string number, arrow, kind, advisory, access;
    pid_t holder = 0;
    if (words >> number >> arrow >> kind >> advisory >> access >> holder && arrow == "->" &&
        kind == "FLOCK" && holder == pid) {
      return true;
    }
  }
  return false;
}

// Lets the waiter go and returns once it is blocked on the lock the test
// holds: whatever it would write, it could only write after the release.
void LetTheWaiterTry(const TempRoot& root, pid_t waiter) {
  root.WriteFile(kGo, "");
  ASSERT_TRUE(WaitUntil([&] { return root.Exists(kTrying); }));
  ASSERT_TRUE(WaitUntil([&] { return BlockedInFlock(waiter); }))
      << "the waiter never blocked on the held lock";
}

// A waiter's attempt: append "child;" to `queue` once it holds it.
std::function<int(Env&)> AppendsChild(std::string queue) {
  return [queue](Env& env) {
    auto f = OpenedLocked(env, queue, OpenMode::kAppend);
    return f && f->Write("child;") ? 0 : 1;
  };
}

using OpenLockedTest = EnvOverRoot;
using TryLockTest = EnvOverRoot;
using ProbeLockTest = EnvOverRoot;

// The file ReplaceContentsHeld puts in place and holds, or null.
auto HeldReplacement(Env& env, const std::string& path, std::string_view bytes) {
  return testing::HandedOut<LockFile>(
      [&](auto* l) { return env.ReplaceContentsHeld(path, bytes, l); });
}

TEST_F(OpenLockedTest, ExcludesASecondProcess) {
  root.MakeFolder("C:\\ORB");
  pid_t child = ForkWaiter(root, AppendsChild("C:\\ORB\\QUEUE.pof"));
  auto held = OpenedLocked(*env, "C:\\ORB\\Queue.POF", OpenMode::kAppend);  // created
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(held->Write("parent1;"));
  // The child waits for the release rather than barge in.
  ASSERT_NO_FATAL_FAILURE(LetTheWaiterTry(root, child));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Queue.POF"), "parent1;");
  ASSERT_TRUE(held->Write("parent2;"));
  held.reset();
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Queue.POF"), "parent1;parent2;child;");
}

TEST_F(OpenLockedTest, AWaiterGetsTheFileThatReplacedTheOneItWaitedFor) {
  root.WriteFile("C:\\ORB\\Queue.POF", "old\r\n");
  pid_t child = ForkWaiter(root, [](Env& child_env) {
    auto f = OpenedLocked(child_env, "C:\\ORB\\Queue.POF", OpenMode::kRead);
    std::string line;
    return f && f->ReadLine(line) && line == "new" ? 0 : 1;
  });
  auto held = OpenedLocked(*env, "C:\\ORB\\Queue.POF", OpenMode::kReadWrite);
  ASSERT_NE(held, nullptr);
  ASSERT_NO_FATAL_FAILURE(LetTheWaiterTry(root, child));
  ASSERT_TRUE(env->ReplaceContents("C:\\ORB\\Queue.POF", "new\r\n"));
  held.reset();
  EXPECT_EQ(WaitExit(child), 0);

  EXPECT_EQ(OpenedLocked(*env, "C:\\ORB\\none", OpenMode::kRead), nullptr);
  EXPECT_EQ(OpenedLocked(*env, "C:\\NoFolder\\x", OpenMode::kAppend), nullptr);
}

// A file put in place held: a second program that opens it locked waits
// until the holder lets go, and then finds everything the holder wrote, in
// order, before its own bytes.
TEST_F(OpenLockedTest, AReplacementPutInPlaceHeldIsFilledBeforeOthersWrite) {
  root.WriteFile("C:\\ORB\\Queue.POF", "old;");
  pid_t child = ForkWaiter(root, AppendsChild("C:\\ORB\\Queue.POF"));
  auto held = HeldReplacement(*env, "C:\\ORB\\Queue.POF", "new1;");
  ASSERT_NE(held, nullptr);
  ASSERT_NO_FATAL_FAILURE(LetTheWaiterTry(root, child));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Queue.POF"), "new1;");
  ASSERT_TRUE(held->Write("new2;"));
  held.reset();  // ends the hold; the file stays
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Queue.POF"), "new1;new2;child;");
  EXPECT_EQ(HeldReplacement(*env, "C:\\NoFolder\\x", "y"), nullptr);
}

TEST_F(TryLockTest, ExactlyOneOfRacingProcessesWins) {
  root.MakeFolder("C:\\TEMP");
  const std::string lock = "C:\\TEMP\\DSP.Root.FileLoc.TMP";
  constexpr int kRounds = 40;
  constexpr int kRacers = 3;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    pid_t racers[kRacers];
    for (pid_t& pid : racers) {
      pid = ::fork();
      if (pid == 0) {
        auto env = MakeTestEnv(root);
        std::this_thread::sleep_until(start);  // all start together
        auto held = Locked(*env, lock);
        ::_exit(held ? 0 : 1);
      }
    }
    int winners = 0;
    for (pid_t pid : racers) {
      int code = WaitExit(pid);
      ASSERT_TRUE(code == 0 || code == 1);
      winners += code == 0 ? 1 : 0;
    }
    ASSERT_EQ(winners, 1) << "round " << round;
    ASSERT_TRUE(fs::remove(root.Native(lock)));
  }
}

TEST_F(TryLockTest, NeverTakesAnExistingFile) {
  root.WriteFile("C:\\TEMP\\DSP.ORB.k.dat.TMP", "previous contents\r\n");
  // Not even one that nobody holds, nor through another spelling of its
  // folder.
  EXPECT_EQ(Locked(*env, "C:\\TEMP\\DSP.ORB.k.dat.TMP"), nullptr);
  EXPECT_EQ(Locked(*env, "C:\\temp\\DSP.ORB.k.dat.TMP"), nullptr);
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\DSP.ORB.k.dat.TMP"), "previous contents\r\n");

  auto lock = Locked(*env, "C:\\TEMP\\DSP.Root.FileLoc.TMP");
  ASSERT_NE(lock, nullptr);
  ASSERT_TRUE(lock->Write("Temporary path=C:\\TEMP\r\n"));
  EXPECT_EQ(root.ReadFile("C:\\TEMP\\DSP.Root.FileLoc.TMP"), "Temporary path=C:\\TEMP\r\n");
  EXPECT_EQ(Locked(*env, "C:\\TEMP\\DSP.Root.FileLoc.TMP"), nullptr);
  lock->Release();
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.Root.FileLoc.TMP"));
  // Only the lock file itself is left in the folder, never a helper name.
  lock = Locked(*env, "C:\\TEMP\\DSP.Root.FileLoc.TMP");
  ASSERT_NE(lock, nullptr);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root.Native("C:\\TEMP"))) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DSP.ORB.k.dat.TMP", "DSP.Root.FileLoc.TMP"}));
  // Dropped without Release: the file stays and nobody holds it.
  lock.reset();
  EXPECT_TRUE(root.Exists("C:\\TEMP\\DSP.Root.FileLoc.TMP"));
  EXPECT_EQ(env->ProbeLock("C:\\TEMP\\DSP.Root.FileLoc.TMP"), LockState::kUnheld);
}

// A process that locks often keeps the file of an unwritten lock for its
// next one: the lock is still exclusive and held, and a note written into
// a lock never reaches the next. A kept file goes when its process exits,
// and one left by a killed process goes when the next process keeps one.
TEST_F(TryLockTest, KeepsTheFileOfAnUnwrittenLockForTheNext) {
  root.MakeFolder("C:\\TEMP");
  const std::string path = "C:\\TEMP\\DSP.ORB.k.dat.TMP";
  auto spares = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root.Native("C:\\TEMP"))) {
      const std::string name = e.path().filename();
      if (name.starts_with(".carob-spare.")) names.push_back(name);
    }
    return names;
  };
  // A kept file has a second name, its private one, while a lock holds it.
  auto links = [&](const std::string& p) {
    struct stat st {};
    return ::stat(root.Native(p).c_str(), &st) == 0 ? st.st_nlink : 0;
  };
  // Locks a few times over, on an Env of the caller's, and says how many of
  // those locks were made of a kept file.
  auto cycle = [&](Env& on, int times) {
    int kept = 0;
    for (int i = 0; i < times; ++i) {
      auto lock = Locked(on, path);
      if (!lock) return -1;
      kept += links(path) == 2 ? 1 : 0;
      lock->Release();
      if (root.Exists(path)) return -2;
    }
    return kept;
  };
  // Children first (a child of a process that keeps a file shares its hold):
  // one exits as programs do, one as if killed.
  for (bool killed : {false, true}) {
    pid_t child = ::fork();
    if (child == 0) {
      auto child_env = MakeTestEnv(root);
      const int made = cycle(*child_env, 8);
      if (killed) ::_exit(made == 4 ? 0 : 1);
      std::exit(made == 4 ? 0 : 1);
    }
    ASSERT_EQ(WaitExit(child), 0) << (killed ? "killed" : "exiting") << " child";
    EXPECT_EQ(spares().size(), killed ? 1u : 0u) << (killed ? "killed" : "exiting") << " child";
  }
  // Four locks make four files; the fourth serves every lock after it.
  EXPECT_EQ(cycle(*env, 8), 4);
  const std::string ours = ".carob-spare." + std::to_string(::getpid()) + ".";
  ASSERT_EQ(spares().size(), 1u) << "the killed child's file is left";
  EXPECT_TRUE(spares()[0].starts_with(ours)) << spares()[0];

  auto lock = Locked(*env, path);
  ASSERT_NE(lock, nullptr);
  struct stat held {}, spare {};
  ASSERT_EQ(::stat(root.Native(path).c_str(), &held), 0);
  ASSERT_EQ(::stat(root.Native("C:\\TEMP\\" + spares()[0]).c_str(), &spare), 0);
  EXPECT_TRUE(posix::SameFile(held, spare));
  EXPECT_EQ(Locked(*env, path), nullptr);
  pid_t prober = ::fork();
  if (prober == 0) {
    auto child_env = MakeTestEnv(root);
    ::_exit(child_env->ProbeLock(path) == LockState::kHeld && !child_env->BreakLock(path) ? 0 : 1);
  }
  EXPECT_EQ(WaitExit(prober), 0) << "another process does not see the kept file held";
  ASSERT_TRUE(lock->Write("a claim's note\r\n"));
  lock->Release();
  EXPECT_TRUE(spares().empty()) << "a written file was kept";
  lock = Locked(*env, path);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(links(path), 1u);
  EXPECT_EQ(root.ReadFile(path), "");
  lock->Release();
}

TEST_F(ProbeLockTest, LivingHolderThenKilledHolder) {
  root.MakeFolder("C:\\TEMP");
  const std::string path = "C:\\TEMP\\DSP.Bot.k.dat.TMP";
  EXPECT_EQ(env->ProbeLock(path), LockState::kAbsent);
  EXPECT_FALSE(env->BreakLock(path));

  // A lock of ours is held while the holder is forked: each process moves
  // the mark of life (the time) of every swap file it holds.
  const std::string ours = "C:\\TEMP\\DSP.Bot.ours.TMP";
  auto marked_long_ago = [&](const std::string& p) {
    const timespec old[2] = {{1000, 0}, {1000, 0}};
    return ::utimensat(AT_FDCWD, root.Native(p).c_str(), old, 0) == 0;
  };
  auto moved = [&](const std::string& p) {
    struct stat st {};
    return ::stat(root.Native(p).c_str(), &st) == 0 && st.st_mtim.tv_sec > 1000;
  };
  auto held = Locked(*env, ours);
  ASSERT_NE(held, nullptr);
  // The marking thread has run before the fork: a child forked while a
  // thread is being made may inherit the sanitizers' locks held by it.
  ASSERT_TRUE(marked_long_ago(ours));
  ASSERT_TRUE(WaitUntil([&] { return moved(ours); }, 10)) << "our mark stands still";
  const std::string holding = "C:\\Marks\\holding";
  pid_t holder = ::fork();
  if (holder == 0) {
    auto child_env = MakeTestEnv(root);
    auto lock = Locked(*child_env, path);
    if (!lock) ::_exit(1);
    root.WriteFile(holding, "");
    for (;;) ::pause();
  }
  ASSERT_TRUE(WaitUntil([&] { return root.Exists(holding); }));
  ASSERT_TRUE(marked_long_ago(ours) && marked_long_ago(path));
  EXPECT_TRUE(WaitUntil([&] { return moved(ours) && moved(path); }, 10)) << "a mark stands still";
  EXPECT_EQ(env->ProbeLock(path), LockState::kHeld);
  EXPECT_EQ(env->ProbeLock("C:\\Temp\\dsp.bot.K.DAT.tmp"), LockState::kHeld);
  EXPECT_FALSE(env->BreakLock(path));  // a living holder's lock stays
  EXPECT_TRUE(root.Exists(path));
  EXPECT_EQ(Locked(*env, path), nullptr);
  std::unique_ptr<LockFile> adopted;
  EXPECT_EQ(env->AdoptLock(path, &adopted).error(), EWOULDBLOCK);
  EXPECT_EQ(adopted, nullptr);

  ::kill(holder, SIGKILL);
  WaitExit(holder);
  EXPECT_TRUE(root.Exists(path));
  EXPECT_EQ(env->ProbeLock(path), LockState::kUnheld);
  // The dead holder's file, adopted: held by us, so neither broken nor
  // adopted twice, and left in place when we let it go.
  ASSERT_TRUE(env->AdoptLock(path, &adopted));
  EXPECT_EQ(env->ProbeLock(path), LockState::kHeld);
  EXPECT_EQ(env->BreakLock(path).error(), EWOULDBLOCK);
  std::unique_ptr<LockFile> twice;
  EXPECT_EQ(env->AdoptLock(path, &twice).error(), EWOULDBLOCK);
  EXPECT_FALSE(adopted->Write("x"));
  adopted->Release();
  EXPECT_TRUE(root.Exists(path));
  EXPECT_EQ(root.ReadFile(path), "");
  EXPECT_EQ(env->ProbeLock(path), LockState::kUnheld);
  EXPECT_TRUE(env->BreakLock(path));
  EXPECT_EQ(env->ProbeLock(path), LockState::kAbsent);
  auto mine = Locked(*env, path);
  EXPECT_NE(mine, nullptr);
}

TEST_F(ProbeLockTest, HoldsWithinOneProcessAndReleaseSparesAnotherLock) {
  root.MakeFolder("C:\\TEMP");
  const std::string path = "C:\\TEMP\\DSP.Root.STATUS.TMP";
  auto first = Locked(*env, path);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(env->ProbeLock(path), LockState::kHeld);
  EXPECT_FALSE(env->BreakLock(path));

  // Someone removed the file behind the holder's back and locked anew: the
  // first holder's Release must not delete the new lock.
  ASSERT_TRUE(fs::remove(root.Native(path)));
  auto second = Locked(*env, path);
  ASSERT_NE(second, nullptr);
  first->Release();
  EXPECT_TRUE(root.Exists(path));
  EXPECT_EQ(env->ProbeLock(path), LockState::kHeld);
  second->Release();
  EXPECT_EQ(env->ProbeLock(path), LockState::kAbsent);
  second->Release();  // twice is harmless
  EXPECT_FALSE(second->Write("x"));
}

// The kind of a folder that cannot be looked at (a share's client failing
// for a moment), told from the mount table by the folder's name.
TEST(MountTableTest, TellsAShareByTheLongestMountPointThatHoldsTheFolder) {
  const std::string table =
      "21 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "40 21 0:50 / /mnt/share rw,nosuid shared:9 - fuse.smbnetfs smbnetfs rw\n"
      "41 40 0:51 / /mnt/share/local rw - tmpfs tmpfs rw\n"
      "42 21 0:52 / /mnt/two\\040words rw - cifs //host/x rw\n"
      "43 21 0:53 / /srv rw - nfs4 host:/srv rw\n"
      "44 21 0:54 / /srv rw - smb3 //host/srv rw\n"
      "45 21 0:55 / /broken rw\n";
  const struct {
    const char* folder;
    std::optional<bool> stays_local;
  } cases[] = {
      {"/mnt/share", true},        {"/mnt/share/temp/x", true},
      {"/mnt/shared", false},      {"/mnt/share/local/t", false},
      {"/mnt/two words/t", true},  {"/srv/q", true},  // mounted over the nfs4 one
      {"/broken/t", false},        {"/", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(posix::LocksStayLocalByMounts(table, c.folder), c.stays_local) << c.folder;
  }
  EXPECT_EQ(posix::LocksStayLocalByMounts("", "/tmp"), std::nullopt);
}

}  // namespace
}  // namespace carob::platform
