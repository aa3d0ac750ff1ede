// The three thinking passes over generated knowledge databanks of 250, 1000
// and 4000 facts. Besides the time, each run reports where it goes: the
// databank lookups and writes (counted from the databank's own I/O trace,
// which the first pass switches on) and the file work underneath (counted by
// an Env that passes every call on to the real one).
#include <benchmark/benchmark.h>

#include <map>
#include <sstream>
#include <string>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/world.h"
#include "window/window.h"

namespace {

using namespace carob;

constexpr const char* kKnowledge = "C:\\ORB\\CAROB\\CAROB.dat";

// A world of the program's own on the system clock, whose knowledge file
// holds `facts` generated facts.
struct BenchWorld : testing::World {
  explicit BenchWorld(int facts);
};

// Counts the file work of everything above it.
class CountingEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  struct Counts {
    int64_t knowledge_reads = 0;       // reads of the knowledge file (opens and whole reads)
    int64_t knowledge_bytes_read = 0;  // its size at each (bytes a full scan reads)
    int64_t log_lines = 0;             // appends to Database_IO.log
    int64_t file_infos = 0;            // stat-like look-ups (cache stamps)
  } counts;

  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    ++counts.file_infos;
    return target().FindFile(path);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    CountOpen(path, mode);
    return target().Open(path, mode, file);
  }
  platform::Status OpenLocked(const std::string& path, platform::OpenMode mode,
                              std::unique_ptr<platform::File>* file) override {
    CountOpen(path, mode);
    return target().OpenLocked(path, mode, file);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    platform::Status s = target().ReadAll(path, bytes);
    if (IsKnowledge(path)) {
      ++counts.knowledge_reads;
      counts.knowledge_bytes_read += static_cast<int64_t>(bytes.size());
    }
    return s;
  }
  platform::Status AppendBytes(const std::string& path, std::string_view bytes) override {
    if (IsLog(path)) ++counts.log_lines;
    return target().AppendBytes(path, bytes);
  }

 private:
  static bool IsKnowledge(const std::string& p) { return platform::EndsWithNoCase(p, "CAROB.dat"); }
  static bool IsLog(const std::string& p) { return platform::EndsWithNoCase(p, "Database_IO.log"); }
  void CountOpen(const std::string& path, platform::OpenMode mode) {
    if (IsLog(path)) {
      ++counts.log_lines;
    } else if (IsKnowledge(path) && mode == platform::OpenMode::kRead) {
      ++counts.knowledge_reads;
      if (auto info = target().FindFile(path)) counts.knowledge_bytes_read += info->size;
    }
  }
};

// N facts whose values are made of words that are themselves subjects, so
// that every pass finds meanings to substitute and lend.
std::string GenerateKnowledge(int facts) {
  std::ostringstream out;
  for (int i = 0; i < facts; ++i) {
    out << "thing" << i << "=kind" << (i * 7) % facts << " thing" << (i * 13 + 5) % facts
        << "\r\n";
  }
  return out.str();
}

BenchWorld::BenchWorld(int facts) : World({.clock = nullptr}) {
  root.WriteFile(kKnowledge, GenerateKnowledge(facts));
}

// Counts the trace lines of each kind in the I/O log.
std::map<std::string, int64_t> TraceCounts(const std::string& log) {
  std::map<std::string, int64_t> c;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(" Query [") != std::string::npos) {
      ++c[line.find("DeCached") != std::string::npos ? "queries_cached" : "queries_file"];
    } else if (line.find(" Set [") != std::string::npos && line.find("DeCached") == std::string::npos) {
      ++c["sets"];
    } else if (line.find("Methods:") != std::string::npos) {
      if (line.find("Appending") != std::string::npos) ++c["set_append"];
      if (line.find("standard method") != std::string::npos) ++c["set_rewrite"];
    }
  }
  return c;
}

// Runs once (see its registration); the counters tell of that run.
void BM_ThinkingPasses(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    BenchWorld world(static_cast<int>(state.range(0)));
    CountingEnv& env = *world.Wrap<CountingEnv>();
    world.AddMessaging();
    window::Window w(env, *world.db, *world.reg, *world.msg);
    w.Events().Load();
    env.counts = {};
    state.ResumeTiming();

    bool ok = static_cast<bool>(w.xThink1()) && static_cast<bool>(w.xThink2()) &&
              static_cast<bool>(w.xThink3());

    state.PauseTiming();
    if (!ok) state.SkipWithError("a pass failed");
    const CountingEnv::Counts counts = env.counts;
    auto trace = TraceCounts(world.Read("C:\\ORB\\CAROB\\Database_IO.log"));
    state.counters["facts_after"] = w.ActiveMemory.ListCount();
    state.counters["kb_after"] = static_cast<double>(world.Read(kKnowledge).size()) / 1024.0;
    for (const char* name : {"queries_file", "queries_cached", "sets", "set_append", "set_rewrite"}) {
      state.counters[name] = static_cast<double>(trace[name]);
    }
    state.counters["kdat_reads"] = static_cast<double>(counts.knowledge_reads);
    state.counters["kdat_MB_opened"] =
        static_cast<double>(counts.knowledge_bytes_read) / (1024.0 * 1024.0);
    state.counters["log_lines"] = static_cast<double>(counts.log_lines);
    state.counters["stat_calls"] = static_cast<double>(counts.file_infos);
    state.ResumeTiming();
  }
}

BENCHMARK(BM_ThinkingPasses)
    ->Arg(250)
    ->Arg(1000)
    ->Arg(4000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// What one lookup that misses both caches costs on a knowledge file of the
// size the passes leave behind (three lines a fact): a scan of the whole
// file for an absent key.
void BM_KnowledgeLookupScan(benchmark::State& state) {
  BenchWorld world(3 * static_cast<int>(state.range(0)));
  world.AddDatabank();
  int i = 0;
  for (auto _ : state) {
    // A new key each time: the five-slot caches never answer.
    std::string bank = kKnowledge;
    std::string key = "absent" + std::to_string(i++);
    benchmark::DoNotOptimize(world.db->Query(bank, key));
  }
}
BENCHMARK(BM_KnowledgeLookupScan)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);

// One line of the databank I/O trace: open, append, close.
void BM_TraceLine(benchmark::State& state) {
  testing::World world({.clock = nullptr});
  world.AddDatabank();
  world.db->StartDatabankIOLog(true);
  for (auto _ : state) {
    world.db->LogDatabankIO(
        "Database C:\\ORB\\CAROB\\CAROB.dat serial 1 Query [thing1] ==>> [kind7 thing18]");
  }
}
BENCHMARK(BM_TraceLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
