// The family on a network share: a Samba server on the loopback interface,
// mounted twice through FUSE by tests/share/share_rig.sh, each mount standing
// for one computer. Databanks, the temporary folder with its swap files, the
// STATUS databanks and the dispatchers' input files lie on the share; each
// computer reaches them through its own mount. Skipped, with the rig's
// reason, where FUSE or the SMB port is not available.
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "databank/databank.h"
#include "platform/posix/paths.h"
#include "tests/support/disk_fault.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

const std::string kRig = std::string(CAROB_SOURCE_DIR) + "/tests/share/share_rig.sh";
const std::string kWriter = kBinDir + "/databank_test_writer";

std::string Windows(const std::string& native) {
  std::string w = "Z:" + native;
  for (char& c : w) if (c == '/') c = '\\';
  return w;
}

// The rig, up for the whole test program.
struct Rig {
  std::string dir, server;  // native: the rig's folder, the folder the server shares
  std::vector<std::string> mounts;  // native: each computer's view of the share
  std::string skipped;              // why there is no rig
};
Rig* rig = nullptr;

class ShareEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    rig = new Rig;
    std::string tmpl = (std::filesystem::temp_directory_path() / "carob-share-rig-XXXXXX").string();
    rig->dir = ::mkdtemp(tmpl.data()) ? tmpl : "";
    Ran up = Run({{"bash", kRig, "up", rig->dir}, {}});
    if (up.code != 0) {
      rig->skipped = up.err.empty() ? "the share rig did not come up" : up.err;
      return;
    }
    std::istringstream lines(up.out);
    for (std::string word, path; lines >> word >> path;) {
      if (word == "server") rig->server = path;
      if (word == "mount") rig->mounts.push_back(path);
    }
    if (rig->server.empty() || rig->mounts.size() != 2) rig->skipped = "unexpected rig output: " + up.out;
  }
  void TearDown() override {
    if (!rig) return;
    if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) {
      // What the share's server and clients said, for a failure that lies with them.
      for (const char* log : {"smbnetfs1.log", "smbnetfs2.log", "smbd.log"}) {
        const std::string text = ReadNative(rig->dir + "/" + log);
        std::cerr << "--- the end of " << log << "\n"
                  << text.substr(text.size() - std::min<size_t>(text.size(), 3000)) << "\n";
      }
    }
    (void)Run({{"bash", kRig, "down", rig->dir}, {}});
    std::error_code ec;
    std::filesystem::remove_all(rig->dir, ec);
    delete rig;
    rig = nullptr;
  }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ShareEnvironment);

// One computer: its own ORB root with orb and carob installed, its temporary
// folder and STATUS databank on the share through its own mount.
struct ShareComputer : Computer {
  ShareComputer(int mount, const std::string& id) : share(Windows(rig->mounts[mount])), id(id) {
    root.WriteFile("C:\\FileLoc", "Temporary path=" + share + "\\temp\r\nSTATUS=" + share + "\\" +
                                      id + "\\STATUS\r\n");
    std::filesystem::create_directories(rig->server + "/temp");
    std::filesystem::create_directories(rig->server + "/" + id);
    std::ofstream(rig->server + "/" + id + "/STATUS", std::ios::binary) << "Pulse=50\r\n";
  }
  std::optional<std::string> ShareStatus(const std::string& key) const {
    return BankValue(ReadNative(rig->server + "/" + id + "/STATUS"), key);
  }
  std::unique_ptr<platform::Env> ToolEnv() const {
    return MakeTestEnv(root, nullptr, "C:\\ORB\\TOOLS", "orb");
  }
  const std::string share;  // Windows-style path of the share through this computer's mount
  const std::string id;     // its Local ID, and the share's folder of its STATUS
};

// The names in a folder of the server's side, dot files included.
std::vector<std::string> Listing(const std::string& native) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(native, ec)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

std::string ServerFile(const std::string& name) { return ReadNative(rig->server + "/" + name); }

// Empties the share.
void ClearShare() {
  for (const auto& e : std::filesystem::directory_iterator(rig->server)) {
    std::filesystem::remove_all(e.path());
  }
}

class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rig->skipped.empty()) GTEST_SKIP() << rig->skipped;
    ClearShare();
  }
};

// A lock that is no lock: every write runs as if no one else were there.
class WithoutLocks : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::Status TryLock(const std::string&, std::unique_ptr<platform::LockFile>* lock) override {
    struct Nothing : platform::LockFile {
      platform::Status Write(std::string_view) override { return platform::Status::Ok(); }
      platform::Status Sync() override { return platform::Status::Ok(); }
      void Release() override {}
    };
    *lock = std::make_unique<Nothing>();
    return platform::Status::Ok();
  }
};

// Seconds a rewrite of the databank takes.
double SecondsToRewrite(databank::Databank& db, const std::string& bank, int length) {
  const auto start = std::chrono::steady_clock::now();
  // Each value outgrows the last, so every write rewrites the databank.
  EXPECT_TRUE(db.Write(bank, "grows", std::string(static_cast<size_t>(length), 'x')).ok());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST_F(ShareTest, WritesAreQuickLockedAndLeaveNothingBehind) {
  ShareComputer a(0, "alpha");
  auto env = a.ToolEnv();
  EXPECT_FALSE(env->LocksSeenEverywhere(a.share + "\\temp"));
  // A folder that cannot be looked at is told by its mount.
  EXPECT_FALSE(env->LocksSeenEverywhere(a.share + "\\not\\yet"));
  EXPECT_TRUE(env->LocksSeenEverywhere("C:\\ORB"));
  const std::string bank = a.share + "\\k.dat";
  ASSERT_TRUE(std::ofstream(rig->server + "/k.dat") << "sentinel=present\r\n");

  databank::Databank locked(*env);
  WithoutLocks bare(*env);
  databank::Databank unlocked(bare);
  // Taken in turns, so that the machine's other work weighs on both alike.
  std::vector<double> locked_times, unlocked_times;
  for (int i = 1; i <= 21; ++i) {
    locked_times.push_back(SecondsToRewrite(locked, bank, 2 * i));
    unlocked_times.push_back(SecondsToRewrite(unlocked, bank, 2 * i + 1));
  }
  const double with_lock = Median(locked_times), without_lock = Median(unlocked_times);
  std::cout << "median rewrite on the share: " << with_lock * 1000 << " ms locked, "
            << without_lock * 1000 << " ms without the lock\n";
  EXPECT_LT(with_lock, 1.0);
  EXPECT_LT(with_lock, 3 * without_lock);

  EXPECT_EQ(BankValue(ServerFile("k.dat"), "sentinel"), "present");
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
  std::vector<std::string> names = Listing(rig->server);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "k.dat", "temp"}));
  // Appends and in-place overwrites take the same lock and leave nothing either.
  EXPECT_TRUE(locked.Write(bank, "added", "12345").ok());
  EXPECT_TRUE(locked.Write(bank, "added", "54321").ok());
  EXPECT_EQ(BankValue(ServerFile("k.dat"), "added"), "54321");
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
  // The client ignores a time set and answers from attributes it keeps:
  // marking a file modified there is one set, not a wait for a change that
  // never shows.
  EXPECT_TRUE(env->MarkModified(bank).ok());
}

// A client keeps a file's length for a moment; reads and appends through
// one mount still see what the other mount did just before.
TEST_F(ShareTest, ReadsAndAppendsSeeTheOtherMountsChangesAtOnce) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  auto env_a = a.ToolEnv(), env_b = b.ToolEnv();
  const std::string at_a = a.share + "\\q.POF", at_b = b.share + "\\q.POF";
  ASSERT_TRUE(env_a->AppendBytes(at_a, "abc"));
  ASSERT_TRUE(env_b->FindFile(at_b).has_value());  // the second mount notes 3 bytes
  ASSERT_TRUE(env_a->AppendBytes(at_a, "defgh"));
  std::string bytes;
  ASSERT_TRUE(env_b->ReadAll(at_b, bytes));
  EXPECT_EQ(bytes, "abcdefgh");
  ASSERT_TRUE(env_a->ReplaceContents(at_a, "xy"));
  ASSERT_TRUE(env_b->AppendBytes(at_b, "Z"));
  EXPECT_EQ(ServerFile("q.POF"), "xyZ");

  // What the second mount kept of a name is not taken for the truth: a
  // length the first changed, a lock it let go and a file it deleted are
  // seen at once, not up to a second late.
  std::optional<platform::FileInfo> info;
  ASSERT_TRUE(env_a->AppendBytes(at_a, "more"));
  ASSERT_TRUE(env_b->LookUp(at_b, info));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->size, 7);
  std::unique_ptr<platform::LockFile> held, taken;
  ASSERT_TRUE(env_a->TryLock(a.share + "\\L.TMP", &held));
  EXPECT_FALSE(env_b->TryLock(b.share + "\\L.TMP", &taken));  // seen held
  held->Release();
  EXPECT_TRUE(env_b->TryLock(b.share + "\\L.TMP", &taken));
  if (taken) taken->Release();
  ASSERT_TRUE(env_a->Delete(at_a));
  ASSERT_TRUE(env_b->LookUp(at_b, info));
  EXPECT_FALSE(info.has_value());
}

// The swap lock's exclusive create, raced from both mounts: exactly one wins.
TEST_F(ShareTest, ExactlyOneOfTwoMountsTakesTheLock) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  std::filesystem::create_directories(rig->server + "/temp");
  for (int round = 0; round < 15; ++round) {
    const std::string swap = "\\temp\\DSP.race." + std::to_string(round) + ".TMP";
    std::vector<std::unique_ptr<Process>> racers;
    for (ShareComputer* c : {&a, &b}) {
      racers.push_back(std::make_unique<Process>(
          Launch{{kWriter, c->root.path(), "hold", c->share + swap}, {}, false, 60}));
    }
    int winners = 0;
    for (auto& r : racers) winners += r->ReadLine() == "locked";  // both answer while held
    for (auto& r : racers) {
      r->Signal(SIGUSR1);
      r->Wait(30);
    }
    EXPECT_EQ(winners, 1) << "round " << round;
  }
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

// Writers waiting for a lock on the share look at its name often while its
// holder deletes it. A look that asks the server about the name itself
// opens the file there, and one look finding the file delete-pending under
// another's open failed, after which the share's client failed every call
// for seconds. Here one computer takes and releases a lock over and over
// while waiters on both computers look at it: every take and every release
// must go through, and the looks must see the lock, whatever its spelling.
TEST_F(ShareTest, LooksAtALockBeingDeletedNeverUpsetTheShare) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  const std::string lock = "\\temp\\DSP.busy.k.dat.TMP";
  std::atomic<bool> done{false};
  std::atomic<int> looks{0}, seen{0};
  std::vector<std::thread> waiters;
  for (ShareComputer* c : {&b, &b, &b, &a}) {
    waiters.emplace_back([&, c] {
      auto env = c->ToolEnv();
      // Spelt otherwise than the holder spells it: the share's names are case-blind.
      const std::string name = c->share + "\\temp\\dsp.BUSY.k.dat.tmp";
      while (!done) {
        const platform::LockState state = env->ProbeLock(name);
        ++looks;
        if (state != platform::LockState::kAbsent) ++seen;  // held, by whom cannot be seen here
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  auto env = a.ToolEnv();
  int rounds = 0, failed = 0;
  std::string first_failure;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (std::chrono::steady_clock::now() < until) {
    std::unique_ptr<platform::LockFile> held;
    const platform::Status made = env->TryLock(a.share + lock, &held);
    ++rounds;
    if (!made) {
      if (failed++ == 0) first_failure = made.message();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    held->Release();
  }
  done = true;
  for (auto& w : waiters) w.join();
  EXPECT_EQ(failed, 0) << "of " << rounds << " rounds; the first: " << first_failure;
  EXPECT_GE(rounds, 20);
  EXPECT_GT(looks, 100);
  EXPECT_GT(seen, 0);
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

// The share's server matches names letter case aside, as Windows does.
// Once a listing of a folder there has shown it, a name in that folder is
// placed as spelt, with no listing read for it; a local disk's folder is
// still matched in its listing.
TEST_F(ShareTest, AFolderWhoseServerMatchesAnySpellingIsNotListedForEachName) {
  TempRoot local;
  struct Case {
    std::string folder;  // native
    bool folds;
  };
  std::filesystem::create_directories(local.path() + "/here");
  std::filesystem::create_directories(rig->server + "/temp");
  for (const Case& k : {Case{rig->mounts[0] + "/temp", true}, Case{local.path() + "/here", false}}) {
    SCOPED_TRACE(k.folder);
    std::ofstream(k.folder + "/Known.TXT") << "x";
    platform::posix::PathMap paths(local.path() + "/orb");
    EXPECT_EQ(paths.FoldsCase(k.folder), std::nullopt);
    EXPECT_EQ(paths.MatchNoCase(k.folder, "known.txt"), "Known.TXT");
    EXPECT_EQ(paths.FoldsCase(k.folder), k.folds);
    const int64_t listed = paths.listings_read();
    auto placed = paths.PlaceForCreate(Windows(k.folder) + "\\New.TMP");
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->stored_name, "New.TMP");
    auto found = paths.FindExisting(Windows(k.folder) + "\\KNOWN.txt");
    ASSERT_TRUE(found);
    EXPECT_EQ(ReadNative(found->native), "x");
    // Found as spelt where the server matches the spelling, else as stored.
    EXPECT_EQ(found->stored_name, k.folds ? "KNOWN.txt" : "Known.TXT");
    if (k.folds) {
      EXPECT_EQ(paths.listings_read(), listed);
    }
  }
}

TEST_F(ShareTest, TwoWritersOnTwoMountsLoseNothing) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  ASSERT_TRUE(std::ofstream(rig->server + "/k.dat") << "sentinel=present\r\n");
  constexpr int kRounds = 12;
  std::vector<std::unique_ptr<Process>> writers;
  int id = 1;
  for (ShareComputer* c : {&a, &b}) {
    writers.push_back(std::make_unique<Process>(Launch{
        {kWriter, c->root.path(), "mix", c->share + "\\k.dat", std::to_string(id++),
         std::to_string(kRounds)},
        {},
        false,
        120}));
  }
  for (auto& w : writers) {
    EXPECT_EQ(w->Wait(150), 0) << w->Err();
    EXPECT_EQ(w->Out(), "done\n");
  }
  const std::string bytes = ServerFile("k.dat");
  EXPECT_EQ(BankValue(bytes, "sentinel"), "present");
  int lost = 0;
  for (int w = 1; w <= 2; ++w) {
    const std::string me = "w" + std::to_string(w);
    for (int i = 0; i < kRounds; ++i) {
      lost += BankValue(bytes, me + "_" + std::to_string(i)) != "v" + std::to_string(i);
    }
    lost += !BankValue(bytes, me + "_fix").has_value() + !BankValue(bytes, me + "_tmp").has_value();
  }
  // The writers tell each write that failed (a lock that could not be made).
  EXPECT_EQ(lost, 0) << bytes << writers[0]->Err() << writers[1]->Err();
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

TEST_F(ShareTest, QueueAppendedOnOneMountAndTakenOnTheOtherLosesAndDoublesNothing) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  constexpr int kEntries = 25;
  std::string script = "for i in $(seq 1 " + std::to_string(kEntries) + "); do \"$0\" post '" +
                       a.share + "\\q.POF' \"entry $i\" || exit 1; done";
  auto poster = a.Start({"sh", "-c", script, a.orb});
  std::vector<std::string> taken;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (taken.size() < kEntries && std::chrono::steady_clock::now() < deadline) {
    Ran r = b.RunOrb({"take", b.share + "\\q.POF"});
    ASSERT_EQ(r.code, 0) << r.err;
    if (!r.out.empty()) taken.push_back(r.out);
  }
  EXPECT_EQ(poster->Wait(60), 0) << poster->Err();
  std::vector<std::string> expected;
  for (int i = 1; i <= kEntries; ++i) expected.push_back("entry " + std::to_string(i) + "\r\n");
  EXPECT_EQ(taken, expected);  // every entry once, in the order posted
  EXPECT_EQ(ServerFile("q.POF"), "");
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

// A taker killed while it holds its claim of a queue on the share, after it
// handed the top entry on: the server's side cannot tell it ended, but the
// claim names it, and the next take on its computer finishes the claim and
// hands out the next entry, once.
TEST_F(ShareTest, AClaimLeftByAKilledTakerIsFinishedByTheNextTakeOnItsComputer) {
  ShareComputer a(0, "alpha");
  // A folder of its own each time: the client would go by what it saw of a
  // file of the same name before.
  static int round = 0;
  const std::string folder = "claimed" + std::to_string(++round);
  std::filesystem::create_directories(rig->server + "/" + folder);
  std::ofstream(rig->server + "/" + folder + "/q.POF", std::ios::binary)
      << RozEntry("first") + RozEntry("second") + RozEntry("third");
  const std::string queue = a.share + "\\" + folder + "\\q.POF";
  Process taker({kBinDir + "/messaging_test_taker", a.root.path(), queue});
  ASSERT_EQ(taker.ReadLine(), "claimed") << taker.Err();
  taker.Kill();
  for (const char* next : {"second\r\n", "third\r\n", ""}) {
    const Ran r = a.RunOrb({"take", queue});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, next) << r.err;
  }
  EXPECT_EQ(ServerFile(folder + "/q.POF"), "");
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

TEST_F(ShareTest, KilledHoldersLockIsBrokenAfterSevenSecondsAndALivingOnesNever) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  ASSERT_TRUE(std::ofstream(rig->server + "/k.dat") << "sentinel=present\r\n");
  const std::string swap = "\\temp\\DSP.share.k.dat.TMP";
  auto hold = [&](const char* mode) {
    auto p = std::make_unique<Process>(Launch{{kWriter, a.root.path(), mode, a.share + swap}, {}});
    EXPECT_EQ(p->ReadLine(), "locked");
    return p;
  };
  // A living holder on the first computer: the second waits well past 7 s.
  // It cannot see a holder on another computer; the holder's mark of life
  // tells it instead (the swap file's time, moved on about once a second),
  // and a slow living holder is waited for, never broken.
  const std::string io_log = "C:\\ORB\\TOOLS\\Database_IO.log";
  const std::string timeout = "TIMEOUT. File removed.";
  auto timeouts = [&](size_t from) {
    const std::string log = b.root.Exists(io_log) ? b.root.ReadFile(io_log) : "";
    size_t n = 0;
    for (size_t at = log.find(timeout, from); at != std::string::npos; at = log.find(timeout, at + 1)) ++n;
    return n;
  };
  auto living = hold("hold");
  auto waiter = b.Start({b.orb, "set", b.share + "\\k.dat", "k", "after the holder"});
  // The holder's own mark is the clock: ten moves of it after the waiter
  // started, the waiter has waited well past its 7 s of grace.
  const std::string on_server = rig->server + "/temp/DSP.share.k.dat.TMP";
  auto mark = [&] {
    std::error_code error;
    return std::filesystem::last_write_time(on_server, error);
  };
  int moves = 0;
  auto last = mark();
  ASSERT_TRUE(WaitUntil([&] {
    if (auto now = mark(); now != last) {
      ++moves;
      last = now;
    }
    return !waiter->Running() || moves >= 10;
  }, 120)) << waiter->Err();
  EXPECT_TRUE(waiter->Running()) << waiter->Err();
  EXPECT_TRUE(std::filesystem::exists(rig->server + "/temp/DSP.share.k.dat.TMP"));
  // (The holder cannot tell its own hold from another computer's there, so
  // it does not say "intact"; the file on the server says it instead.)
  living->Signal(SIGUSR1);
  EXPECT_EQ(living->ReadLine(), "released");
  EXPECT_EQ(living->Wait(30), 0);
  EXPECT_EQ(waiter->Wait(30), 0) << waiter->Err();
  EXPECT_EQ(BankValue(ServerFile("k.dat"), "k"), "after the holder");
  // Its mark of life kept moving: it was never taken for dead.
  EXPECT_EQ(timeouts(0), 0u) << b.root.ReadFile(io_log);

  // A killed holder: its lock goes after just over 7 s.
  const size_t logged = b.root.ReadFile(io_log).size();
  auto killed = hold("holdforever");
  killed->Kill();
  const auto start = std::chrono::steady_clock::now();
  Ran r = b.RunOrb({"set", b.share + "\\k.dat", "k", "after the dead"});
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_GT(waited, 7.0);
  EXPECT_LT(waited, 12.0);
  EXPECT_EQ(BankValue(ServerFile("k.dat"), "k"), "after the dead");
  EXPECT_GE(timeouts(logged), 1u) << b.root.ReadFile(io_log);
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

TEST_F(ShareTest, ConsoleOnOneComputerTalksToCarobOnTheOther) {
  ShareComputer a(0, "alpha"), b(1, "beta");
  const std::string in_a = "\\alpha.input.POF", in_b = "\\beta.input.POF";
  a.AddFileLoc("RORU PO Input", a.share + in_a);
  a.AddFileLoc("RORU PO Route beta", a.share + in_b);
  b.AddFileLoc("RORU PO Input", b.share + in_b);
  b.AddFileLoc("RORU PO Route alpha", b.share + in_a);
  b.root.WriteFile("C:\\ORB\\CAROB\\CAROB.cfg", "Output program=User\r\n");

  auto dispatch_a = a.Start({a.orb, "dispatch", "--local-id", "alpha"});
  auto dispatch_b = b.Start({b.orb, "dispatch", "--local-id", "beta"});
  auto carob = b.Start({b.carob});
  ASSERT_TRUE(WaitUntil([&] { return a.ShareStatus("RORU PO running") == "Yes"; }, 60));
  ASSERT_TRUE(WaitUntil([&] { return b.ShareStatus("CAROB running") == "Yes"; }, 60));
  ASSERT_TRUE(WaitUntil([&] { return b.FileLocValue("CAROB interface").has_value(); }, 60));

  // The answer goes round two dispatchers over the share, whose client may
  // stall for seconds under load: the console waits for it, not for a
  // moment of silence.
  auto talk = a.Start({a.orb, "talk", "CAROB", "--to", "beta", "--answers", "1", "--wait", "60"}, true);
  talk->Feed("the sea be deep\nHow deep is the sea?\n");
  talk->CloseInput();
  EXPECT_EQ(talk->Wait(120), 0) << talk->Err();
  EXPECT_EQ(talk->Out(), "the sea=deep\n") << talk->Err();
  EXPECT_EQ(BankValue(b.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sea"), "deep");

  for (Process* p : {carob.get(), dispatch_b.get(), dispatch_a.get()}) {
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(60), 0) << p->Err();
  }
  EXPECT_EQ(b.ShareStatus("CAROB running"), "No");
  EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
}

// Four computers, two on each mount, three of them sending at once to an
// application on the first, whose dispatcher is killed while it hands
// their entries on in batches and then started again: every entry arrives
// exactly once, each sender's in its order.
TEST_F(ShareTest, FourComputersSendingAtOnceLoseAndDoubleNothingThroughAKilledDispatcher) {
  constexpr int kEach = 40;
  std::vector<std::unique_ptr<ShareComputer>> pcs;
  for (int k = 1; k <= 4; ++k) {
    pcs.push_back(std::make_unique<ShareComputer>((k - 1) % 2, "pc" + std::to_string(k)));
  }
  ShareComputer& pc1 = *pcs[0];
  const std::string sink = "C:\\ORB\\SINK\\Sink.POF";
  pc1.root.MakeFolder("C:\\ORB\\SINK");
  pc1.AddFileLoc("Sink interface", sink);
  for (auto& pc : pcs) {
    std::ofstream(rig->server + "/" + pc->id + "/STATUS", std::ios::binary) << "Pulse=10\r\n";
    pc->AddFileLoc("RORU PO Input", pc->share + "\\" + pc->id + ".input.POF");
    if (pc.get() == &pc1) continue;
    pc->AddFileLoc("RORU PO Route pc1", pc->share + "\\pc1.input.POF");
    // Its console's entries, waiting when its dispatcher starts.
    std::string queue;
    for (int n = 0; n < kEach; ++n) {
      queue += RozEntry("SET SOURCE = " + pc->id + "\r\nSENDTO [pc1] Sink:" + pc->id + " " +
                        std::to_string(n));
    }
    std::ofstream(rig->server + "/" + pc->id + ".input.POF", std::ios::binary) << queue;
  }
  auto dispatch = [&](ShareComputer& pc) {
    return pc.Start({pc.orb, "dispatch", "--local-id", pc.id});
  };
  std::vector<std::unique_ptr<Process>> running;
  for (size_t k = 1; k < pcs.size(); ++k) running.push_back(dispatch(*pcs[k]));
  auto first = dispatch(pc1);
  // Killed once the entries flow, while more wait in its input.
  ASSERT_TRUE(WaitUntil([&] { return pc1.Entries(sink).size() >= kEach / 2; }, 120, 5));
  first->Signal(SIGKILL);
  first->Wait(30);
  EXPECT_LT(pc1.Entries(sink).size(), 3u * kEach) << "the kill came after the work";
  auto again = dispatch(pc1);
  auto inputs_empty = [&] {
    for (auto& pc : pcs) {
      if (!ReadNative(rig->server + "/" + pc->id + ".input.POF").empty()) return false;
    }
    return true;
  };
  ASSERT_TRUE(WaitUntil([&] { return pc1.Entries(sink).size() >= 3u * kEach && inputs_empty(); },
                        180, 20));
  running.push_back(std::move(again));
  for (auto& p : running) {
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(60), 0) << p->Err();
  }

  std::map<std::string, std::vector<int>> got;  // each sender's numbers, in arrival order
  for (const EntryLines& e : pc1.Entries(sink)) {
    ASSERT_EQ(e.size(), 2u) << "the sink holds:\n" << pc1.root.ReadFile(sink);
    const size_t space = e[1].find(' ');
    ASSERT_NE(space, std::string::npos) << e[1];
    EXPECT_EQ(e[0], "SET SOURCE = " + e[1].substr(0, space));
    got[e[1].substr(0, space)].push_back(std::stoi(e[1].substr(space + 1)));
  }
  std::vector<int> all(kEach);
  for (int n = 0; n < kEach; ++n) all[static_cast<size_t>(n)] = n;
  for (const char* sender : {"pc2", "pc3", "pc4"}) EXPECT_EQ(got[sender], all) << sender;
  EXPECT_EQ(got.size(), 3u);
}

// ---------------------------------------------------------------------------
// A client that fails for a moment while a command runs through it: it stops
// for a second (every call through the mount waits), or a few calls fail
// with an I/O error. A take, a dispatch and a Set lose nothing and hand
// nothing on twice, and on the sound share again the work gets done.

// The calls on the share that the fault library traces or fails.
const char kShareCalls[] = "read,pread,close,rename,fsync";

// The first mount's client process, stopped while this lives.
class PausedClient {
 public:
  PausedClient() : pid_(std::atoi(ReadNative(rig->dir + "/smbnetfs1.pid").c_str())) {
    if (pid_ > 0 && ::kill(pid_, SIGSTOP) != 0) pid_ = 0;
  }
  ~PausedClient() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
  }
  PausedClient(const PausedClient&) = delete;
  PausedClient& operator=(const PausedClient&) = delete;
  bool paused() const { return pid_ > 0; }

 private:
  int pid_;
};

// How and where the client fails: after `eighths` eighths of the calls on
// the share that a sound run makes.
struct Hitch {
  const char* name;
  bool pause;  // the client stops for a second; otherwise `times` calls fail
  int eighths;
  int times;
};
const Hitch kHitches[] = {
    {"the client stops at the start", true, 0, 0},
    {"the client stops a quarter in", true, 2, 0},
    {"the client stops half-way", true, 4, 0},
    {"the client stops three quarters in", true, 6, 0},
    {"three calls fail at the start", false, 0, 3},
    {"a call fails a quarter in", false, 2, 1},
    {"three calls fail half-way", false, 4, 3},
    {"a call fails three quarters in", false, 6, 1},
    {"one of the last calls fails", false, 8, 1},
};

// Runs `launch` to its end through `hitch`, placed among the `calls` calls
// on the share that a sound run makes; `met` tells whether the hitch met
// the command (a failing call failed, or the command was still running
// when the client stopped).
Ran RunThrough(Launch launch, const Hitch& hitch, int calls, bool& met) {
  TempRoot scratch;
  const std::string log = scratch.path() + "/fault.log";
  // A run makes a few calls more or fewer than the traced one (a holder's
  // mark of life moves about once a second, a sweep is due or not): the
  // latest hitch leaves a thirty-second of the calls to spare, so that it
  // still meets a run shorter than the traced one.
  const int at = std::min(calls - 1 - calls / 32, calls * hitch.eighths / 8);
  const DiskFault fault{kShareCalls, rig->mounts[0], hitch.pause ? 0 : at,
                        hitch.pause ? 0 : hitch.times};
  // A stop waits for the command at its call `at`, which goes on once the
  // client is stopped: the last calls of a short command would otherwise be
  // made before the stop.
  const std::string go = scratch.path() + "/go";
  const FaultHold hold = hitch.pause ? FaultHold{at, go} : FaultHold{};
  Process command(WithDiskFault(std::move(launch), fault, log, hold));
  if (hitch.pause) {
    // The sign that the command has come so far: the calls it made, traced.
    WaitUntil(
        [&] { return !command.Running() || std::ranges::count(ReadNative(log), '\n') >= at; },
        60, 1);
    PausedClient paused;
    met = paused.paused() && command.Running();
    std::ofstream(go, std::ios::binary).close();  // the held call goes on
    std::this_thread::sleep_for(std::chrono::seconds(1));  // how long the client stays stopped
  }
  Ran ran{command.Wait(120), command.Out(), command.Err()};
  if (!hitch.pause) met = std::ranges::count_if(ReadFaultLog(log), &FaultCall::failed) > 0;
  return ran;
}

// Where one run's files lie: a folder of the share no client has looked at
// yet, as the files are laid out on the server's side and a client keeps
// what it saw of a file for about a second.
struct Spot {
  std::string server;  // native, on the server's side
  std::string share;   // Windows-style, through the first computer's mount
  std::string Server(const std::string& name) const { return server + "/" + name; }
  std::string Share(const std::string& name) const { return share + "\\" + name; }
  std::string Read(const std::string& name) const { return ReadNative(Server(name)); }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Server(name), std::ios::binary) << bytes;
  }
};

// A command through each hitch, on a fresh share each time: `prepare` lays
// the files out and gives the first computer's command; `check` looks at
// what it left and finishes the work on the sound share.
void ThroughEachHitch(const std::function<Launch(ShareComputer&, const Spot&)>& prepare,
                      const std::function<void(ShareComputer&, const Spot&, const Ran&,
                                               const Hitch&)>& check) {
  int runs = 0;
  auto fresh = [&](ShareComputer& a) {
    const std::string folder = "run" + std::to_string(++runs);
    std::filesystem::create_directories(rig->server + "/" + folder);
    return Spot{rig->server + "/" + folder, a.share + "\\" + folder};
  };
  int calls = 0;
  {
    ClearShare();
    ShareComputer a(0, "alpha");
    const DiskFault traced{kShareCalls, rig->mounts[0], 0, 0};
    calls = static_cast<int>(TraceCalls(prepare(a, fresh(a)), traced).size());
  }
  ASSERT_GE(calls, 4) << "the command hardly touched the share";
  for (const Hitch& hitch : kHitches) {
    SCOPED_TRACE(std::string(hitch.name) + " (of " + std::to_string(calls) + " calls)");
    ClearShare();
    ShareComputer a(0, "alpha");
    const Spot spot = fresh(a);
    bool met = false;
    const Ran ran = RunThrough(prepare(a, spot), hitch, calls, met);
    EXPECT_TRUE(met) << "the command ended before the client failed";
    // A stop of a second is no failure; a failing call may fail the command.
    EXPECT_TRUE(ran.code == 0 || (!hitch.pause && ran.code == 1)) << ran.code << " " << ran.err;
    check(a, spot, ran, hitch);
    EXPECT_EQ(Listing(rig->server + "/temp"), std::vector<std::string>{});
  }
}

std::string Joined(const std::vector<std::string>& entries, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < entries.size(); ++i) out += entries[i];
  return out;
}

TEST_F(ShareTest, ATakeThroughAFailingClientHandsEachEntryOutOnce) {
  std::vector<std::string> entries, texts;
  for (int i = 1; i <= 6; ++i) {
    texts.push_back("entry " + std::to_string(i) + "\r\n");
    entries.push_back(RozEntry("entry " + std::to_string(i)));
  }
  ThroughEachHitch(
      [&](ShareComputer& a, const Spot& at) {
        at.Write("q.POF", Joined(entries));
        return InRoot(a.root, {a.orb, "take", at.Share("q.POF")});
      },
      [&](ShareComputer& a, const Spot& at, const Ran& ran, const Hitch&) {
        // Taken and gone, or neither.
        const bool took = ran.code == 0;
        EXPECT_EQ(ran.out, took ? texts[0] : "") << ran.err;
        EXPECT_EQ(at.Read("q.POF"), Joined(entries, took ? 1 : 0));
        std::vector<std::string> taken;
        if (took) taken.push_back(ran.out);
        for (size_t i = 0; i <= entries.size(); ++i) {
          const Ran t = a.RunOrb({"take", at.Share("q.POF")});
          EXPECT_EQ(t.code, 0) << t.err;
          if (t.out.empty()) break;
          taken.push_back(t.out);
        }
        EXPECT_EQ(taken, texts);  // every entry once, in order
        EXPECT_EQ(at.Read("q.POF"), "");
      });
}

TEST_F(ShareTest, ADispatchThroughAFailingClientHandsEachEntryOnOnce) {
  // Entries for CAROB here, for an application with no interface yet, and
  // for an unknown computer: each goes to one queue of the share.
  auto mark = [](int i) { return "message-" + std::to_string(100 + i); };
  std::vector<std::string> entries;
  for (int i = 1; i <= 8; ++i) {
    const std::string to = i % 4 == 0   ? "DO Lexwright:"
                           : i % 4 == 3 ? "SENDTO [hostZ] CAROB:"
                                        : "DO CAROB:";
    entries.push_back(RozEntry("SET SOURCE = beta\r\n" + to + mark(i)));
  }
  auto handed = [&](const Spot& at, int i) {
    int n = 0;
    for (const char* q : {"CAROB.interface.POF", "in.pending.POF", "in.undeliverable.POF"}) {
      for (const QueueEntry& e : ParseQueue(at.Read(q))) {
        n += !e.lines.empty() && e.lines.back().ends_with(mark(i));
      }
    }
    return n;
  };
  const std::vector<std::string> dispatch = {"dispatch", "--once", "--local-id", "alpha"};
  ThroughEachHitch(
      [&](ShareComputer& a, const Spot& at) {
        a.AddFileLoc("RORU PO Input", at.Share("in.POF"));
        a.AddFileLoc("CAROB interface", at.Share("CAROB.interface.POF"));
        at.Write("in.POF", Joined(entries));
        std::vector<std::string> argv = {a.orb};
        argv.insert(argv.end(), dispatch.begin(), dispatch.end());
        return InRoot(a.root, argv);
      },
      [&](ShareComputer& a, const Spot& at, const Ran& ran, const Hitch& hitch) {
        // The input holds whole entries from some one on, unchanged; those
        // before it were handed on once, the others at most once.
        const std::string left = at.Read("in.POF");
        size_t first_left = entries.size() + 1;
        for (size_t m = 0; m <= entries.size(); ++m) {
          if (left == Joined(entries, m) || (m == entries.size() && left == "<missing>")) {
            first_left = m;
          }
        }
        EXPECT_LE(first_left, entries.size()) << "the input is no longer whole entries:\n" << left;
        if (hitch.pause) {
          EXPECT_EQ(first_left, entries.size()) << "a stopped client kept entries back";
        }
        for (int i = 1; i <= static_cast<int>(entries.size()); ++i) {
          const bool waiting = static_cast<size_t>(i - 1) >= first_left;
          EXPECT_LE(handed(at, i), 1) << mark(i) << " was handed on twice";
          EXPECT_TRUE(waiting || handed(at, i) == 1) << mark(i) << " was lost\n" << ran.err;
        }
        // A turn on the sound share hands on the rest, each once.
        const Ran again = a.RunOrb(dispatch);
        EXPECT_EQ(again.code, 0) << again.err;
        for (int i = 1; i <= static_cast<int>(entries.size()); ++i) {
          EXPECT_EQ(handed(at, i), 1) << mark(i);
        }
        EXPECT_EQ(at.Read("in.POF"), "");
      });
}

TEST_F(ShareTest, ASetThroughAFailingClientLeavesTheDatabankAsBeforeOrAsAfter) {
  std::string before;
  for (int i = 1; i <= 10; ++i) {
    const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    before += "key" + n + "=value " + n + "\r\n";
  }
  struct Case {
    const char* name;
    const char* key;
    const char* value;
    std::string after;  // the databank once the value is set
  };
  const Case cases[] = {
      {"a longer value, the databank rebuilt", "key05", "a much longer value",
       std::string(before).erase(before.find("key05="), 16) + "key05=a much longer value\r\n"},
      {"a new key, appended", "key11", "value 11", before + "key11=value 11\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ThroughEachHitch(
        [&](ShareComputer& a, const Spot& at) {
          at.Write("k.dat", before);
          return InRoot(a.root, {a.orb, "set", at.Share("k.dat"), c.key, c.value});
        },
        [&](ShareComputer& a, const Spot& at, const Ran& ran, const Hitch&) {
          // As before or as after; after, when the command said so.
          const std::string bank = at.Read("k.dat");
          EXPECT_TRUE(bank == c.after || (ran.code != 0 && bank == before))
              << "exit " << ran.code << " " << ran.err << "\n" << bank;
          // The value set again on the sound share; nothing left beside it.
          const Ran again = a.RunOrb({"set", at.Share("k.dat"), c.key, c.value});
          EXPECT_EQ(again.code, 0) << again.err;
          EXPECT_EQ(at.Read("k.dat"), c.after);
          EXPECT_EQ(Listing(at.server), std::vector<std::string>{"k.dat"});
        });
  }
}

}  // namespace
}  // namespace carob::testing
