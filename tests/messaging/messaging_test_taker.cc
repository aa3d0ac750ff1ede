// A queue taker process for the messaging tests.
//
//   messaging_test_taker ROOT QUEUE [COMPUTER]
//       claims QUEUE (a Windows-style path), marks its top entry handled (as
//       a taker does once it handed the entry on), prints "claimed" and
//       waits to be killed. COMPUTER, when given, is the name of the
//       computer it says it runs on.
//
// ROOT is the ORB root; the program runs from C:\ORB\CAROB in it and ends
// itself after a minute at the latest.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace {

// The real Env under another computer's name.
class Elsewhere : public carob::platform::EnvWrapper {
 public:
  Elsewhere(Env& target, std::string computer) : EnvWrapper(target), computer_(std::move(computer)) {}
  std::string HostName() const override { return computer_; }

 private:
  std::string computer_;
};

}  // namespace

int main(int argc, char** argv) {
  ::alarm(60);
  if (argc < 3 || argc > 4) return 2;
  carob::platform::EnvOptions o;
  o.orb_root = argv[1];
  o.program_path = std::string(argv[1]) + "/c/ORB/CAROB/messaging_test_taker";
  auto real = carob::platform::NewPosixEnv(o);
  Elsewhere elsewhere(*real, argc == 4 ? argv[3] : real->HostName());
  carob::databank::Databank db(elsewhere);
  carob::registry::Registry reg(elsewhere, db);
  carob::messaging::Messaging msg(elsewhere, db, reg);
  if (carob::platform::Status s = msg.ClaimQueue(argv[2]); !s) {
    std::fprintf(stderr, "%s\n", s.message().c_str());
    return 1;
  }
  if (carob::platform::Status s = msg.MarkHandled(0); !s) {
    std::fprintf(stderr, "%s\n", s.message().c_str());
    return 1;
  }
  std::printf("claimed\n");
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
