// Process signals, waits that a stop cuts short, and the terminal check: the
// one place above which no code touches signal handling, sleeps in a loop or
// asks what standard input is.
//
// A caught signal never runs program code in its handler: the handler only
// writes the signal's number into a pipe (and, for a close signal, notes a
// stop), and the program acts on it at its own pace: the window's event loop
// watches the pipe's read end, orb's long-running commands wait on it.
//
//   carob's window    SignalPipe(SignalSet::kWindow): SIGUSR1 clicks the
//                     form's first button; SIGTERM, SIGINT, SIGHUP close it.
//   orb dispatch/talk StopSignals: SIGTERM, SIGINT and SIGHUP end the
//                     command's loop, which then signs off; WaitFor sleeps
//                     until a deadline, the stop or a Wake (orb talk's
//                     line reader), whichever comes first.
//
// Waits deeper down (a databank's lock, the registry's waits for another
// program) ask their Interaction between their looks (NoWindow()'s Closing()
// is StopRequested), so a close signal ends them too.
#pragma once

#include <memory>
#include <vector>

namespace carob::platform {

// What a caught signal asks for.
enum class SignalAction { kClick, kClose };

// The signals a SignalPipe catches.
enum class SignalSet {
  kWindow,  // SIGUSR1 (kClick); SIGTERM, SIGINT, SIGHUP (kClose)
  kStop,    // SIGTERM, SIGINT, SIGHUP (kClose); every other signal keeps its handling
};

class SignalPipe {
 public:
  // Creates the pipe and installs the handlers of `set`. One SignalPipe is
  // active at a time; the previous handlers come back when it is destroyed.
  // Creating one clears an earlier stop request (see StopRequested).
  explicit SignalPipe(SignalSet set = SignalSet::kWindow);
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // False when the pipe or the handlers could not be set up (signals then
  // keep their previous handling).
  bool ok() const { return ok_; }
  // The read end, for poll or the toolkit's file watch; -1 when not ok.
  int fd() const { return read_fd_; }
  // Reads every signal noted so far, in arrival order, without waiting.
  std::vector<SignalAction> Drain();
  // Makes the read end ready without noting a signal, to wake a loop that
  // waits on it.
  void Wake();
  // Sleeps until the read end is ready or `seconds` have passed; true when
  // it is ready. Without a pipe (not ok) it just sleeps.
  bool WaitReadable(double seconds);

 private:
  bool ok_ = false;
  int read_fd_ = -1;
  int write_fd_ = -1;
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// True once a close signal (SIGTERM, SIGINT, SIGHUP) has been caught by the
// SignalPipe that is active now or was last; for code deep in a loop that
// must stop between two steps.
bool StopRequested();
// For the systems' handlers: notes a close (safe inside a signal handler),
// and clears it when a SignalPipe is made.
void NoteStop();
void ClearStop();

// The stop of orb's long-running commands: while it lives, SIGTERM, SIGINT
// and SIGHUP do not end the process but ask the command to stop.
class StopSignals {
 public:
  StopSignals() : pipe_(SignalSet::kStop) {}
  // True once SIGTERM, SIGINT or SIGHUP arrived.
  bool requested() {
    for (SignalAction a : pipe_.Drain()) {
      if (a == SignalAction::kClose) requested_ = true;
    }
    // A stop noted by the handler whose byte the full pipe dropped counts too.
    if (pipe_.ok() && StopRequested()) requested_ = true;
    return requested_;
  }
  // Sleeps until `seconds` have passed, a stop arrives or Wake is called;
  // returns requested(). A Wake made since the last wait ended ends the
  // next one at once, so a wake that comes just before the wait is not lost.
  bool WaitFor(double seconds) {
    if (requested_ || (pipe_.ok() && StopRequested())) return requested();
    pipe_.WaitReadable(seconds);
    return requested();
  }
  // Ends a WaitFor early without asking for a stop; from any thread.
  void Wake() { pipe_.Wake(); }

 private:
  SignalPipe pipe_;
  bool requested_ = false;
};

// True when the process's standard input is a terminal (a person typing).
bool StdinIsTerminal();

}  // namespace carob::platform
