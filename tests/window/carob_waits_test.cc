// carob, headless and as a real process, while it waits: the STATUS size
// guard's waits for "Zadozo" (events run there, a close ends them), a
// databank lock another process holds, long thinking passes, and a family
// root it cannot write.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::HasSubstr;
using Steady = std::chrono::steady_clock;

double SecondsSince(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

// What every close must show: the program ended by itself within `bound`
// seconds of the signal, with 0, and its unload ran.
void ExpectClosesWithin(Process& carob, int sig, double bound) {
  const Steady::time_point sent = Steady::now();
  carob.Signal(sig);
  EXPECT_EQ(carob.Wait(30), 0) << carob.Err();
  EXPECT_LT(SecondsSince(sent), bound) << carob.Err();
  EXPECT_THAT(carob.Err(), HasSubstr("CAROB stopped"));
}

class CarobWaitsTest : public WindowTest {
 protected:
  CarobWaitsTest() : WindowTest(kBaseFileLoc) { root.WriteFile(kStatusPath, "Pulse=50\r\n"); }

  std::unique_ptr<Process> Start() {
    return std::make_unique<Process>(InRoot(root, {Install(root, "carob", kProgramFolder)}));
  }
  bool Has(Process& p, const std::string& text) {
    return WaitUntil([&] { return !p.Running() || p.Err().find(text) != std::string::npos; }) &&
           p.Err().find(text) != std::string::npos;
  }
  // A STATUS databank over the guard's size, with "Zadozo" installed.
  void OversizedStatus(const std::string& zadozo_path_line) {
    root.WriteFile(kStatusPath,
                   StatusOfSize({"Pulse=50", "Zadozo running=No", zadozo_path_line}, 40000));
  }
  std::string StatusValue(const std::string& key) { return Fresh(kStatusPath, key); }
};

// With the temporary folder missing (true) or in the root (false).
class UnwritableRootTest : public CarobWaitsTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(TemporaryFolder, UnwritableRootTest, ::testing::Bool());

// The timer runs from the window's creation: while the size guard waits for
// "Zadozo" to sign on, a tick takes the waiting sentence in stage 0 and
// greets, and a click runs the passes (which fail: no knowledge databank is
// set yet). The load event then finishes its steps, and the next sentence
// is learnt.
TEST_F(CarobWaitsTest, TicksAndClicksRunWhileTheSizeGuardWaitsForZadozo) {
  InstallZadozo(root, /*sign_on_after=*/4, /*finishes=*/true);
  OversizedStatus(kZadozoPathLine);
  root.WriteFile(kInterfacePath, RozEntry("SET SOURCE = 10.0.0.7\r\nthe sky be blue"));
  auto carob = Start();
  ASSERT_TRUE(Has(*carob, "ORB STATUS subsystem: The STATUS databank size")) << carob->Err();

  ASSERT_TRUE(WaitUntil([&] { return !Sent().empty(); })) << carob->Err();
  EXPECT_EQ(Sent()[0].body, "SENDTO [10.0.0.7] :Hello. Who are you?");
  EXPECT_THAT(carob->Err(), ::testing::Not(HasSubstr("CAROB started")))
      << "the greeting comes from inside the wait";
  carob->Signal(SIGUSR1);
  ASSERT_TRUE(Has(*carob, "CAROB started")) << carob->Err();
  const std::string err = carob->Err();
  EXPECT_LT(err.find("Command1 click received"), err.find("CAROB started")) << err;
  EXPECT_THAT(err, HasSubstr("no knowledge databank is set"));
  EXPECT_FALSE(root.Exists(kKnowledgePath)) << "the greeted sentence teaches nothing";

  Deliver("SET SOURCE = 10.0.0.7\r\nthe grass be green");
  // A new databank is made empty first and then written: wait for the line.
  WaitUntil([&] { return KnowledgeBytes() == "the grass=green\r\n"; });
  EXPECT_EQ(KnowledgeBytes(), "the grass=green\r\n") << carob->Err();
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(StatusValue("CAROB running"), "Yes");
  ExpectClosesWithin(*carob, SIGTERM, 5);
  EXPECT_EQ(StatusValue("CAROB running"), "No");
}

// What a tick takes before the load event has finished is answered as it
// comes: "?" with the identification, which leaves the stage at 0, and a
// sentence in stage 0 with the greeting. The stage the load event then sets
// lets the next sentence be learnt, greeted or not.
struct EarlyMessages {
  const char* name;
  std::vector<std::string> queued;    // before carob starts
  std::vector<std::string> answered;  // inside the wait, in order
};
void PrintTo(const EarlyMessages& c, std::ostream* os) { *os << c.name; }
class EarlyMessagesTest : public CarobWaitsTest,
                          public ::testing::WithParamInterface<EarlyMessages> {};

constexpr const char* kIdentification = "SENDTO [10.0.0.7] User:Talkweave v100\r\nCAROB: aSentence";
constexpr const char* kGreetingSent = "SENDTO [10.0.0.7] :Hello. Who are you?";

INSTANTIATE_TEST_SUITE_P(
    BeforeTheLoadFinishes, EarlyMessagesTest,
    ::testing::Values(
        EarlyMessages{"QuestionMarkOnly", {"?"}, {kIdentification}},
        EarlyMessages{"QuestionMarkThenASentence", {" ? ", "the sky be blue"},
                      {kIdentification, kGreetingSent}},
        EarlyMessages{"TwoQuestionMarks", {"?", "?"}, {kIdentification, kIdentification}},
        EarlyMessages{"ASentenceThenAQuestionMark", {"the sky be blue", "?"},
                      {kGreetingSent, kIdentification}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(EarlyMessagesTest, AreAnsweredByTheStageTheyFind) {
  InstallZadozo(root, /*sign_on_after=*/4, /*finishes=*/true);
  OversizedStatus(kZadozoPathLine);
  std::string queue;
  for (const std::string& text : GetParam().queued) {
    queue += RozEntry("SET SOURCE = 10.0.0.7\r\n" + text);
  }
  root.WriteFile(kInterfacePath, queue);
  auto carob = Start();
  const std::vector<std::string>& answered = GetParam().answered;
  ASSERT_TRUE(WaitUntil([&] { return Sent().size() >= answered.size(); })) << carob->Err();
  EXPECT_THAT(carob->Err(), ::testing::Not(HasSubstr("CAROB started")))
      << "the answers come from inside the wait";
  ASSERT_TRUE(Has(*carob, "CAROB started")) << carob->Err();
  std::vector<std::string> bodies;
  for (const SentEntry& e : Sent()) bodies.push_back(e.body);
  EXPECT_EQ(bodies, answered);

  Deliver("SET SOURCE = 10.0.0.7\r\nthe grass be green");
  WaitUntil([&] { return KnowledgeBytes() == "the grass=green\r\n"; });
  EXPECT_EQ(KnowledgeBytes(), "the grass=green\r\n") << carob->Err();
  EXPECT_EQ(Sent().size(), answered.size()) << "no greeting after the load";
  ExpectClosesWithin(*carob, SIGTERM, 5);
}

// Each close signal ends each of the guard's waits: the wait for "Zadozo"
// to sign on (here it cannot even be started) and the wait for it to finish
// (it signs on and never signs off). The unload still records the program
// as not running.
TEST_F(CarobWaitsTest, ACloseSignalEndsTheSizeGuardsWaits) {
  for (bool signs_on : {false, true}) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(signs_on ? "waiting for Zadozo to finish" : "waiting for it to "
                               "start") + ", signal " + std::to_string(sig));
      std::filesystem::remove(root.Native(kZadozoStarted));
      InstallZadozo(root, 0, /*finishes=*/false);
      OversizedStatus(signs_on ? kZadozoPathLine : "Zadozo path=C:\\NOWHERE\\ZADOZO.EXE");
      auto carob = Start();
      ASSERT_TRUE(Has(*carob, "ORB STATUS subsystem")) << carob->Err();
      if (signs_on) {
        ASSERT_TRUE(WaitUntil([&] { return StatusValue("Zadozo running") == "Yes"; }));
      }
      // Well inside the wait: it has gone round many times since, and
      // still has not started.
      ASSERT_TRUE(WaitForPauses(carob->pid(), signs_on ? kPausesPastTheStartWait : kSomePauses))
          << carob->Err();
      EXPECT_THAT(carob->Err(), ::testing::Not(HasSubstr("CAROB started")));
      ExpectClosesWithin(*carob, sig, 3);
      EXPECT_EQ(StatusValue("CAROB running"), "No");
    }
  }
}

// Another process holds the STATUS databank's lock and lives on: carob waits
// for it at start-up (registration) or at its unload; a close signal ends
// either wait at once. A write whose wait was cut short is not made.
TEST_F(CarobWaitsTest, ACloseSignalEndsAWaitForADatabankLock) {
  const std::string writer = kBinDir + "/databank_test_writer";
  const char* kStatusSwap = "C:\\TEMP\\DSP.TEMP.STATUS.TMP";
  for (bool before_start : {true, false}) {
    SCOPED_TRACE(before_start ? "held from before the start" : "held while it runs");
    root.WriteFile(kStatusPath, "Pulse=50\r\n");
    std::filesystem::remove(root.Native(kStatusSwap));  // the last holder's
    auto carob = before_start ? nullptr : Start();
    if (carob) {
      ASSERT_TRUE(Has(*carob, "CAROB started")) << carob->Err();
    }
    Process holder({writer, root.path(), "holdforever", kStatusSwap});
    ASSERT_EQ(holder.ReadLine(), "locked");
    if (!carob) {
      carob = Start();
      // Many looks at the held lock, 10 ms apart, and still not started.
      ASSERT_TRUE(WaitForPauses(carob->pid(), 30)) << carob->Err();
      EXPECT_THAT(carob->Err(), ::testing::Not(HasSubstr("CAROB started")));
    }
    ExpectClosesWithin(*carob, SIGTERM, 3);
    EXPECT_EQ(StatusValue("CAROB running"), before_start ? "" : "Yes");
  }
}

// A close during the thinking passes stops the pass in progress between two
// memory lines: the knowledge file holds its old lines and whole new ones.
TEST_F(CarobWaitsTest, ACloseSignalStopsTheThinkingPassesAtALineBoundary) {
  std::string knowledge;
  const int kFacts = 6000;
  for (int i = 0; i < kFacts; ++i) {
    knowledge += "subject" + std::to_string(i) + "=object" + std::to_string(i) + "\r\n";
  }
  Knowledge(knowledge);
  auto carob = Start();
  ASSERT_TRUE(Has(*carob, "CAROB started")) << carob->Err();
  carob->Signal(SIGUSR1);
  // Well into the first pass: it has learnt a few hundred reversed facts.
  ASSERT_TRUE(WaitUntil([&] { return KnowledgeBytes().size() > knowledge.size() + 1000; }));
  ExpectClosesWithin(*carob, SIGTERM, 3);
  EXPECT_THAT(carob->Err(), HasSubstr("the program is closing"));
  EXPECT_THAT(carob->Err(), ::testing::Not(HasSubstr("thinking passes finished")));

  const std::string after = KnowledgeBytes();
  ASSERT_EQ(after.rfind(knowledge, 0), 0u) << "the old lines stay as they were";
  ASSERT_TRUE(after.ends_with("\r\n"));
  const std::vector<std::string> lines = SplitLines(after.substr(knowledge.size()));
  EXPECT_LT(lines.size(), static_cast<size_t>(kFacts)) << "the first pass did not run out";
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "object" + std::to_string(i) + "=subject" + std::to_string(i));
  }
}

// The family's root cannot be written. carob starts at once, says once what
// it cannot record and why, and closes at once. As root the test mounts the
// root read-only in a mount namespace of carob's own; otherwise it takes
// the write permission away from the root's folders.
TEST_P(UnwritableRootTest, StartsAtOnceAndSaysWhyOnce) {
  const bool as_root = ::geteuid() == 0;
  if (as_root && testing::Run({{"unshare", "-m", "true"}, {}}).code != 0) {
    GTEST_SKIP() << "no mount namespace can be made here";
  }
  const std::string carob_path = Install(root, "carob", kProgramFolder);
  // Both a missing temporary folder (it cannot be made) and one that stands
  // in the root (the swap file cannot be made in it) fail every write at once.
  const bool temp_missing = GetParam();
  root.WriteFile("C:\\FileLoc", std::string("Temporary path=") +
                                     (temp_missing ? "C:\\NOTEMP" : "C:\\TEMP") +
                                     "\r\nSTATUS=" + kStatusPath + "\r\n");
  const std::string before = root.ReadFile(kStatusPath);
  const char* folders[] = {"C:\\", "C:\\TEMP", kProgramFolder};
  Launch launch = InRoot(root, {carob_path});
  if (as_root) {
    const std::string r = root.path();
    launch.argv = {"unshare", "-m", "sh", "-c",
                   "mount --bind '" + r + "' '" + r + "' && mount -o remount,bind,ro '" + r +
                       "' '" + r + "' && exec '" + carob_path + "'"};
  } else {
    for (const char* f : folders) {
      std::filesystem::permissions(root.Native(f), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::remove);
    }
  }
  const Steady::time_point start = Steady::now();
  Process carob(launch);
  ASSERT_TRUE(Has(carob, "CAROB started")) << carob.Err();
  EXPECT_LT(SecondsSince(start), 4) << carob.Err();
  ASSERT_TRUE(WaitForPauses(carob.pid(), kSomePauses)) << carob.Err();  // ticks: none says more
  ExpectClosesWithin(carob, SIGTERM, 3);
  const std::string err = carob.Err();
  const std::string what =
      "CAROB cannot record its registration (cannot write " + std::string(kStatusPath) + ": ";
  const size_t said = err.find(what);
  EXPECT_NE(said, std::string::npos) << err;
  EXPECT_EQ(err.find(what, said + 1), std::string::npos) << "said once: " << err;
  EXPECT_THAT(err, HasSubstr(as_root ? "read-only file system" : "permission denied"));
  EXPECT_EQ(root.ReadFile(kStatusPath), before);
  if (!as_root) {
    for (const char* f : folders) {
      std::filesystem::permissions(root.Native(f), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add);
    }
  }
}

}  // namespace
}  // namespace carob::testing
