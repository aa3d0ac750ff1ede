// The STATUS size guard: the warning, the start of "Zadozo" and the wait
// until the databank is small again, with a real helper program and with a
// manual clock that plays the part of "Zadozo" from inside the waits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

#include "databank/databank.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

// Ends the test binary if a wait never ends, so that a fault shows as a
// failure instead of a hung run.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) {
    std::signal(SIGALRM, [](int) {
      const char msg[] = "size guard test: wait did not end, giving up\n";
      (void)!::write(2, msg, sizeof msg - 1);
      ::_exit(3);
    });
    ::alarm(seconds);
  }
  ~Watchdog() { ::alarm(0); }
};

// A manual clock that lets the test act (as another program would) every
// time the code under test pauses.
class ScriptedClock : public platform::ManualClock {
 public:
  ScriptedClock() : platform::ManualClock(MakeManualClock()->Now()) {}
  void Sleep(double seconds) override {
    platform::ManualClock::Sleep(seconds);
    if (on_sleep) on_sleep(Now().seconds_since_midnight);
  }
  std::function<void(double)> on_sleep;
};

std::string ZadozoLine(bool running) {
  return running ? "Zadozo running=Yes" : "Zadozo running=No ";
}

const char* kUnstartableZadozo = "Zadozo path=C:\\NOWHERE\\ZADOZO.EXE";

struct Warnings {
  int count = 0;
  std::string text, title;
};

void CaptureWarnings(RegistryWorld& w, Warnings& warnings) {
  w.ui.on_message_box = [&warnings](const std::string& text, const std::string& title) {
    ++warnings.count;
    warnings.text = text;
    warnings.title = title;
  };
}

TEST(SizeGuard, WithoutZadozoInstalledNoSizeIsExamined) {
  Watchdog dog(120);
  RegistryWorld w;  // any warning throws
  w.root.WriteFile(kStatusPath, StatusOfSize({"Zadozo running=No", "Zadozo path=   "}, 80000));
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  EXPECT_TRUE(w.reg->IsRunning("CAROB"));
}

TEST(SizeGuard, AtExactlyTheLimitNothingHappens) {
  Watchdog dog(120);
  RegistryWorld w;  // any warning throws
  const std::string status = StatusOfSize({ZadozoLine(false), kUnstartableZadozo}, 30720);
  ASSERT_EQ(status.size(), 30720u);
  w.root.WriteFile(kStatusPath, status);
  EXPECT_EQ(w.reg->GetLocalId(), "");
  EXPECT_EQ(w.Status(), status);
}

TEST(SizeGuard, ASecondOperationDoesNotLookAtTheSizeAgain) {
  Watchdog dog(120);
  RegistryWorld w;  // any warning throws
  w.root.WriteFile(kStatusPath, StatusOfSize({ZadozoLine(false), kUnstartableZadozo}, 1000));
  EXPECT_EQ(w.reg->GetLocalId(), "");
  w.root.WriteFile(kStatusPath, StatusOfSize({ZadozoLine(false), kUnstartableZadozo}, 90000));
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  EXPECT_EQ(w.reg->GetPulse(), 1000);
  EXPECT_TRUE(w.reg->IsRunning("CAROB"));
}

// "Zadozo" played by the test: it registers during the first wait, signs off
// at `stop_at` seconds into the guard, and shrinks the file at `shrink_at`.
struct PlayedZadozo {
  double stop_at;
  double shrink_at;
  size_t big_size;
};

struct GuardRun {
  Warnings warnings;
  double returned_after = 0;  // seconds of the manual clock
  int yields = 0;
  int yields_when_registered = -1;
  std::string status_after;
};

GuardRun RunPlayedGuard(const PlayedZadozo& z) {
  auto clock = std::make_shared<ScriptedClock>();
  RegistryWorld w({.clock = clock});
  GuardRun run;
  CaptureWarnings(w, run.warnings);
  const double start = clock->Now().seconds_since_midnight;
  auto status = [&](bool running, size_t size) {
    w.root.WriteFile(kStatusPath,
                     StatusOfSize({"Local ID=PC1", ZadozoLine(running), kUnstartableZadozo}, size));
  };
  status(false, z.big_size);
  bool registered = false, stopped = false, shrunk = false;
  w.ui.on_yield = [&] {
    ++run.yields;
    if (!registered) {
      registered = true;
      run.yields_when_registered = run.yields;
      status(true, z.big_size);
    }
  };
  clock->on_sleep = [&](double now) {
    double t = now - start;
    if (registered && !stopped && t >= z.stop_at) {
      stopped = true;
      status(false, shrunk ? 500 : z.big_size);
    }
    if (!shrunk && t >= z.shrink_at) {
      shrunk = true;
      status(registered && !stopped, 500);
    }
  };
  EXPECT_EQ(w.reg->GetLocalId(), "PC1");
  run.returned_after = clock->Now().seconds_since_midnight - start;
  run.status_after = w.Status();
  return run;
}

TEST(SizeGuard, KeepsWaitingWhileTheFileStaysAtTheWaitSize) {
  Watchdog dog(120);
  // "Zadozo" stops after 5 s but the file stays at 60000 bytes until 12 s.
  GuardRun run = RunPlayedGuard({5, 12, 60000});
  EXPECT_EQ(run.warnings.count, 1);
  EXPECT_EQ(run.warnings.title, "ORB STATUS subsystem");
  EXPECT_GE(run.returned_after, 12.0);
  EXPECT_LT(run.status_after.size(), 30720u);
  // Only the wait for the start yields; the wait for the file does not.
  EXPECT_EQ(run.yields_when_registered, 1);
  EXPECT_LE(run.yields, 40);
}

TEST(SizeGuard, BelowTheWaitSizeTheWaitEndsWhenZadozoStops) {
  Watchdog dog(120);
  // 40000 bytes: over the warning size, under the wait size. "Zadozo" stops
  // at 5 s without shrinking anything; the wait ends all the same.
  GuardRun run = RunPlayedGuard({5, 1e9, 40000});
  EXPECT_EQ(run.warnings.count, 1);
  EXPECT_GE(run.returned_after, 5.0);
  EXPECT_EQ(run.status_after.size(), 40000u);
}

TEST(SizeGuard, KeepsWaitingWhileZadozoIsRecordedRunning) {
  Watchdog dog(120);
  // The file is small at 3 s, but "Zadozo" is recorded running until 9 s.
  GuardRun run = RunPlayedGuard({9, 3, 60000});
  EXPECT_EQ(run.warnings.count, 1);
  EXPECT_GE(run.returned_after, 9.0);
}

// -- with a real "Zadozo"

// Writes a helper that acts as "Zadozo": it records itself running, shrinks
// the STATUS databank (dropping the filler entries, keeping the rest) and
// records itself not running. Stored as "zadozo", recorded as "ZADOZO.EXE".
void InstallZadozo(const RegistryWorld& w, bool slow) {
  const std::string f = w.root.Native(kStatusPath);
  std::string script = "#!/bin/sh\nf='" + f + "'\n";
  script += "sed -i 's/^Zadozo running=No *\\r$/Zadozo running=Yes\\r/' \"$f\"\n";
  if (slow) script += "sleep 1\n";
  script += "grep -v '^filler' \"$f\" > \"$f.new\" && mv \"$f.new\" \"$f\"\n";
  if (slow) script += "sleep 1\n";
  script += "sed -i 's/^Zadozo running=Yes\\r$/Zadozo running=No\\r/' \"$f\"\n";
  w.root.WriteFile("C:\\ORB\\ZADOZO\\zadozo", script);
  ::chmod(w.root.Native("C:\\ORB\\ZADOZO\\zadozo").c_str(), 0755);
}

void RunRealZadozo(bool slow, size_t size) {
  Watchdog dog(180);
  RegistryWorld w({.clock = std::make_shared<platform::SystemClock>()});
  Warnings warnings;
  CaptureWarnings(w, warnings);
  InstallZadozo(w, slow);
  w.root.WriteFile(kStatusPath,
                   StatusOfSize({"Local ID=PC1", "Pulse=250", "Zadozo running=No",
                                 "Zadozo path=C:\\ORB\\ZADOZO\\ZADOZO.EXE", "Zadozo ID=cleaner"},
                                size));

  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));

  EXPECT_EQ(warnings.count, 1);
  EXPECT_EQ(warnings.title, "ORB STATUS subsystem");
  EXPECT_EQ(warnings.text,
            "The STATUS databank size has been determined to be too big (over 30k), which would "
            "otherwise cause this application to stop responding. \r\n\r\nThis application will "
            "now wait until the error is repaired and then resume loading.\r\n\r\nPress OK to "
            "begin.");
  const std::string after = w.Status();
  EXPECT_EQ(after.find("filler"), std::string::npos);
  EXPECT_LE(after.size(), 30720u);
  for (const char* kept : {"Local ID=PC1\r\n", "Pulse=250\r\n", "Zadozo running=No\r\n",
                           "Zadozo path=C:\\ORB\\ZADOZO\\ZADOZO.EXE\r\n", "Zadozo ID=cleaner\r\n",
                           "CAROB running=Yes\r\n"})
    EXPECT_NE(after.find(kept), std::string::npos) << kept << " missing from:\n" << after;
  EXPECT_FALSE(w.reg->IsRunning("Zadozo"));
  EXPECT_EQ(w.reg->GetPulse(), 250);
}

TEST(SizeGuardWithZadozo, WarnsStartsZadozoAndResumesWhenTheFileIsSmall) {
  RunRealZadozo(/*slow=*/true, 60000);
}

TEST(SizeGuardWithZadozo, AZadozoThatFinishesBeforeTheFirstCheckDoesNotHangStartUp) {
  RunRealZadozo(/*slow=*/false, 30721);
}

}  // namespace
}  // namespace carob::testing
