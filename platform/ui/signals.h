// Process signals for the window's event loop. The handlers only write the
// signal's number into a pipe; the event loop watches the pipe's read end
// and acts on what it reads, on the window's own thread.
#pragma once

#include <memory>
#include <vector>

namespace carob::platform::ui {

enum class SignalAction { kClick, kClose };

class SignalPipe {
 public:
  // Creates the pipe and installs handlers for SIGUSR1 (a click on the
  // form's first button) and SIGTERM, SIGINT, SIGHUP (close the window).
  // One SignalPipe is active at a time; the previous handlers come back
  // when it is destroyed.
  SignalPipe();
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

 private:
  bool ok_ = false;
  int read_fd_ = -1;
  int write_fd_ = -1;
  bool installed_[4] = {false, false, false, false};
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace carob::platform::ui
