// Support for the family's end-to-end tests: real `orb` and `carob`
// processes run over a temporary ORB_ROOT. Every child runs in a process
// group of its own and is killed (with its group) when it outlives its
// deadline or its owner, so a fault never leaves a test hanging.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/environment.h"
#include "tests/support/test_env.h"


namespace carob::testing {

inline const std::string kBinDir = CAROB_BIN_DIR;
inline const std::string kSourceDir = CAROB_SOURCE_DIR;

// Polls `done` every 20 ms until it holds or `seconds` have passed.
inline bool WaitUntil(const std::function<bool()>& done, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

inline std::string ReadNative(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A child process. Its standard input is a pipe (written with Feed, closed
// with CloseInput) or /dev/null; its standard output and error go to files.
class Child {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::map<std::string, std::string> set_env;  // added or replaced
    std::vector<std::string> unset_env;
    bool pipe_input = false;
    std::string out_path, err_path;
    std::string cwd;
  };

  explicit Child(Options o) : o_(std::move(o)) {
    int in_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (o_.pipe_input && ::pipe(in_pipe) == 0) {
      posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
      posix_spawn_file_actions_addclose(&fa, in_pipe[0]);
      posix_spawn_file_actions_addclose(&fa, in_pipe[1]);
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 1, o_.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, o_.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!o_.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, o_.cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);

    std::vector<std::pair<std::string, std::string>> set(o_.set_env.begin(), o_.set_env.end());
    std::vector<std::string> env_strings = ChildEnvironment(set, o_.unset_env);
    std::vector<char*> envp = CStrings(env_strings);
    std::vector<char*> argv = CStrings(o_.argv);

    if (posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (in_pipe[0] >= 0) {
      ::close(in_pipe[0]);
      in_fd_ = in_pipe[1];
    }
  }

  ~Child() {
    CloseInput();
    if (Running()) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      int st;
      ::waitpid(pid_, &st, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void Feed(const std::string& bytes) {
    if (in_fd_ < 0) return;
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = ::write(in_fd_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
  }
  void CloseInput() {
    if (in_fd_ >= 0) ::close(in_fd_);
    in_fd_ = -1;
  }

  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = st;
      return false;
    }
    return r == 0;
  }

  void Signal(int sig) {
    if (Running()) ::kill(pid_, sig);
  }

  // The exit code once the child has ended within `seconds`; otherwise the
  // child (and its group) is killed and nullopt comes back.
  std::optional<int> Wait(double seconds) {
    if (pid_ <= 0) return std::nullopt;
    WaitUntil([this] { return !Running(); }, seconds);
    if (Running()) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      int st;
      ::waitpid(pid_, &st, 0);
      exited_ = true;
      return std::nullopt;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return 128 + (WIFSIGNALED(status_) ? WTERMSIG(status_) : 0);
  }

  std::string Out() const { return ReadNative(o_.out_path); }
  std::string Err() const { return ReadNative(o_.err_path); }

 private:
  Options o_;
  pid_t pid_ = -1;
  int in_fd_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// One entry of a ROZ queue file: its text lines (CR LF removed).
using Lines = std::vector<std::string>;

// The entries of a queue file as a reader independent of the messaging layer
// sees them: a line beginning with "---" starts an entry.
inline std::vector<Lines> QueueEntries(const std::string& bytes) {
  std::vector<Lines> entries;
  std::string line;
  std::istringstream in(bytes);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("---", 0) == 0) {
      entries.emplace_back();
    } else {
      if (entries.empty()) entries.emplace_back();
      entries.back().push_back(line);
    }
  }
  return entries;
}

inline std::string JoinLines(const Lines& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += (i ? "\n" : "") + lines[i];
  return s;
}

// Value of a key in a databank file (case-blind key, blanks trimmed), or
// nullopt when the key is absent.
inline std::optional<std::string> BankValue(const std::string& bytes, const std::string& key) {
  auto trim = [](std::string s) {
    size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return std::string();
    size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
  };
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  std::istringstream in(bytes);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (upper(trim(line.substr(0, eq))) == upper(trim(key))) return trim(line.substr(eq + 1));
  }
  return std::nullopt;
}

// A computer of the family in a temporary ORB_ROOT: carob installed in
// C:\ORB\CAROB, orb in C:\ORB\TOOLS, the temporary folder C:\TEMP recorded
// in C:\FileLoc and a quick Pulse in the STATUS databank.
class Computer {
 public:
  explicit Computer(int pulse_ms = 50) {
    root_.MakeFolder("C:\\TEMP");
    root_.MakeFolder("C:\\ORB\\CAROB");
    root_.MakeFolder("C:\\ORB\\TOOLS");
    Install(kBinDir + "/orb", "C:\\ORB\\TOOLS\\orb");
    Install(kBinDir + "/carob", "C:\\ORB\\CAROB\\carob");
    SetFileLoc("Temporary path", "C:\\TEMP");
    SetFileLoc("STATUS", "C:\\TEMP\\STATUS");
    root_.WriteFile("C:\\TEMP\\STATUS", "Pulse=" + std::to_string(pulse_ms) + "\r\n");
  }

  TempRoot& root() { return root_; }
  std::string FileLoc() const { return root_.ReadFile("C:\\FileLoc"); }
  std::string Status() const { return root_.ReadFile("C:\\TEMP\\STATUS"); }
  std::optional<std::string> StatusValue(const std::string& key) const {
    return BankValue(Status(), key);
  }
  std::optional<std::string> FileLocValue(const std::string& key) const {
    return BankValue(FileLoc(), key);
  }

  // Adds a line to C:\FileLoc (before any program of the family ran, or for
  // a key no program has written).
  void SetFileLoc(const std::string& key, const std::string& value) {
    Append("C:\\FileLoc", key + "=" + value + "\r\n");
  }
  void AddStatus(const std::string& key, const std::string& value) {
    Append("C:\\TEMP\\STATUS", key + "=" + value + "\r\n");
  }
  // Appends bytes in one write at the end of a file (created when missing),
  // as the programs of the family append, so that a running program that
  // rebuilds the file meanwhile loses nothing.
  void Append(const std::string& windows_path, const std::string& bytes) const {
    std::filesystem::path p = root_.Native(windows_path);
    std::filesystem::create_directories(p.parent_path());
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    (void)n;
    ::close(fd);
  }

  std::vector<Lines> Entries(const std::string& windows_path) const {
    if (!root_.Exists(windows_path)) return {};
    return QueueEntries(root_.ReadFile(windows_path));
  }
  // Appends a ROZ entry as any program of the family writes it.
  void AppendEntry(const std::string& windows_path, const std::string& text) const {
    Append(windows_path, "--- Entry by ROZ Default on 12-07-2026 08:29:45\r\n" + text + "\r\n");
  }

  std::unique_ptr<Child> Start(std::vector<std::string> argv, bool pipe_input = false,
                               std::map<std::string, std::string> extra_env = {}) {
    Child::Options o;
    o.argv = std::move(argv);
    o.set_env = std::move(extra_env);
    o.set_env["ORB_ROOT"] = root_.path();
    o.unset_env = {"DISPLAY", "WAYLAND_DISPLAY", "ORB", "TEMP", "TMP"};
    o.pipe_input = pipe_input;
    int n = ++children_;
    o.out_path = root_.path() + "/child" + std::to_string(n) + ".out";
    o.err_path = root_.path() + "/child" + std::to_string(n) + ".err";
    return std::make_unique<Child>(std::move(o));
  }
  std::string Orb() const { return root_.Native("C:\\ORB\\TOOLS\\orb"); }
  std::string Carob() const { return root_.Native("C:\\ORB\\CAROB\\carob"); }

  // Runs `orb ARGS` to its end (at most `seconds`).
  struct Result {
    std::optional<int> code;
    std::string out, err;
  };
  Result RunOrb(std::vector<std::string> args, double seconds = 30) {
    args.insert(args.begin(), Orb());
    auto child = Start(std::move(args));
    Result r;
    r.code = child->Wait(seconds);
    r.out = child->Out();
    r.err = child->Err();
    return r;
  }

 private:
  void Install(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, root_.Native(to),
                               std::filesystem::copy_options::overwrite_existing, ec);
    std::filesystem::permissions(root_.Native(to), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }

  TempRoot root_;
  int children_ = 0;
};

}  // namespace carob::testing
