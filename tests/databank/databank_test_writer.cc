// A writer process for the databank's multi-process tests.
//
//   databank_test_writer ROOT mix BANK ID ROUNDS
//       ROUNDS rounds of: append a new key, overwrite a key of its own in
//       place or by rewrite, and (every third round) remove and re-add a key.
//       Prints "done" at the end.
//   databank_test_writer ROOT churn BANK
//       rewrites its own key for ever (values that outgrow their room,
//       removals), until it is killed.
//   databank_test_writer ROOT hold SWAP
//       takes the lock SWAP, prints "locked", holds it until SIGUSR1 (on
//       Windows, which has no such signal: until a line on standard input), prints
//       "intact" when the lock file is still there and still held by it,
//       then releases it and prints "released".
//   databank_test_writer ROOT holdforever SWAP
//       takes the lock SWAP, prints "locked" and waits to be killed.
//   databank_test_writer ROOT adopt SWAP
//       as hold, but takes over the hold of SWAP, a lock file left by a dead
//       holder, the way an append does; releasing leaves the file.
//
// ROOT is the ORB root; the program runs from C:\ORB\CAROB in it. Every
// process ends itself after a minute at the latest.
#include <unistd.h>

#include <signal.h>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>
#include <cstdlib>
#include <string>

#include "databank/databank.h"
#include "platform/env.h"

using carob::databank::Databank;

namespace {

std::string Value(int id, int round, int length) {
  std::string v = "w" + std::to_string(id) + "r" + std::to_string(round) + "_";
  while (static_cast<int>(v.size()) < length) v += static_cast<char>('a' + (round + v.size()) % 26);
  return v;
}

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(60);
  if (argc < 3) return 2;
  carob::platform::EnvOptions o;
  o.orb_root = argv[1];
  o.program_path = std::string(argv[1]) + "/c/ORB/CAROB/databank_test_writer";
  auto env = carob::platform::NewSystemEnv(o);
  Databank db(*env);
  const std::string mode = argv[2];

  if (mode == "mix" && argc == 6) {
    const std::string bank = argv[3];
    const int id = std::atoi(argv[4]);
    const int rounds = std::atoi(argv[5]);
    const std::string me = "w" + std::to_string(id);
    // A write that fails is told on standard error, so a test that misses
    // an entry shows why.
    auto check = [](const carob::platform::Status& s, const std::string& key) {
      if (!s.ok()) std::fprintf(stderr, "failed %s: %s\n", key.c_str(), s.message().c_str());
    };
    for (int i = 0; i < rounds; ++i) {
      const std::string key = me + "_" + std::to_string(i);
      check(db.Write(bank, key, "v" + std::to_string(i)), key);
      // Lengths 3..17 in turn: shorter values are inscribed, longer ones
      // outgrow the room and rewrite the file.
      check(db.Write(bank, me + "_fix", Value(id, i, 3 + (i * 7) % 15)), me + "_fix");
      if (i % 3 == 0) {
        check(db.Remove(bank, me + "_tmp"), me + "_tmp (removal)");
        check(db.Write(bank, me + "_tmp", "t" + std::to_string(i)), me + "_tmp");
      }
    }
    Say("done");
    return 0;
  }
  if (mode == "churn" && argc == 4) {
    const std::string bank = argv[3];
    for (int i = 0;; ++i) {
      if (i % 5 == 4) {
        (void)db.Remove(bank, "churn");  // killed mid-write; others judge the file
      } else {
        (void)db.Write(bank, "churn", Value(9, i, 4 + i % 40));  // likewise
      }
    }
  }
  if ((mode == "hold" || mode == "holdforever" || mode == "adopt") && argc == 4) {
#ifndef _WIN32
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
#endif
    std::unique_ptr<carob::platform::LockFile> lock;
    if (!(mode == "adopt" ? env->AdoptLock(argv[3], &lock) : env->TryLock(argv[3], &lock))) {
      return 1;
    }
    Say("locked");
    if (mode == "holdforever") {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
#ifdef _WIN32
    std::string line;
    std::getline(std::cin, line);
#else
    int sig = 0;
    sigwait(&usr1, &sig);
#endif
    // Still ours: the file exists and another look finds it held.
    if (env->ProbeLock(argv[3]) == carob::platform::LockState::kHeld) Say("intact");
    lock->Release();
    Say("released");
    return 0;
  }
  return 2;
}
