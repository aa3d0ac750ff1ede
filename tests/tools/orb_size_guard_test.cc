// orb and the STATUS databank's size guard: the dispatcher and the console
// start "Zadozo", and a close signal ends their wait for it.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

// A computer whose STATUS databank is over the guard's size, with "Zadozo"
// installed at `zadozo_path_line`.
void Oversize(Computer& c, const std::string& zadozo_path_line) {
  c.root.WriteFile(kStatusPath,
                   StatusOfSize({"Pulse=50", "Zadozo running=No", zadozo_path_line}, 40000));
}

// The dispatcher and the console start "Zadozo" and wait for it: to sign on
// (here it cannot be started at all) and to finish (it signs on and never
// signs off). SIGTERM, SIGINT and SIGHUP each end either wait, and the
// program signs off.
TEST(OrbSizeGuard, ACloseSignalEndsTheWaitForZadozo) {
  struct Case {
    const char* command;
    bool signs_on;
    int sig;
  } cases[] = {
      {"dispatch", false, SIGTERM}, {"dispatch", true, SIGHUP}, {"dispatch", false, SIGINT},
      {"talk", false, SIGINT},      {"talk", true, SIGTERM},    {"talk", true, SIGHUP},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.command) + (k.signs_on ? ", Zadozo signed on" : ", not started") +
                 ", signal " + std::to_string(k.sig));
    Computer c;
    InstallZadozo(c.root, 0, /*finishes=*/false);
    Oversize(c, k.signs_on ? kZadozoPathLine : "Zadozo path=C:\\NOWHERE\\ZADOZO.EXE");
    const std::string app = k.command == std::string("dispatch") ? "RORU PO" : "User";
    std::vector<std::string> argv = {c.orb, k.command};
    if (app == "RORU PO") argv.push_back("--once");
    auto orb = c.Start(argv, /*pipe_input=*/true);
    ASSERT_TRUE(WaitUntil([&] {
      return orb->Err().find("ORB STATUS subsystem") != std::string::npos;
    })) << orb->Err();
    if (k.signs_on) {
      ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("Zadozo running") == "Yes"; }));
    }
    // Well inside the wait: it has gone round several times since.
    ASSERT_TRUE(WaitForPauses(orb->pid(), k.signs_on ? kPausesPastTheStartWait : kSomePauses))
        << orb->Err();
    ASSERT_TRUE(orb->Running()) << orb->Err();
    const auto sent = std::chrono::steady_clock::now();
    orb->Signal(k.sig);
    EXPECT_EQ(orb->Wait(30), 0) << orb->Err();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count(), 3);
    EXPECT_EQ(c.StatusValue(app + " running"), "No");
  }
}

}  // namespace
}  // namespace carob::testing
