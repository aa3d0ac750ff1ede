// A disk that fails on request under a real program: the program is started
// with tests/support/fault_preload.c preloaded, which makes chosen read,
// pread, close, rename or fsync calls on chosen files fail (or, for reads,
// end too soon), and traces every call it looked at into a log file.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace carob::testing {

inline const std::string kFaultPreload = CAROB_FAULT_PRELOAD;
inline const std::string kFaultProbe = CAROB_FAULT_PROBE;

// Which calls fail, and how (see fault_preload.c for the variables).
struct DiskFault {
  std::string calls;           // "read", "pread", "read,pread", "close", "rename", "fsync"
                               // (and fdatasync), "fdatasync"
  std::string path;            // a piece of the file's real path; "" for every file
  int skip = 0;                // matching calls that pass first
  int times = -1;              // then how many fail; -1: all the rest; 0: a trace only
  std::string error = "EIO";   // an errno name, or "EOF" for a read that ends too soon
};

// A matching call (numbered from 0) held before it is made until `file`
// is there (at most 30 s); none when `file` is empty.
struct FaultHold {
  int at = -1;
  std::string file;
};

// One call the preloaded library looked at, as its log tells it.
struct FaultCall {
  int pid = 0;
  std::string call;  // read, pread, close, fsync, fdatasync, rename, renameat, renameat2
  int n = 0;         // its number among the matching calls of its process
  bool failed = false;
  char mode = '-';   // how the descriptor was opened: r, w, d for a folder (- for a rename)
  long result = 0;   // what the caller got
  std::string path;  // for a rename "from -> to"
};

inline std::vector<FaultCall> ReadFaultLog(const std::string& log) {
  std::vector<FaultCall> out;
  for (const std::string& line : SplitLines(ReadNative(log))) {
    std::vector<std::string> f;
    for (size_t at = 0;;) {
      const size_t tab = line.find('\t', at);
      if (f.size() == 6 || tab == std::string::npos) {
        f.push_back(line.substr(at));
        break;
      }
      f.push_back(line.substr(at, tab - at));
      at = tab + 1;
    }
    if (f.size() != 7) continue;
    out.push_back({std::atoi(f[0].c_str()), f[1], std::atoi(f[2].c_str()), f[3] == "fail",
                   f[4].empty() ? '-' : f[4][0], std::atol(f[5].c_str()), f[6]});
  }
  return out;
}

// `launch` with the fault library preloaded and set up as `fault`, its log
// written to `log`.
inline Launch WithDiskFault(Launch launch, const DiskFault& fault, const std::string& log,
                            const FaultHold& hold = {}) {
  auto kept = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string();
  };
  const std::string preload = kept("LD_PRELOAD"), asan = kept("ASAN_OPTIONS");
  launch.env.push_back("LD_PRELOAD=" + kFaultPreload + (preload.empty() ? "" : ":" + preload));
  // A program built with AddressSanitizer wants its runtime first among the
  // libraries; the fault library in front of it passes every call on to it.
  launch.env.push_back("ASAN_OPTIONS=" + (asan.empty() ? "" : asan + ":") +
                       "verify_asan_link_order=0");
  launch.env.push_back("CAROB_FAULT_CALL=" + fault.calls);
  launch.env.push_back("CAROB_FAULT_PATH=" + fault.path);
  launch.env.push_back("CAROB_FAULT_SKIP=" + std::to_string(fault.skip));
  launch.env.push_back("CAROB_FAULT_TIMES=" + std::to_string(fault.times));
  launch.env.push_back("CAROB_FAULT_ERRNO=" + fault.error);
  launch.env.push_back("CAROB_FAULT_LOG=" + log);
  if (!hold.file.empty()) {
    launch.env.push_back("CAROB_FAULT_HOLD_AT=" + std::to_string(hold.at));
    launch.env.push_back("CAROB_FAULT_HOLD_FILE=" + hold.file);
  }
  return launch;
}

// What a program run under a failing disk left: its end, and the calls.
struct FaultedRun {
  Ran ran;
  std::vector<FaultCall> calls;
  int Failed() const {
    int n = 0;
    for (const FaultCall& c : calls) n += c.failed;
    return n;
  }
};

// Runs `launch` to its end under `fault`, with a log of its own.
inline FaultedRun RunWithDiskFault(Launch launch, const DiskFault& fault) {
  TempRoot scratch;
  const std::string log = scratch.path() + "/fault.log";
  Ran ran = Run(WithDiskFault(std::move(launch), fault, log));
  return {std::move(ran), ReadFaultLog(log)};
}

// The matching calls of a run where none fails: how many there are, and
// each one's details, to place faults on.
inline std::vector<FaultCall> TraceCalls(Launch launch, DiskFault fault) {
  fault.times = 0;
  return RunWithDiskFault(std::move(launch), fault).calls;
}

}  // namespace carob::testing
