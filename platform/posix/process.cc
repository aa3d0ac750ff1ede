#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/file.h"

namespace carob::platform::posix {

int StartDetached(const std::string& native_exe) {
  struct stat st {};
  if (::stat(native_exe.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;
  if (::access(native_exe.c_str(), X_OK) != 0) return errno;

  // Everything the children need is prepared before fork(): after it only
  // async-signal-safe calls are made.
  std::string path = native_exe;
  char* argv[] = {path.data(), nullptr};

  // The grandchild reports a failed exec through this pipe; a successful
  // exec closes it (close-on-exec) and the parent reads end-of-file.
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return errno;
  Fd read_end(pipe_fds[0]);
  Fd write_end(pipe_fds[1]);

  pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    // Intermediate child: a new session, then a grandchild that is adopted
    // by init once this child exits, so no zombie is left behind.
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) {
      int err = errno;
      (void)!::write(pipe_fds[1], &err, sizeof err);  // nothing more can be done here
      ::_exit(1);
    }
    if (grandchild == 0) {
      int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd >= 0) {
        ::dup2(null_fd, STDIN_FILENO);
        if (null_fd != STDIN_FILENO) ::close(null_fd);
      }
      ::execv(path.data(), argv);
      int err = errno;
      (void)!::write(pipe_fds[1], &err, sizeof err);  // nothing more can be done here
      ::_exit(127);
    }
    ::_exit(0);
  }
  write_end.Reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n = RetryOnEintr([&] { return ::read(read_end.get(), &err, sizeof err); });
  // Nothing read: the exec succeeded; otherwise the child sent its errno.
  if (n == 0) return 0;
  return n == static_cast<ssize_t>(sizeof err) && err != 0 ? err : ECHILD;
}

}  // namespace carob::platform::posix
