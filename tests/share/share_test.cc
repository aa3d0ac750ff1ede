// The family on a network share: a Samba server on the loopback interface,
// mounted twice through FUSE by tests/share/share_rig.sh, each mount standing
// for one computer. Databanks, the temporary folder with its swap files, the
// STATUS databanks and the dispatchers' input files lie on the share; each
// computer reaches them through its own mount. Skipped, with the rig's
// reason, where FUSE or the SMB port is not available.
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "databank/databank.h"
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

class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rig->skipped.empty()) GTEST_SKIP() << rig->skipped;
    for (const auto& e : std::filesystem::directory_iterator(rig->server)) {
      std::filesystem::remove_all(e.path());
    }
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
  auto living = hold("hold");
  auto waiter = b.Start({b.orb, "set", b.share + "\\k.dat", "k", "after the holder"});
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_TRUE(waiter->Running());
  EXPECT_TRUE(std::filesystem::exists(rig->server + "/temp/DSP.share.k.dat.TMP"));
  // (The holder cannot tell its own hold from another computer's there, so
  // it does not say "intact"; the file on the server says it instead.)
  living->Signal(SIGUSR1);
  EXPECT_EQ(living->ReadLine(), "released");
  EXPECT_EQ(living->Wait(30), 0);
  EXPECT_EQ(waiter->Wait(30), 0) << waiter->Err();
  EXPECT_EQ(BankValue(ServerFile("k.dat"), "k"), "after the holder");

  // A killed holder: its lock goes after just over 7 s.
  auto killed = hold("holdforever");
  killed->Kill();
  const auto start = std::chrono::steady_clock::now();
  Ran r = b.RunOrb({"set", b.share + "\\k.dat", "k", "after the dead"});
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_GT(waited, 7.0);
  EXPECT_LT(waited, 12.0);
  EXPECT_EQ(BankValue(ServerFile("k.dat"), "k"), "after the dead");
  EXPECT_NE(b.root.ReadFile("C:\\ORB\\TOOLS\\Database_IO.log").find("TIMEOUT. File removed."),
            std::string::npos);
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
  // stall for seconds under load: the console waits for it generously.
  auto talk = a.Start({a.orb, "talk", "CAROB", "--to", "beta", "--wait", "15"}, true);
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

}  // namespace
}  // namespace carob::testing
