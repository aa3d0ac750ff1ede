// The Process of the Windows build (see process.h): the same contract over
// CreateProcess. Standard output and error go to files of its own, standard
// input is a pipe or NUL, and the program runs in a job object, so that
// killing it (at its deadline or with its owner) ends every process it
// started as well. Windows has no signals; tests that send them are POSIX's.
#pragma once

#include <windows.h>
// Names of ours that the system's headers define as macros.
#undef Yield
#undef MessageBox
#undef SendMessage
#undef PostMessage
#undef GetMessage
#undef CopyFile
#undef MoveFile
#undef DeleteFile
#undef CreateFile

#include <chrono>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/world.h"

namespace carob::testing {

namespace win_process {

// One argument quoted as the C runtime's parser reads it back.
inline std::string Quoted(const std::string& arg) {
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
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// This process's environment with `changes` applied ("NAME=value" sets,
// "NAME=" removes), as a block for CreateProcess.
inline std::string EnvironmentBlock(const std::vector<std::string>& changes) {
  std::map<std::string, std::string> vars;  // upper-cased name -> "Name=value"
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(c & 0xff));
    return s;
  };
  if (char* block = ::GetEnvironmentStringsA()) {
    for (const char* v = block; *v; v += std::strlen(v) + 1) {
      std::string entry = v;
      size_t eq = entry.find('=', 1);
      if (eq != std::string::npos) vars[upper(entry.substr(0, eq))] = entry;
    }
    ::FreeEnvironmentStringsA(block);
  }
  for (const std::string& c : changes) {
    size_t eq = c.find('=');
    if (eq == std::string::npos) continue;
    if (eq + 1 == c.size()) {
      vars.erase(upper(c.substr(0, eq)));
    } else {
      vars[upper(c.substr(0, eq))] = c;
    }
  }
  std::string out;
  for (const auto& [name, entry] : vars) out += entry + '\0';
  return out + '\0';
}

inline HANDLE Inheritable(HANDLE h) {
  ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return h;
}

}  // namespace win_process

class Process {
 public:
  explicit Process(Launch launch) : deadline_(Clock::now() + Seconds(launch.seconds)) {
    const std::string out_file = files_.path() + "\\out", err_file = files_.path() + "\\err";
    auto output = [](const std::string& path) {
      return win_process::Inheritable(::CreateFileA(
          path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    HANDLE out = output(out_file), err = output(err_file);
    HANDLE in_read = INVALID_HANDLE_VALUE;
    if (launch.pipe_input && ::CreatePipe(&in_read, &in_write_, nullptr, 0)) {
      win_process::Inheritable(in_read);
    } else {
      in_read = win_process::Inheritable(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                       nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::string command;
    for (const std::string& a : launch.argv) command += (command.empty() ? "" : " ") + win_process::Quoted(a);
    std::string environment = win_process::EnvironmentBlock(launch.env);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION started{};
    job_ = ::CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job_) ::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                         CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, environment.data(), nullptr,
                         &startup, &started)) {
      if (job_) ::AssignProcessToJobObject(job_, started.hProcess);
      ::ResumeThread(started.hThread);
      ::CloseHandle(started.hThread);
      process_ = started.hProcess;
      pid_ = static_cast<int>(started.dwProcessId);
    }
    for (HANDLE h : {out, err, in_read}) {
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
  }
  explicit Process(std::vector<std::string> argv) : Process(Launch{std::move(argv), {}}) {}
  ~Process() {
    CloseInput();
    Kill();
    if (process_) ::CloseHandle(process_);
    if (job_) ::CloseHandle(job_);
  }

  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }

  void Feed(const std::string& bytes) {
    DWORD n = 0;
    for (size_t at = 0; in_write_ != INVALID_HANDLE_VALUE && at < bytes.size(); at += n) {
      if (!::WriteFile(in_write_, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &n, nullptr) ||
          n == 0) {
        break;
      }
    }
  }
  void CloseInput() {
    if (in_write_ != INVALID_HANDLE_VALUE) ::CloseHandle(in_write_);
    in_write_ = INVALID_HANDLE_VALUE;
  }

  bool Running() {
    if (!process_ || ended_) return false;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    ended_ = true;
    code_ = static_cast<int>(code);
    return false;
  }
  // Ends the program and every process it started.
  void Kill() {
    if (!Running()) return;
    if (job_) ::TerminateJobObject(job_, 137);
    ::TerminateProcess(process_, 137);
    ::WaitForSingleObject(process_, 10000);
    ended_ = true;
    code_ = -1;
  }

  int Wait(double seconds = 1e9) {
    WaitUntil([&] { return !Running(); }, std::min(seconds, SecondsLeft()), 5);
    Kill();
    return code_;
  }

  std::string Out() const { return ReadNative(files_.path() + "\\out"); }
  std::string Err() const { return ReadNative(files_.path() + "\\err"); }

  // The next line of standard output without its end (a CR before the LF
  // dropped: the C runtime writes text mode's CR LF).
  std::string ReadLine() {
    std::string line;
    WaitUntil([&] {
      const bool ended = !Running();
      const std::string out = Out();
      const size_t nl = out.find('\n', read_);
      if (nl == std::string::npos) return ended;
      line = out.substr(read_, nl - read_);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      read_ = nl + 1;
      return true;
    }, SecondsLeft(), 1);
    return line;
  }

 private:
  using Clock = std::chrono::steady_clock;
  using Seconds = std::chrono::duration<double>;
  double SecondsLeft() const { return Seconds(deadline_ - Clock::now()).count(); }

  std::chrono::time_point<Clock, Seconds> deadline_;
  TempRoot files_;
  HANDLE process_ = nullptr;
  HANDLE job_ = nullptr;
  HANDLE in_write_ = INVALID_HANDLE_VALUE;
  int pid_ = -1;
  bool ended_ = false;
  int code_ = -1;
  size_t read_ = 0;
};

}  // namespace carob::testing
