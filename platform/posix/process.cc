#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

namespace {

// The first line of a file under /proc ("" when it cannot be read).
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The last part of the control group this process runs in, from the
// unified hierarchy's line "0::/user.slice/.../app.slice/carob.service".
std::string ControlGroupUnit() {
  std::ifstream in("/proc/self/cgroup");
  std::string line, unit;
  while (std::getline(in, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    unit = line.substr(line.find_last_of('/') + 1);
    if (line.find("/user@") != std::string::npos && unit.size() > 8 &&
        unit.compare(unit.size() - 8, 8, ".service") == 0) {
      unit = "user:" + unit;
    }
  }
  return unit;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string CommandLineOfSelf() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string line = bytes.str();
  while (!line.empty() && line.back() == '\0') line.pop_back();
  for (char& c : line) {
    if (c == '\0') c = ' ';
  }
  return line;
}

std::string StartedHowSelf() {
  // systemd names the unit a process runs in: a service, or the scope a
  // desktop session makes for each program it launches from a menu entry
  // ("app-gnome-carob-4321.scope").
  const std::string unit = ControlGroupUnit();
  if (unit.rfind("user:", 0) == 0) return "the user service " + unit.substr(5);
  if (EndsWith(unit, ".service") && unit.rfind("user@", 0) != 0) return "the service " + unit;
  const pid_t parent = ::getppid();
  std::string shell = FirstLine("/proc/" + std::to_string(parent) + "/comm");
  shell += (shell.empty() ? "process " : ", process ") + std::to_string(parent);
  // A terminal comes before the desktop: a shell in a terminal that was
  // itself launched from the desktop inherits that launch's traces.
  if (const char* tty = ::isatty(STDIN_FILENO) ? ::ttyname(STDIN_FILENO) : nullptr) {
    return shell + ", on the terminal " + tty;
  }
  // GLib's launchers name the desktop entry they started from.
  if (const char* entry = std::getenv("GIO_LAUNCHED_DESKTOP_FILE"); entry && *entry) {
    std::string name = entry;
    return "the desktop entry " + name.substr(name.find_last_of('/') + 1);
  }
  if (unit.rfind("app-", 0) == 0 && EndsWith(unit, ".scope")) return "the desktop (" + unit + ")";
  return shell;
}

bool ProcessAliveNative(int pid) {
  // Signal 0 only asks: ESRCH is the one answer that says "none".
  if (pid <= 0) return true;
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

int StopProcessNative(int pid) {
  if (pid <= 0) return ESRCH;
  return ::kill(pid, SIGTERM) == 0 ? 0 : errno;
}

}  // namespace carob::platform::posix
