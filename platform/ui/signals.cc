#include "platform/ui/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace carob::platform::ui {
namespace {

constexpr int kSignals[4] = {SIGUSR1, SIGTERM, SIGINT, SIGHUP};

// Written only while no handler of ours is installed.
volatile sig_atomic_t g_write_fd = -1;

extern "C" void NoteSignal(int sig) {
  int saved_errno = errno;
  int fd = g_write_fd;
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe drops the note; the loop has plenty waiting already.
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

bool MakePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    int fl = ::fcntl(fds[i], F_GETFL);
    int fdfl = ::fcntl(fds[i], F_GETFD);
    if (fl < 0 || fdfl < 0 || ::fcntl(fds[i], F_SETFL, fl | O_NONBLOCK) != 0 ||
        ::fcntl(fds[i], F_SETFD, fdfl | FD_CLOEXEC) != 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return false;
    }
  }
  return true;
}

}  // namespace

struct SignalPipe::Saved {
  struct sigaction old[4];
};

SignalPipe::SignalPipe() {
  int fds[2];
  if (!MakePipe(fds)) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  g_write_fd = write_fd_;
  saved_ = std::make_unique<Saved>();
  ok_ = true;
  for (int i = 0; i < 4; ++i) {
    struct sigaction sa {};
    sa.sa_handler = NoteSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    installed_[i] = ::sigaction(kSignals[i], &sa, &saved_->old[i]) == 0;
    if (!installed_[i]) ok_ = false;
  }
}

SignalPipe::~SignalPipe() {
  for (int i = 0; i < 4; ++i) {
    if (installed_[i]) ::sigaction(kSignals[i], &saved_->old[i], nullptr);
  }
  g_write_fd = -1;
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void SignalPipe::Wake() {
  if (write_fd_ < 0) return;
  unsigned char byte = 0;
  ssize_t ignored = ::write(write_fd_, &byte, 1);
  (void)ignored;
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
      } else if (buf[i] == SIGTERM || buf[i] == SIGINT || buf[i] == SIGHUP) {
        out.push_back(SignalAction::kClose);
      }  // anything else is a wake-up
    }
  }
  return out;
}

}  // namespace carob::platform::ui
