// Bank names and paths, the first-start settling of the temporary folder,
// swap paths and the swap-file wait with its 7-second break.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include "platform/text.h"
#include "tests/databank/databank_fixture.h"
#include "tests/support/scoped_variable.h"

namespace carob::testing {
namespace {

using Lines = std::vector<std::string>;

// A world without "C:\FileLoc", for the first start on a computer.
class FirstStartTest : public ::testing::Test {
 protected:
  std::string FirstTempDir(const char* orb, const char* temp, const char* tmp) {
    ScopedVariable a("ORB", orb), b("TEMP", temp), c("TMP", tmp);
    auto env = MakeTestEnv(root, clock);
    databank::Databank db(*env);
    std::string name = "CAROB.dat";
    EXPECT_EQ(db.ResolveBankPath(name), "C:\\ORB\\CAROB\\CAROB.dat");
    EXPECT_EQ(db.RunPath(), "C:\\ORB\\CAROB");
    return db.TempDir();
  }
  TempRoot root;
  std::shared_ptr<platform::ManualClock> clock = MakeManualClock();
};

TEST_F(FirstStartTest, TempDirComesFromOrbThenTempThenTmpThenTheProgramFolder) {
  const std::string t1 = root.Native("C:\\T1"), t2 = root.Native("C:\\T2");
  root.MakeFolder("C:\\T1");
  EXPECT_EQ(FirstTempDir("C:\\ORBTEMP", t1.c_str(), t2.c_str()), "C:\\ORBTEMP");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\ORBTEMP\r\n");
  std::filesystem::remove(root.Native("C:\\FileLoc"));
  EXPECT_EQ(FirstTempDir(nullptr, t1.c_str(), t2.c_str()), "C:\\T1");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\T1\r\n");
  std::filesystem::remove(root.Native("C:\\FileLoc"));
  EXPECT_EQ(FirstTempDir(nullptr, nullptr, t2.c_str()), "C:\\T2");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\T2\r\n");
  std::filesystem::remove(root.Native("C:\\FileLoc"));
  EXPECT_EQ(FirstTempDir(nullptr, nullptr, nullptr), "C:\\ORB\\CAROB");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\ORB\\CAROB\r\n");
  // Once recorded, the databank wins over every variable and is not rewritten.
  EXPECT_EQ(FirstTempDir("C:\\ORBTEMP", t1.c_str(), nullptr), "C:\\ORB\\CAROB");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\ORB\\CAROB\r\n");
}

TEST_F(FirstStartTest, FirstAccessIsAQueryOfTheFileLocationDatabankItself) {
  root.MakeFolder("C:\\tmp");
  const std::string tmp = root.Native("C:\\tmp");
  ScopedVariable a("ORB", nullptr), b("TEMP", tmp.c_str()), c("TMP", nullptr);
  root.WriteFile("C:\\FileLoc", "STATUS=C:\\somewhere\\STATUS\r\n");
  auto env = MakeTestEnv(root, clock);
  databank::Databank db(*env);
  db.StartDatabankIOLog(true);
  EXPECT_EQ(db.Query("C:\\FileLoc", "STATUS"), "C:\\somewhere\\STATUS");
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"),
            "STATUS=C:\\somewhere\\STATUS\r\nTemporary path=C:\\tmp\r\n");
  EXPECT_EQ(LogTexts(root.ReadFile(kLog)),
            (Lines{
                "Database C:\\FileLoc serial 1 Query [Temporary path] ==>> []",
                "Database C:\\FileLoc serial  Set [Temporary path], [C:\\tmp]",
                " Methods: Appending. ",
                " Swap serial  Set",
                " Bytes inscribed ",
                "Innitialized databank access with tempdir [C:\\tmp], runpath [C:\\ORB\\CAROB]",
                "   ",
                "Database C:\\FileLoc serial 1 Query [STATUS] ==>> [C:\\somewhere\\STATUS]",
            }));
}

TEST_F(DatabankTest, NamesResolveByDriveOrProgramFolder) {
  struct Case {
    std::string name, path;
  } cases[] = {
      {"C:\\FileLoc", "C:\\FileLoc"},
      {"  D:\\x\\y.dat ", "D:\\x\\y.dat"},
      {"CAROB.cfg", "C:\\ORB\\CAROB\\CAROB.cfg"},
      {"sub\\k.dat", "C:\\ORB\\CAROB\\sub\\k.dat"},
      {"C:\\folder\\", ""},
      {"sub\\", ""},
      {"   ", ""},
      {"..:\\..\\..\\escaped.dat", ""},  // a ":" that is no drive
      {"C:\\x\\a:b.dat", ""},
      {"CAROB.cfg", "C:\\ORB\\CAROB\\CAROB.cfg"},
  };
  for (const Case& c : cases) {
    std::string name = c.name;
    EXPECT_EQ(db->ResolveBankPath(name), c.path) << c.name;
    EXPECT_EQ(name, platform::Trim(c.name));
  }
}

TEST(ProgramAtDriveRootTest, RunPathIsJoinedWithoutADoubledBackslash) {
  TempRoot root;
  root.WriteFile("C:\\FileLoc", "Temporary path=C:\\\r\n");
  auto env = MakeTestEnv(root, MakeManualClock(), "C:\\");
  databank::Databank db(*env);
  std::string name = "k.dat";
  EXPECT_EQ(db.ResolveBankPath(name), "C:\\k.dat");
  EXPECT_EQ(db.SwapPath(name), "C:\\DSP.Root..TMP");
  EXPECT_TRUE(db.Write("k.dat", "a", "1"));
  EXPECT_EQ(root.ReadFile("C:\\k.dat"), "a=1\r\n");
}

TEST_F(DatabankTest, SwapPathsFollowTheNameOfFolderAndFile) {
  root.WriteFile("C:\\Bot\\k.dat", "a=1\r\n");
  root.WriteFile("C:\\ORB\\CAROB\\bare.dat", "a=1\r\n");
  root.WriteFile("C:\\Other\\Bot\\k.dat", "a=1\r\n");
  root.WriteFile("C:\\data\\Stored.DAT", "a=1\r\n");
  root.WriteFile("D:\\top.dat", "a=1\r\n");
  struct Case {
    std::string name, swap;
  } cases[] = {
      {"C:\\Bot\\k.dat", "C:\\TEMP\\DSP.Bot.k.dat.TMP"},
      {"C:\\Other\\Bot\\k.dat", "C:\\TEMP\\DSP.Bot.k.dat.TMP"},  // shares the lock
      {"C:\\FileLoc", "C:\\TEMP\\DSP.Root.FileLoc.TMP"},
      {" bare.dat ", "C:\\TEMP\\DSP.Root.bare.dat.TMP"},
      {"C:\\Bot\\new.dat", "C:\\TEMP\\DSP.Bot..TMP"},
      {"C:\\Elsewhere\\Bot\\other.dat", "C:\\TEMP\\DSP.Bot..TMP"},
      {"C:\\data\\stored.dat", "C:\\TEMP\\DSP.data.Stored.DAT.TMP"},  // as stored
      {"C:\\DATA\\STORED.DAT", "C:\\TEMP\\DSP.data.Stored.DAT.TMP"},  // folder too
      {"c:\\other\\BOT\\K.dat", "C:\\TEMP\\DSP.Bot.k.dat.TMP"},
      {"C:\\bot\\new.dat", "C:\\TEMP\\DSP.bot..TMP"},  // not stored yet: as given
      {"D:\\top.dat", "C:\\TEMP\\DSP.Root.top.dat.TMP"},
  };
  for (const Case& c : cases) {
    std::string name = c.name;
#ifdef _WIN32
    // Windows itself matches names case-blind: every spelling of the folder
    // names the one lock there, and the folder's is left as given.
    const std::string swap = db->SwapPath(name);
    EXPECT_TRUE(platform::EqualsNoCase(swap, c.swap)) << c.name << ": " << swap;
#else
    EXPECT_EQ(db->SwapPath(name), c.swap) << c.name;
#endif
  }
}

TEST_F(DatabankTest, FreeSwapIsTakenAtOnceAndHeldUntilReleased) {
  StartLog();
  std::string name = " C:\\data\\k.dat ";
  root.WriteFile("C:\\data\\k.dat", "a=1\r\n");
  {
    databank::SwapLock lock = db->AllocateSwap(name);
    EXPECT_EQ(name, "C:\\data\\k.dat");
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(lock.path(), "C:\\TEMP\\DSP.data.k.dat.TMP");
    EXPECT_TRUE(root.Exists(lock.path()));
    EXPECT_EQ(env->ProbeLock(lock.path()), platform::LockState::kHeld);
    EXPECT_EQ(Log(), (Lines{"Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]"}));
  }
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data.k.dat.TMP"));
  EXPECT_EQ(clock->Now().seconds_since_midnight, 8 * 3600 + 29 * 60 + 45);  // no wait
}

double SecondsOf(platform::Clock& c) { return c.Now().seconds_since_midnight; }

TEST_F(DatabankTest, AbandonedSwapFileIsRemovedAfterJustOverSevenSeconds) {
  StartLog();
  root.WriteFile("C:\\data\\k.dat", "a=1\r\n");
  root.WriteFile("C:\\TEMP\\DSP.data.k.dat.TMP", "old contents\r\n");  // nobody holds it
  const double start = SecondsOf(*clock);
  std::string name = "C:\\data\\k.dat";
  databank::SwapLock lock = db->AllocateSwap(name);
  const double waited = SecondsOf(*clock) - start;
  EXPECT_GT(waited, 7.0);
  EXPECT_LT(waited, 7.2);
  EXPECT_TRUE(lock.held());
  Lines log = Log();
  const std::string waiting = "!!! Swap conflict [C:\\TEMP\\DSP.data.k.dat.TMP] Waiting...";
  // At once, then about once a second: 45, 46.x, 47.x ... 52.x.
  ASSERT_GE(log.size(), 3u);
  int waits = 0;
  for (size_t i = 0; i + 2 < log.size(); ++i) {
    EXPECT_EQ(log[i], waiting);
    ++waits;
  }
  EXPECT_GE(waits, 7);
  EXPECT_LE(waits, 9);
  EXPECT_EQ(log[log.size() - 2], "!!! Swap conflict [C:\\TEMP\\DSP.data.k.dat.TMP] TIMEOUT. File removed.");
  EXPECT_EQ(log.back(), "Database [C:\\data\\k.dat] ==>> allocated swap [C:\\TEMP\\DSP.data.k.dat.TMP]");
  // The first Waiting line is written at the first sighting.
  EXPECT_NE(root.ReadFile(kLog).find("12-07-2026 08:29:45| " + waiting), std::string::npos);
}

TEST_F(DatabankTest, TimeoutLineIsWrittenEvenWithTheLogOff) {
  root.WriteFile("C:\\data\\k.dat", "k=abc\r\n");
  root.WriteFile("C:\\TEMP\\DSP.data.k.dat.TMP", "");
  EXPECT_TRUE(db->Write("C:\\data\\k.dat", "k", "a longer value"));
  EXPECT_EQ(root.ReadFile("C:\\data\\k.dat"), "k=a longer value\r\n");
  EXPECT_EQ(Log(), (Lines{"!!! Swap conflict [C:\\TEMP\\DSP.data.k.dat.TMP] TIMEOUT. File removed."}));
  EXPECT_FALSE(root.Exists("C:\\TEMP\\DSP.data.k.dat.TMP"));
}

// The databank C:\data\k.dat ("k=abc") with its temporary folder C:\TEMP,
// where another writer's swap file for it may stand, over a clock that lets
// the test act while the engine waits.
class SwapWaitTest : public ::testing::Test {
 protected:
  SwapWaitTest() {
    root.WriteFile("C:\\FileLoc", "Temporary path=C:\\TEMP\r\n");
    root.WriteFile(kBank, "k=abc\r\n");
  }
  void PlantSwap() { root.WriteFile(kSwap, ""); }
  double Now() const { return manual->Now().seconds_since_midnight; }

  static constexpr const char* kBank = "C:\\data\\k.dat";
  static constexpr const char* kSwap = "C:\\TEMP\\DSP.data.k.dat.TMP";
  TempRoot root;
  std::shared_ptr<platform::ManualClock> manual = MakeManualClock();
  std::shared_ptr<HookClock> hook = std::make_shared<HookClock>(manual);
  std::unique_ptr<platform::Env> env = MakeTestEnv(root, hook);
};

TEST_F(SwapWaitTest, SwapFileThatDisappearsEndsTheWaitWithoutTimeout) {
  databank::Databank db(*env);
  db.StartDatabankIOLog(false);
  PlantSwap();
  hook->on_sleep = [&] {
    // The other writer finishes after about three seconds.
    if (hook->sleeps == 300) std::filesystem::remove(root.Native(kSwap));
  };
  EXPECT_TRUE(db.Write(kBank, "k", "longer value"));
  EXPECT_EQ(root.ReadFile(kBank), "k=longer value\r\n");
  Lines log = LogTexts(root.ReadFile(kLog));
  int waits = 0;
  for (const auto& l : log) {
    EXPECT_EQ(l.find("TIMEOUT"), std::string::npos) << l;
    if (l.find("Waiting...") != std::string::npos) ++waits;
  }
  EXPECT_GE(waits, 3);
  EXPECT_LE(waits, 4);
  // The engine paused between its looks rather than spinning.
  EXPECT_GE(hook->sleeps, 300);
  EXPECT_LT(hook->sleeps, 400);
}

TEST_F(SwapWaitTest, AWaitAcrossMidnightStillBreaksAfterSevenSeconds) {
  auto late = MakeManualClock(23, 59, 57);
  auto late_env = MakeTestEnv(root, late);
  databank::Databank db(*late_env);
  PlantSwap();
  std::string name = kBank;
  databank::SwapLock lock = db.AllocateSwap(name);
  EXPECT_TRUE(lock.held());
  const double now = late->Now().seconds_since_midnight;
  EXPECT_GT(now, 4.0);  // 3 s before midnight + just over 7 s
  EXPECT_LT(now, 4.2);
}

// What a databank's waits ask whether the program is closing; a test says
// the answer and may act at each question.
struct ScriptedClose : platform::Interaction {
  void Yield() override {}
  void MessageBox(const std::string&, const std::string&) override {}
  bool Closing() override {
    ++asked;
    if (on_ask) on_ask();
    return closing;
  }
  bool closing = false;
  int asked = 0;
  std::function<void()> on_ask;
};

// The databank's lock, held by another writer that lives on.
class LivingHolderTest : public SwapWaitTest {
 protected:
  LivingHolderTest() {
    std::string name = kBank;
    held = holder.AllocateSwap(name);
  }
  std::unique_ptr<platform::Env> holder_env = MakeTestEnv(root, hook);
  databank::Databank holder{*holder_env};
  databank::SwapLock held;
};

TEST_F(LivingHolderTest, AClosingProgramWaitsForItOnlyAMoment) {
  ASSERT_TRUE(held.held());
  ScriptedClose close;
  close.closing = true;
  // A wait that did not ask, or did not listen, would end only here (ten
  // seconds on) and fail below rather than hang.
  hook->on_sleep = [&] {
    if (hook->sleeps == 1000) held.Release();
  };
  databank::Databank db(*env, close);
  const double start = Now();
  const platform::Status written = db.Write(kBank, "k", "xyz");
  EXPECT_FALSE(written.ok());
  EXPECT_EQ(written.cause(), "the program is closing and the databank's lock was not taken");
  // Half a second for a holder that is about to let go, then no longer.
  EXPECT_GT(Now() - start, 0.5);
  EXPECT_LT(Now() - start, 0.6);
  EXPECT_GT(close.asked, 0);
  EXPECT_EQ(root.ReadFile(kBank), "k=abc\r\n");
  EXPECT_TRUE(root.Exists(kSwap));  // the holder's, untouched
}

TEST_F(LivingHolderTest, AProgramThatIsNotClosingWaitsUntilItLetsGo) {
  ASSERT_TRUE(held.held());
  ScriptedClose open;
  // The holder lets go after about a second of looks, well past the moment
  // a closing program would wait.
  open.on_ask = [&] {
    if (open.asked == 100) held.Release();
  };
  databank::Databank db(*env, open);
  const double start = Now();
  EXPECT_TRUE(db.Write(kBank, "k", "xyz").ok());
  EXPECT_GT(Now() - start, 0.9);
  EXPECT_GE(open.asked, 100);
  EXPECT_EQ(root.ReadFile(kBank), "k=xyz\r\n");
}

// A temporary folder as a network share shows it: a swap file whose holder
// may live on another computer (kUnknown), whose delete the server refuses
// while that holder has it open.
class ShareLikeEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  bool LocksSeenEverywhere(const std::string&) override { return false; }
  platform::LockState ProbeLock(const std::string& path) override {
    platform::LockState s = EnvWrapper::ProbeLock(path);
    return s == platform::LockState::kAbsent ? s : platform::LockState::kUnknown;
  }
  platform::Status BreakLock(const std::string& path) override {
    ++breaks;
    if (holder_alive) return platform::Status::FromErrno("cannot break lock " + path, EBUSY);
    return EnvWrapper::BreakLock(path);
  }
  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    if (path.ends_with(".TMP") && !first_swap_look) first_swap_look = clock().Now().seconds_since_midnight;
    return EnvWrapper::FindFile(path);
  }
  bool holder_alive = true;
  int breaks = 0;
  std::optional<double> first_swap_look;  // the first look at a swap file by its name
};

// A wait for an unseen holder that lets go within a second never looks at
// the swap file by its name (on a share that opens it on the server, and a
// look that meets it being deleted upsets the share's client); a longer one
// reads the holder's mark from its first second on.
TEST_F(SwapWaitTest, OnAShareTheHoldersMarkIsFirstReadAfterASecond) {
  for (double held : {0.5, 3.0}) {
    SCOPED_TRACE(held);
    std::filesystem::remove(root.Native(kLog));
    ShareLikeEnv share(*env);
    databank::Databank db(share);
    PlantSwap();
    const double start = Now();
    hook->on_sleep = [&] {
      if (Now() - start >= held && root.Exists(kSwap)) std::filesystem::remove(root.Native(kSwap));
    };
    ASSERT_TRUE(db.Write(kBank, "k", "longer value"));
    hook->on_sleep = nullptr;
    EXPECT_EQ(share.first_swap_look.has_value(), held > 1);
    if (share.first_swap_look) {
      EXPECT_GE(*share.first_swap_look - start, 1.0);
      EXPECT_LT(*share.first_swap_look - start, 1.1);
    }
    EXPECT_EQ(share.breaks, 0);
  }
}

TEST_F(SwapWaitTest, OnAShareAnUnseenHolderIsTriedOnceASecondAfterSevenSecondsAndNeverAdopted) {
  ShareLikeEnv share(*env);
  databank::Databank db(share);
  PlantSwap();
  const double start = Now();
  bool kept = true;
  hook->on_sleep = [&] {
    // The holder on the other computer ends after 15 s; until then its
    // swap file stays.
    const double waited = Now() - start;
    if (waited < 15) kept = kept && root.Exists(kSwap);
    if (waited >= 15) share.holder_alive = false;
  };
  // An append, which adopts a dead holder's file at once on a local disk.
  ASSERT_TRUE(db.Write(kBank, "new", "x"));
  const double waited = Now() - start;
  EXPECT_TRUE(kept);
  EXPECT_GT(waited, 15.0);
  EXPECT_LT(waited, 16.2);
  // Tried at just over 7 s and then about once a second: 7, 8, ... 15.
  EXPECT_GE(share.breaks, 8);
  EXPECT_LE(share.breaks, 10);
  Lines log = LogTexts(root.ReadFile(kLog));
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "!!! Swap conflict [C:\\TEMP\\DSP.data.k.dat.TMP] TIMEOUT. File removed."),
            share.breaks);
  EXPECT_EQ(root.ReadFile(kBank), "k=abc\r\nnew=x\r\n");
  EXPECT_FALSE(root.Exists(kSwap));
}

// A share's client that fails every lock with an I/O error until `until`
// (its link to the server recovering).
class FailingShareLocks : public platform::EnvWrapper {
 public:
  FailingShareLocks(platform::Env& env, double until) : EnvWrapper(env), until_(until) {}
  platform::Status TryLock(const std::string& path,
                           std::unique_ptr<platform::LockFile>* lock) override {
    if (clock().Now().seconds_since_midnight >= until_) return EnvWrapper::TryLock(path, lock);
    return platform::Status::FromErrno("cannot create lock " + path, EIO);
  }
  bool LocksSeenEverywhere(const std::string&) override { return false; }
  double until_;
};

TEST_F(SwapWaitTest, OnAShareALockThatCannotBeMadeIsTriedAgainForFifteenSeconds) {
  for (double failing : {3.0, 1e6}) {
    root.WriteFile(kBank, "k=abc\r\n");
    std::filesystem::remove(root.Native(kLog));
    const double start = Now();
    FailingShareLocks share(*env, start + failing);
    databank::Databank db(share);
    const platform::Status s = db.Write(kBank, "new", "x");
    const double waited = Now() - start;
    const bool recovers = failing < 15;
    EXPECT_EQ(s.ok(), recovers) << s.message();
    EXPECT_GE(waited, recovers ? failing : 15) << failing;
    EXPECT_LE(waited, (recovers ? failing : 15) + 0.5) << failing;
    EXPECT_EQ(root.ReadFile(kBank), recovers ? "k=abc\r\nnew=x\r\n" : "k=abc\r\n");
    if (!recovers) {
      EXPECT_NE(root.ReadFile(kLog).find(
                    "!!! Swap failure [C:\\TEMP\\DSP.data.k.dat.TMP] input/output error."),
                std::string::npos);
    }
  }
}

// A writer waiting for a swap file looks again after 2, 4 and 8 ms, then
// every 10 ms; on a network share, where each look is a call to the server
// and many waiters slow the holder down, the pauses grow on to 25 ms.
TEST_F(SwapWaitTest, PausesBetweenLooksGrowToTenMillisecondsHereAndToTwentyFiveOnAShare) {
  for (bool share : {false, true}) {
    SCOPED_TRACE(share ? "share" : "local disk");
    root.WriteFile(kBank, "k=abc\r\n");
    PlantSwap();
    std::vector<long> pauses_ms;
    double last = Now();
    hook->on_sleep = [&] {
      pauses_ms.push_back(std::lround((Now() - last) * 1000));
      last = Now();
      if (pauses_ms.size() == 8) std::filesystem::remove(root.Native(kSwap));
    };
    ShareLikeEnv on_share(*env);
    databank::Databank db(share ? static_cast<platform::Env&>(on_share) : *env);
    EXPECT_TRUE(db.Write(kBank, "k", "longer value"));
    hook->on_sleep = nullptr;
    const std::vector<long> want = share ? std::vector<long>{2, 4, 8, 16, 25, 25, 25, 25}
                                         : std::vector<long>{2, 4, 8, 10, 10, 10, 10, 10};
    EXPECT_EQ(pauses_ms, want);
    EXPECT_EQ(root.ReadFile(kBank), "k=longer value\r\n");
  }
}

}  // namespace
}  // namespace carob::testing
