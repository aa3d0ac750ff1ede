#include "platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace carob::platform {
namespace {

// Written only while no handler of ours is installed.
volatile sig_atomic_t g_write_fd = -1;

bool IsClose(int sig) { return sig == SIGTERM || sig == SIGINT || sig == SIGHUP; }

extern "C" void NoteSignal(int sig) {
  int saved_errno = errno;
  if (IsClose(sig)) NoteStop();
  int fd = g_write_fd;
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe drops the note; the loop has plenty waiting already.
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;  // see above
  }
  errno = saved_errno;
}

}  // namespace

// The handlers ours replaced, to put back.
struct SignalPipe::Saved {
  std::vector<std::pair<int, struct sigaction>> old;
};

SignalPipe::SignalPipe(SignalSet set) {
  ClearStop();
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  g_write_fd = write_fd_;
  saved_ = std::make_unique<Saved>();
  ok_ = true;
  struct sigaction sa {};
  sa.sa_handler = NoteSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : set == SignalSet::kWindow ? std::vector<int>{SIGUSR1, SIGTERM, SIGINT, SIGHUP}
                                           : std::vector<int>{SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(sig, &sa, &old) == 0) {
      saved_->old.emplace_back(sig, old);
    } else {
      ok_ = false;
    }
  }
}

SignalPipe::~SignalPipe() {
  if (saved_) {
    for (const auto& [sig, old] : saved_->old) ::sigaction(sig, &old, nullptr);
  }
  g_write_fd = -1;
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void SignalPipe::Wake() {
  if (write_fd_ < 0) return;
  unsigned char byte = 0;
  ssize_t ignored = ::write(write_fd_, &byte, 1);
  (void)ignored;  // a full pipe wakes the loop all the same
}

std::vector<SignalAction> SignalPipe::Drain() {
  std::vector<SignalAction> out;
  if (read_fd_ < 0) return out;
  unsigned char buf[64];
  for (;;) {
    ssize_t n = ::read(read_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == SIGUSR1) {
        out.push_back(SignalAction::kClick);
      } else if (IsClose(buf[i])) {
        out.push_back(SignalAction::kClose);
      }  // anything else is a wake-up
    }
  }
  return out;
}

bool SignalPipe::WaitReadable(double seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(seconds, 0.0)));
  // A signal caught by this thread interrupts poll; the rest of the time is
  // waited again.
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{read_fd_, POLLIN, 0};
    int n = ::poll(&p, ok_ ? 1 : 0, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (n > 0) return true;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) return false;
    if (left == 0) return false;
  }
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace carob::platform
