// Programs the tests start as real processes: one process helper (a POSIX
// and a Windows body where the systems differ), one wait helper, and one way
// to run the family's programs over a temporary ORB root.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <thread>

#include "tests/support/world.h"  // and the standard headers it includes

namespace carob::testing {

inline const std::string kBinDir = CAROB_BIN_DIR;

// Polls `done` until it holds or `seconds` have passed (a guard against a
// hung test, never a measure).
inline bool WaitUntil(const std::function<bool()>& done, double seconds = 60, int poll_ms = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return true;
}

// What to start: argv[0] is a path, or a name searched on PATH. In `env`,
// "NAME=value" adds or replaces NAME, "NAME=" removes it.
struct Launch {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  bool pipe_input = false;  // POSIX only; otherwise standard input is empty
  double seconds = 600;     // the deadline, from the start
};

// This process's environment with Launch::env's changes (names case-blind).
inline std::vector<std::string> Environment(const std::vector<std::string>& changes) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) vars.push_back(*e);
  for (const std::string& change : changes) {
    const std::string name = Upper(change.substr(0, change.find('=') + 1));
    std::erase_if(vars, [&](const std::string& v) { return Upper(v).rfind(name, 0) == 0; });
    if (change.size() > name.size()) vars.push_back(change);
  }
  std::ranges::sort(vars, {}, Upper);  // the order Windows wants
  return vars;
}

// A started program, killed with all it started (its process group, or its
// job object on Windows) at its deadline or with its owner, so a fault never
// hangs a test. Its standard output and error go to files of its own (read
// at any time with Out and Err); its standard input is a pipe (Feed,
// CloseInput) or empty.
class Process {
 public:
  explicit Process(Launch launch) : deadline_(Clock::now() + Seconds(launch.seconds)) {
    const std::string out_file = files_.path() + "/out", err_file = files_.path() + "/err";
    std::vector<std::string> vars = Environment(launch.env);
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    auto open = [&](const std::string& path, DWORD access, DWORD how) {
      return ::CreateFileA(path.c_str(), access, kShareAll, &inherited, how, 0, nullptr);
    };
    HANDLE out = open(out_file, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = open(err_file, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE in = open("NUL", GENERIC_READ, OPEN_EXISTING);
    std::string command, environment;
    for (const std::string& a : launch.argv) command += (command.empty() ? "" : " ") + Quoted(a);
    for (const std::string& v : vars) environment += v + '\0';
    environment += '\0';
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION started{};
    job_ = ::CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                         CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, environment.data(), nullptr,
                         &startup, &started)) {
      ::AssignProcessToJobObject(job_, started.hProcess);
      ::ResumeThread(started.hThread);
      ::CloseHandle(started.hThread);
      process_ = started.hProcess;
      pid_ = static_cast<int>(started.dwProcessId);
    }
    for (HANDLE h : {out, err, in}) {
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
#else
    int in_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (launch.pipe_input && ::pipe2(in_pipe, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawnattr_t attr;  // a group of its own, no signal blocked or ignored
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    auto pointers = [](std::vector<std::string>& strings) {
      std::vector<char*> out;
      for (std::string& s : strings) out.push_back(s.data());
      out.push_back(nullptr);
      return out;
    };
    std::vector<char*> argv = pointers(launch.argv), envp = pointers(vars);
    if (::posix_spawnp(&pid_, argv[0], &fa, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (in_pipe[0] >= 0) ::close(in_pipe[0]);
    in_ = in_pipe[1];
#endif
  }
  explicit Process(std::vector<std::string> argv) : Process(Launch{std::move(argv), {}}) {}
  ~Process() {
    Kill();
#ifdef _WIN32
    for (HANDLE h : {process_, job_}) {
      if (h != nullptr) ::CloseHandle(h);
    }
#else
    CloseInput();
#endif
  }

  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }

  // True until the program has ended (it is reaped then).
  bool Running() {
    if (pid_ <= 0 || ended_) return false;
#ifdef _WIN32
    DWORD code = 0;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
    ::GetExitCodeProcess(process_, &code);
    code_ = static_cast<int>(code);
#else
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) != pid_) return true;
    code_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
#endif
    ended_ = true;
    return false;
  }
#ifndef _WIN32  // no test of the Windows suite feeds input or sends a signal
  void Feed(const std::string& bytes) {  // a blocking write to a pipe writes it all
    (void)!TEMP_FAILURE_RETRY(::write(in_, bytes.data(), bytes.size()));
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  void Signal(int sig) {
    if (Running()) ::kill(pid_, sig);
  }
#endif
  // Kills the program with all it started, and reaps it.
  void Kill() {
    if (!Running()) return;
#ifdef _WIN32
    ::TerminateJobObject(job_, 137);
    ::TerminateProcess(process_, 137);
    ::WaitForSingleObject(process_, 10000);
#else
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    TEMP_FAILURE_RETRY(::waitpid(pid_, nullptr, 0));
#endif
    ended_ = true;
    code_ = -1;
  }

  // The exit code (128 + the signal for a killed POSIX program) once it has
  // ended within `seconds` (at most until the deadline); else it is killed: -1.
  int Wait(double seconds = 1e9) {
    WaitUntil([&] { return !Running(); }, std::min(seconds, SecondsLeft()), 5);
    Kill();
    return code_;
  }

  std::string Out() const { return ReadNative(files_.path() + "/out"); }
  std::string Err() const { return ReadNative(files_.path() + "/err"); }

  // The next line of standard output without its end (CR LF or LF), waiting
  // for it at most until the deadline; "" once the output ended without one.
  std::string ReadLine() {
    std::string line;
    WaitUntil([&] {
      const bool ended = !Running();
      const std::string out = Out();
      const size_t nl = out.find('\n', read_);
      if (nl == std::string::npos) return ended;
      line = SplitLines(out.substr(read_, nl + 1 - read_))[0];
      read_ = nl + 1;
      return true;
    }, SecondsLeft(), 1);
    return line;
  }

 private:
  using Clock = std::chrono::steady_clock;
  using Seconds = std::chrono::duration<double>;
  double SecondsLeft() const { return Seconds(deadline_ - Clock::now()).count(); }

#ifdef _WIN32
  // One argument quoted as the C runtime's parser reads it back.
  static std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      out.push_back(c);
    }
    return out.append(backslashes * 2, '\\') + "\"";
  }
  HANDLE process_ = nullptr, job_ = nullptr;
#else
  int in_ = -1;
#endif
  std::chrono::time_point<Clock, Seconds> deadline_;
  TempRoot files_;  // the output files
  int pid_ = -1;
  bool ended_ = false;
  int code_ = -1;
  size_t read_ = 0;
};

// What a program that ran to its end left; `code` as Process::Wait.
#ifndef _WIN32
// How often the main thread of process `pid` has given up the processor of
// its own accord: each pause of a wait loop counts one. -1 once it has gone.
inline long PausesSoFar(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0 && line.find("zombie") != std::string::npos) return -1;
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
  }
  return -1;
}

// Returns once process `pid` has paused `pauses` more times from now, the
// positive sign that its wait went round so often; false when it ended
// first or the deadline passed.
inline bool WaitForPauses(pid_t pid, long pauses, double seconds = 60) {
  const long from = PausesSoFar(pid);
  long now = from;
  WaitUntil([&] { return (now = PausesSoFar(pid)) < 0 || now >= from + pauses; }, seconds, 5);
  return from >= 0 && now >= from + pauses;
}
#endif

struct Ran {
  int code = -1;
  std::string out, err;
};

inline Ran Run(Launch launch) {
  Process p(std::move(launch));
  return {p.Wait(), p.Out(), p.Err()};  // in this order: a braced list is read left to right
}

// A program of the family started over `root`: ORB_ROOT names the root, and
// the variables that would lead it elsewhere are left out.
inline Launch InRoot(const TempRoot& root, std::vector<std::string> argv, bool pipe_input = false) {
  return {std::move(argv),
          {"ORB_ROOT=" + root.path(), "DISPLAY=", "WAYLAND_DISPLAY=", "ORB=", "TEMP=", "TMP="},
          pipe_input};
}

// Copies a program of the build folder ("orb", "carob") into a Windows-style
// folder of the root; its native path there.
inline std::string Install(const TempRoot& root, std::string program,
                           const std::string& windows_folder) {
#ifdef _WIN32
  program += ".exe";
#endif
  const std::string to = root.MadeFor(windows_folder + "\\" + program);
  std::error_code ec;
  std::filesystem::copy_file(kBinDir + "/" + program, to,
                             std::filesystem::copy_options::overwrite_existing, ec);
  return to;
}

// Runs `orb ARGS` over the root to its end: the one built, or the copy `orb`.
inline Ran RunOrb(const TempRoot& root, std::vector<std::string> args,
                  const std::string& orb = kBinDir + "/orb") {
  std::vector<std::string> argv{orb};  // not an insert at the front: GCC 12 warns falsely
  std::move(args.begin(), args.end(), std::back_inserter(argv));
  return Run(InRoot(root, std::move(argv)));
}

// A stand-in for the maintenance program "Zadozo" (C:\ORB\ZADOZO\zadozo,
// recorded as ZADOZO.EXE by kZadozoPathLine in STATUS). Started, it notes its
// start in kZadozoStarted, waits `sign_on_after` seconds, records itself
// running, drops StatusOfSize's fillers and, if it `finishes`, records itself
// not running.
inline constexpr const char* kZadozoPathLine = "Zadozo path=C:\\ORB\\ZADOZO\\ZADOZO.EXE";
inline constexpr const char* kZadozoStarted = "C:\\ORB\\ZADOZO\\started";
inline void InstallZadozo(const TempRoot& root, double sign_on_after, bool finishes) {
  const std::string f = root.Native(kStatusPath);
  std::string script = "#!/bin/sh\nf='" + f + "'\n: > '" + root.Native(kZadozoStarted) + "'\n";
  script += "sleep " + std::to_string(sign_on_after) + "\n";
  script += "sed -i 's/^Zadozo running=No *\\r$/Zadozo running=Yes\\r/' \"$f\"\n";
  script += "grep -v '^filler' \"$f\" > \"$f.new\" && mv \"$f.new\" \"$f\"\n";
  if (finishes) script += "sed -i 's/^Zadozo running=Yes\\r$/Zadozo running=No\\r/' \"$f\"\n";
  const std::string to = root.MadeFor("C:\\ORB\\ZADOZO\\zadozo");
  std::ofstream(to, std::ios::binary | std::ios::trunc) << script;
  std::filesystem::permissions(to, std::filesystem::perms::owner_all);
}

#ifndef _WIN32
// Pauses of a program (see PausesSoFar) that show it well inside a wait: a
// few turns of the wait or of its timer; and, once "Zadozo" runs, enough
// for the size guard's wait for it to start to see so (it looks when the
// clock has passed the next whole second, at most 1.5 s or 30 steps of
// 50 ms later) and for the wait for it to finish to go round several times.
inline constexpr long kSomePauses = 6;
inline constexpr long kPausesPastTheStartWait = 40;
#endif

using EntryLines = std::vector<std::string>;  // the text lines of a queue entry

// A computer of the family: carob installed in C:\ORB\CAROB, orb in
// C:\ORB\TOOLS, the STATUS databank recorded in C:\FileLoc beside the
// temporary folder, with a quick Pulse.
struct Computer : World {
  explicit Computer(int pulse_ms = 50)
      : World({.fileloc = FileLocWithStatus()}),
        orb(Install(root, "orb", "C:\\ORB\\TOOLS")),
        carob(Install(root, "carob", "C:\\ORB\\CAROB")) {
    AddStatus("Pulse", std::to_string(pulse_ms));
  }

  std::optional<std::string> StatusValue(const std::string& key) const {
    return BankValue(Status(), key);
  }
  std::optional<std::string> FileLocValue(const std::string& key) const {
    return BankValue(root.ReadFile("C:\\FileLoc"), key);
  }
  void AddStatus(const std::string& key, const std::string& value) {
    root.Append(kStatusPath, key + "=" + value + "\r\n");
  }

  std::vector<EntryLines> Entries(const std::string& windows_path) const {
    std::vector<EntryLines> out;
    for (QueueEntry& e : ParseQueue(root.ReadFile(windows_path))) out.push_back(std::move(e.lines));
    return out;
  }
  void AppendEntry(const std::string& windows_path, const std::string& text) {
    root.Append(windows_path, RozEntry(text));
  }

  std::unique_ptr<Process> Start(std::vector<std::string> argv, bool pipe_input = false) {
    return std::make_unique<Process>(InRoot(root, std::move(argv), pipe_input));
  }
  Ran RunOrb(std::vector<std::string> args) { return testing::RunOrb(root, std::move(args), orb); }

  const std::string orb, carob;  // where they are installed
};

}  // namespace carob::testing
