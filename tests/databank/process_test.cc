// The databank between real processes: several writers at once, writers
// killed at any moment, readers during rewrites, a temporary folder on
// another file system, and locks held by living or dead processes.
#include <stdlib.h>

#include <filesystem>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "tests/databank/databank_fixture.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

const std::string kWriter = kBinDir + "/databank_test_writer";
constexpr const char* kBank = "C:\\data\\k.dat";

// The same values the writer makes.
std::string WriterValue(int id, int round, int length) {
  std::string v = "w" + std::to_string(id) + "r" + std::to_string(round) + "_";
  while (static_cast<int>(v.size()) < length) v += static_cast<char>('a' + (round + v.size()) % 26);
  return v;
}

// A databank file taken apart; problems with its form are collected.
struct Parsed {
  std::map<std::string, std::string> values;  // key -> value, trimmed
  std::vector<std::string> problems;
};

Parsed ParseBank(const std::string& bytes) {
  Parsed p;
  if (bytes == "<missing>") {
    p.problems.push_back("the databank is missing");
    return p;
  }
  if (!bytes.empty() && (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)) {
    p.problems.push_back("the last line has no CR LF");
  }
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(pos, end - pos);
    pos = end + 2;
    size_t eq = line.find('=');
    std::string key = databank::KeyPart(line), value = databank::ValuePart(line);
    if (eq == std::string::npos || key.empty() || value.empty() ||
        line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) {
      p.problems.push_back("malformed line [" + line + "]");
      continue;
    }
    if (!p.values.emplace(key, value).second) p.problems.push_back("key twice: " + key);
  }
  return p;
}

std::string StableLines() {
  std::string s = "sentinel=present\r\n";
  for (int i = 0; i < 30; ++i) s += "keep_" + std::to_string(i) + "=value " + std::to_string(i) + "\r\n";
  return s;
}

void ExpectStableLines(const Parsed& p) {
  EXPECT_EQ(p.values.count("sentinel") ? p.values.at("sentinel") : "", "present");
  for (int i = 0; i < 30; ++i) {
    const std::string k = "keep_" + std::to_string(i);
    EXPECT_EQ(p.values.count(k) ? p.values.at(k) : "<lost>", "value " + std::to_string(i)) << k;
  }
}

// A world whose shared temporary folder lies on the same file system as the
// databanks, or on /dev/shm.
class ProcessTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      char tmpl[] = "/dev/shm/carob-db-XXXXXX";
      if (!::mkdtemp(tmpl)) GTEST_SKIP() << "no /dev/shm";
      shm_ = tmpl;
      temp_dir_ = "Z:" + shm_;
      for (char& c : temp_dir_) if (c == '/') c = '\\';
      temp_native_ = shm_;
    } else {
      temp_dir_ = "C:\\TEMP";
      root.MakeFolder(temp_dir_);
      temp_native_ = root.Native(temp_dir_);
    }
    root.WriteFile("C:\\FileLoc", "Temporary path=" + temp_dir_ + "\r\n");
    root.MakeFolder("C:\\ORB\\CAROB");
    root.WriteFile(kBank, StableLines());
  }
  void TearDown() override {
    if (!shm_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(shm_, ec);
    }
  }
  std::vector<std::string> SwapFilesLeft() {
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(temp_native_)) {
      if (e.path().filename().string().rfind("DSP.", 0) == 0) left.push_back(e.path().string());
    }
    return left;
  }
  std::unique_ptr<Process> Writer(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kWriter, root.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto c = std::make_unique<Process>(argv);
    EXPECT_TRUE(c->started());
    return c;
  }

  TempRoot root;
  std::string shm_, temp_dir_, temp_native_;
};

TEST_P(ProcessTest, SeveralWritersLoseNothingAndReadersAlwaysSeeAWholeDatabank) {
  constexpr int kWriters = 4, kRounds = 40;
  std::vector<std::unique_ptr<Process>> writers;
  for (int id = 0; id < kWriters; ++id) {
    writers.push_back(Writer({"mix", kBank, std::to_string(id), std::to_string(kRounds)}));
  }
  // Read while they write: the databank is never missing, never loses its
  // first line and never holds a broken line.
  int reads = 0;
  std::vector<std::string> seen_problems;
  for (bool done = false; !done && seen_problems.size() < 5;) {
    done = true;
    for (auto& w : writers) done = !w->Running() && done;
    std::string bytes = root.ReadFile(kBank);
    ++reads;
    for (const auto& pr : ParseBank(bytes).problems) seen_problems.push_back(pr);
    if (bytes.rfind("sentinel=present\r\n", 0) != 0) seen_problems.push_back("sentinel missing");
  }
  for (auto& w : writers) {
    EXPECT_EQ(w->ReadLine(), "done");
    EXPECT_EQ(w->Wait(), 0);
  }
  EXPECT_TRUE(seen_problems.empty()) << (seen_problems.empty() ? "" : seen_problems.front());
  EXPECT_GT(reads, 10);

  Parsed p = ParseBank(root.ReadFile(kBank));
  EXPECT_TRUE(p.problems.empty()) << (p.problems.empty() ? "" : p.problems.front());
  ExpectStableLines(p);
  for (int id = 0; id < kWriters; ++id) {
    const std::string me = "w" + std::to_string(id);
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = me + "_" + std::to_string(i);
      EXPECT_EQ(p.values.count(k) ? p.values.at(k) : "<lost>", "v" + std::to_string(i)) << k;
    }
    const int last = kRounds - 1;
    EXPECT_EQ(p.values[me + "_fix"], WriterValue(id, last, 3 + (last * 7) % 15));
    EXPECT_EQ(p.values[me + "_tmp"], "t39");
  }
  EXPECT_EQ(p.values.size(), 31u + kWriters * (kRounds + 2));
  EXPECT_TRUE(SwapFilesLeft().empty());
}

TEST_P(ProcessTest, WritersCreatingTheSameNewDatabankLoseNothing) {
  constexpr int kWriters = 4, kRounds = 12;
  const std::string fresh = "C:\\data\\fresh.dat";
  std::vector<std::unique_ptr<Process>> writers;
  for (int id = 0; id < kWriters; ++id) {
    writers.push_back(Writer({"mix", fresh, std::to_string(id), std::to_string(kRounds)}));
  }
  for (auto& w : writers) {
    EXPECT_EQ(w->ReadLine(), "done");
    EXPECT_EQ(w->Wait(), 0);
  }
  Parsed p = ParseBank(root.ReadFile(fresh));
  EXPECT_TRUE(p.problems.empty()) << (p.problems.empty() ? "" : p.problems.front());
  for (int id = 0; id < kWriters; ++id) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = "w" + std::to_string(id) + "_" + std::to_string(i);
      EXPECT_EQ(p.values.count(k) ? p.values.at(k) : "<lost>", "v" + std::to_string(i)) << k;
    }
  }
  EXPECT_EQ(p.values.size(), static_cast<size_t>(kWriters * (kRounds + 2)));
  EXPECT_TRUE(SwapFilesLeft().empty());
}

TEST_P(ProcessTest, WriterKilledAtAnyMomentLosesNoOtherEntry) {
  auto env = MakeTestEnv(root, MakeManualClock());
  databank::Databank db(*env);
  std::mt19937 random(20261207);
  int locks_left = 0;
  for (int round = 0; round < 12; ++round) {
    auto churn = Writer({"churn", kBank});
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + random() % 40));
    churn->Kill();
    churn->Wait();

    Parsed p = ParseBank(root.ReadFile(kBank));
    EXPECT_TRUE(p.problems.empty()) << "round " << round << ": "
                                     << (p.problems.empty() ? "" : p.problems.front());
    ExpectStableLines(p);
    for (int j = 0; j < round; ++j) {
      const std::string k = "after_" + std::to_string(j);
      EXPECT_EQ(p.values.count(k) ? p.values.at(k) : "<lost>", "x") << k;
    }
    if (!SwapFilesLeft().empty()) {
      ++locks_left;
      // The dead writer's lock is not held by anyone.
      EXPECT_EQ(env->ProbeLock(SwapFilesLeft().size() ? env->ToWindows(SwapFilesLeft()[0]) : ""),
                platform::LockState::kUnheld);
    }
    // The next writer appends at once under a lock left behind and leaves
    // it; a removal (on a manual clock: its 7-second wait passes at once)
    // then breaks it, so the next churn starts unhindered.
    const std::vector<std::string> left = SwapFilesLeft();
    EXPECT_TRUE(db.Write(kBank, "after_" + std::to_string(round), "x").ok());
    EXPECT_EQ(SwapFilesLeft(), left);
    EXPECT_TRUE(db.Remove(kBank, "no such key").ok());
    EXPECT_TRUE(SwapFilesLeft().empty());
  }
  Parsed p = ParseBank(root.ReadFile(kBank));
  EXPECT_TRUE(p.problems.empty());
  EXPECT_EQ(p.values.count("after_11"), 1u);
  RecordProperty("locks_left_by_killed_writers", locks_left);
}

INSTANTIATE_TEST_SUITE_P(TempFolder, ProcessTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OnDevShm" : "BesideTheBanks"; });

// -- locks held by other processes

class LockHolderTest : public ::testing::Test {
 protected:
  LockHolderTest() {
    root.WriteFile("C:\\FileLoc", "Temporary path=C:\\TEMP\r\n");
    root.MakeFolder("C:\\TEMP");
    root.WriteFile(kBank, "k=abc\r\nother=1\r\n");
  }
  // Leaves the swap file as a writer killed while holding it leaves it.
  void LeaveKilledHolder() {
    Process holder({kWriter, root.path(), "holdforever", swap});
    ASSERT_EQ(holder.ReadLine(), "locked");
    holder.Kill();
    holder.Wait();
  }
  int Count(const std::vector<std::string>& log, const std::string& part) {
    int n = 0;
    for (const auto& l : log) n += l.find(part) != std::string::npos;
    return n;
  }
  TempRoot root;
  std::shared_ptr<platform::ManualClock> manual = MakeManualClock();
  const std::string swap = "C:\\TEMP\\DSP.data.k.dat.TMP";
};

#ifndef _WIN32  // the holder is let go with a signal
// A living holder, or an append that took over a dead holder's lock, is
// waited for by every kind of write: nothing is broken under it.
TEST_F(LockHolderTest, LivingHoldersLockIsNeverBrokenAndTimeoutLinesStayRare) {
  struct Case {
    const char* mode;  // how the other process holds the swap file
    std::string key, value, after;
    double min_wait;   // seconds of the engine's clock
    int waits_again;   // waits begun anew, each with its own first "Waiting..." line
  };
  const std::vector<Case> cases = {
      {"hold", "k", "a longer value", "other=1\r\nk=a longer value\r\n", 30, 0},
      {"hold", "new", "x", "k=abc\r\nother=1\r\nnew=x\r\n", 30, 0},
      {"hold", "k", "xy", "k=xy \r\nother=1\r\n", 30, 0},
      // Then unheld again: the scan for the key adopts the file, finds that
      // the value does not fit, and the rewrite's own wait breaks the file
      // 7 seconds later.
      {"adopt", "k", "a longer value", "other=1\r\nk=a longer value\r\n", 37, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.key);
    manual = MakeManualClock();  // each row's waits start at the same time of day
    std::filesystem::remove(root.Native(kLog));
    root.WriteFile(kBank, "k=abc\r\nother=1\r\n");
    if (std::string(c.mode) == "adopt") {
      ASSERT_NO_FATAL_FAILURE(LeaveKilledHolder());
    }
    Process holder({kWriter, root.path(), c.mode, swap});
    ASSERT_EQ(holder.ReadLine(), "locked");
    auto hook = std::make_shared<HookClock>(manual);
    auto env = MakeTestEnv(root, hook);
    databank::Databank db(*env);
    db.StartDatabankIOLog(false);
    const double start = manual->Now().seconds_since_midnight;
    bool signalled = false;
    hook->on_sleep = [&] {
      // Held for 30 seconds of the engine's clock, then let go.
      if (!signalled && manual->Now().seconds_since_midnight - start > 30) {
        signalled = true;
        ::kill(holder.pid(), SIGUSR1);
      }
    };
    EXPECT_TRUE(db.Write(kBank, c.key, c.value));
    const double waited = manual->Now().seconds_since_midnight - start;
    EXPECT_EQ(holder.ReadLine(), "intact");
    EXPECT_EQ(holder.ReadLine(), "released");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(root.ReadFile(kBank), c.after);
    EXPECT_FALSE(root.Exists(swap));

    auto log = LogTexts(root.ReadFile(kLog));
    const int timeouts = Count(log, "] TIMEOUT. File removed.");
    const int waits = Count(log, "] Waiting...");
    EXPECT_GE(waited, c.min_wait);
    // About once a second, never at every look.
    EXPECT_GE(timeouts, 20);
    EXPECT_LE(timeouts, static_cast<int>(waited - 7) + 1);
    EXPECT_GE(waits, 28);
    EXPECT_LE(waits, static_cast<int>(waited) + 1 + c.waits_again);
  }
}
#endif

#ifndef _WIN32
// Holders whose locks cannot be seen, as another computer's on a network
// share: every swap file that stands is kUnknown.
class HoldersUnseen : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::LockState ProbeLock(const std::string& path) override {
    const platform::LockState seen = EnvWrapper::ProbeLock(path);
    return seen == platform::LockState::kAbsent ? seen : platform::LockState::kUnknown;
  }
};

// An unseen holder is taken for dead only when its mark of life (the swap
// file's time, which a living holder moves on) stands still for 7 seconds:
// a slow holder that lives is waited for, with no TIMEOUT line, however long
// it holds; a killed one is broken after just over 7 seconds.
TEST_F(LockHolderTest, UnseenHolderIsBrokenOnlyWhenItsMarkOfLifeStandsStill) {
  const std::string timeout = "] TIMEOUT. File removed.";
  auto mark_of = [&] {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(root.Native(swap), ec);
    return ec ? std::filesystem::file_time_type::min() : t;
  };
  for (const bool alive : {true, false}) {
    SCOPED_TRACE(alive ? "slow holder" : "killed holder");
    manual = MakeManualClock();
    std::filesystem::remove(root.Native(kLog));
    std::unique_ptr<Process> holder;
    if (alive) {
      holder = std::make_unique<Process>(Launch{{kWriter, root.path(), "hold", swap}, {}});
      ASSERT_EQ(holder->ReadLine(), "locked");
    } else {
      ASSERT_NO_FATAL_FAILURE(LeaveKilledHolder());
    }
    auto hook = std::make_shared<HookClock>(manual);
    auto real = MakeTestEnv(root, hook);
    HoldersUnseen env(*real);
    databank::Databank db(env);
    db.StartDatabankIOLog(false);
    const double start = manual->Now().seconds_since_midnight;
    // The engine's clock runs far ahead of the holder's: at every 2 of its
    // seconds it waits for the living holder's mark to move, as it would
    // have in that time; after 12 the holder lets go.
    auto mark = mark_of();
    double next_look = start + 2;
    bool let_go = !alive, stuck = false, intact = false, released = false;
    hook->on_sleep = [&] {
      const double now = manual->Now().seconds_since_midnight;
      if (let_go || stuck || now < next_look) return;
      if (now - start > 12) {
        let_go = true;
        ::kill(holder->pid(), SIGUSR1);
        // The holder lets go in real time, which the engine's clock does
        // not wait for: hold the engine until it has.
        intact = holder->ReadLine() == "intact";
        released = holder->ReadLine() == "released";
        return;
      }
      next_look = now + 2;
      stuck = !WaitUntil([&] { return mark_of() != mark; }, 20, 10);
      mark = mark_of();
    };
    EXPECT_TRUE(db.Write(kBank, "k", "a longer value"));
    const double waited = manual->Now().seconds_since_midnight - start;
    EXPECT_FALSE(stuck) << "the living holder's mark did not move";
    EXPECT_EQ(root.ReadFile(kBank), "other=1\r\nk=a longer value\r\n");
    EXPECT_FALSE(root.Exists(swap));
    const int timeouts = Count(LogTexts(root.ReadFile(kLog)), timeout);
    if (alive) {
      EXPECT_TRUE(intact);
      EXPECT_TRUE(released);
      EXPECT_EQ(holder->Wait(), 0);
      EXPECT_GT(waited, 12.0);
      EXPECT_EQ(timeouts, 0);
    } else {
      EXPECT_GT(waited, 7.0);
      EXPECT_LT(waited, 8.1);
      EXPECT_EQ(timeouts, 1);
    }
    root.WriteFile(kBank, "k=abc\r\nother=1\r\n");
  }
}
#endif

// Notes, at every write of a databank's bytes, whether someone holds the
// swap file then.
class LockWatch : public platform::EnvWrapper {
 public:
  LockWatch(platform::Env& target, std::string swap) : EnvWrapper(target), swap_(std::move(swap)) {}
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    if (mode != platform::OpenMode::kRead) Note();
    return EnvWrapper::Open(path, mode, file);
  }
  platform::Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    Note();
    return EnvWrapper::ReplaceContents(path, bytes);
  }
  std::vector<platform::LockState> seen;

 private:
  void Note() { seen.push_back(ProbeLock(swap_)); }
  std::string swap_;
};

// A dead holder's lock stalls only the rewrite: an append and an in-place
// overwrite write at once beside it, under its liveness hold (so a rewrite
// cannot break it meanwhile), and leave it; the rewrite breaks it after
// just over 7 seconds.
TEST_F(LockHolderTest, DeadHoldersLockStallsOnlyTheRewrite) {
  struct Case {
    std::string key, value, after;
    bool waits;  // just over 7 seconds, then the lock is broken
  };
  const std::vector<Case> cases = {
      {"new", "x", "k=abc\r\nother=1\r\nnew=x\r\n", false},
      {"other", "2", "k=abc\r\nother=2\r\n", false},
      {"other", "22", "k=abc\r\nother=22\r\n", true},
      {"other", "", "k=abc\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.value);
    manual = MakeManualClock();
    std::filesystem::remove(root.Native(kLog));
    root.WriteFile(kBank, "k=abc\r\nother=1\r\n");
    ASSERT_NO_FATAL_FAILURE(LeaveKilledHolder());
    ASSERT_TRUE(root.Exists(swap));
    auto real = MakeTestEnv(root, manual);
    LockWatch env_watch(*real, swap);
    platform::Env* env = &env_watch;
    EXPECT_EQ(env->ProbeLock(swap), platform::LockState::kUnheld);
    databank::Databank db(*env);
    const double start = manual->Now().seconds_since_midnight;
    EXPECT_TRUE(db.Write(kBank, c.key, c.value).ok());
    EXPECT_FALSE(env_watch.seen.empty());
    for (platform::LockState held : env_watch.seen) EXPECT_EQ(held, platform::LockState::kHeld);
    const double waited = manual->Now().seconds_since_midnight - start;
    EXPECT_EQ(root.ReadFile(kBank), c.after);
    const std::vector<std::string> timeout = {"!!! Swap conflict [" + swap +
                                              "] TIMEOUT. File removed."};
    if (c.waits) {
      EXPECT_GT(waited, 7.0);
      EXPECT_LT(waited, 7.2);
      EXPECT_EQ(LogTexts(root.ReadFile(kLog)), timeout);
      EXPECT_FALSE(root.Exists(swap));
    } else {
      EXPECT_EQ(waited, 0);
      EXPECT_FALSE(root.Exists(kLog));
      // Left where it was, and no longer held by us.
      EXPECT_EQ(env->ProbeLock(swap), platform::LockState::kUnheld);
      std::filesystem::remove(root.Native(swap));
    }
  }
}

// orb's writes after a killed holder, on the real clock: a new key and an
// in-place overwrite finish at once, and the leftover lock stays.
TEST_F(LockHolderTest, OrbAppendsAndOverwritesAtOnceAfterAKilledHolder) {
  ASSERT_NO_FATAL_FAILURE(LeaveKilledHolder());
  struct Case {
    std::string key, value, after;
  };
  const std::vector<Case> cases = {
      {"new", "x", "k=abc\r\nother=1\r\nnew=x\r\n"},
      {"k", "xyz", "k=xyz\r\nother=1\r\nnew=x\r\n"},
  };
  for (const auto& [key, value, after] : cases) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> args = {"set", kBank};
    args.insert(args.end(), {key, value});
    Ran r = RunOrb(root, std::move(args));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_LT(took.count(), 3.0) << key;
    EXPECT_EQ(root.ReadFile(kBank), after);
    EXPECT_TRUE(root.Exists(swap));
  }
}

// -- swap files that cannot be made

// orb's write, on the real clock, when the swap file cannot be made: it fails
// within moments, says why, logs what stands in the way, and changes nothing.
class UnmakeableSwapTest : public LockHolderTest {
 protected:
  // Runs `orb set` of a value that needs the standard method's swap file;
  // `wrap` puts a command line in front of it. Returns its outcome.
  Ran SetBlocked(std::vector<std::string> wrap = {}) {
    wrap.insert(wrap.end(), {orb, "set", kBank, "k", "a value too long for its line"});
    const auto start = std::chrono::steady_clock::now();
    Ran r = testing::Run(InRoot(root, std::move(wrap)));
    took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  }
  void ExpectRefused(const Ran& r, const std::string& cause, const std::string& what) {
    EXPECT_NE(r.code, 0) << what;
    EXPECT_NE(r.err.find(cause), std::string::npos) << what << ": " << r.err;
    EXPECT_LT(took, 2.0) << what;
    EXPECT_EQ(root.ReadFile(kBank), "k=abc\r\nother=1\r\n") << what;
  }
  const std::string orb = Install(root, "orb", "C:\\ORB\\TOOLS");
  double took = 0;
};

TEST_F(UnmakeableSwapTest, SomethingElseAtTheSwapNameFailsTheWriteAtOnce) {
  const std::string at = root.Native(swap);
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"folder", [&] { std::filesystem::create_directory(at); }, "a folder stands at its name"},
#ifndef _WIN32  // no symbolic links can be made under the emulation layer
      {"symlink to the databank",
       [&] { std::filesystem::create_symlink(root.Native(kBank), at); },
       "a symbolic link stands at its name"},
      {"dangling symlink", [&] { std::filesystem::create_symlink(at + ".nowhere", at); },
       "a symbolic link stands at its name"},
#endif
  };
  for (const Case& c : cases) {
    c.make();
    ExpectRefused(SetBlocked(), c.cause, c.what);
    EXPECT_NE(root.ReadFile("C:\\ORB\\TOOLS\\Database_IO.log")
                  .find("!!! Swap failure [" + swap + "] " + c.cause),
              std::string::npos)
        << c.what;
    EXPECT_FALSE(std::filesystem::exists(at + ".nowhere")) << c.what;
    std::filesystem::remove(at);
  }
}

TEST_F(UnmakeableSwapTest, ATemporaryFolderThatCannotBeWrittenFailsTheWriteAtOnce) {
  const std::string temp = root.Native("C:\\TEMP");
  std::vector<std::string> wrap;
  if (::geteuid() != 0) {
    std::filesystem::permissions(temp, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_exec);
  } else {
    // Root writes whatever the permissions say: a read-only bind mount of
    // the folder, in a mount namespace of the write's own.
    Ran probe = testing::Run({{"unshare", "-m", "true"}, {}});
    if (probe.code != 0) GTEST_SKIP() << "root without a mount namespace of its own: " << probe.err;
    wrap = {"unshare", "-m", "sh", "-c",
            "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$@\"", temp};
  }
  Ran r = SetBlocked(wrap);
  std::filesystem::permissions(temp, std::filesystem::perms::owner_all);
  ExpectRefused(r, ::geteuid() != 0 ? "permission denied" : "read-only file system", "unwritable");
  EXPECT_EQ(std::filesystem::is_empty(temp), true);
}

}  // namespace
}  // namespace carob::testing
