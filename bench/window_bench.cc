// The three thinking passes over generated knowledge databanks of 250, 1000
// and 4000 facts. Besides the time, each run reports where it goes: the
// databank lookups and writes (counted from the databank's own I/O trace,
// which the first pass switches on) and the file work underneath (counted by
// an Env that passes every call on to the real one).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/test_env.h"
#include "window/window.h"

namespace {

using namespace carob;

// Counts the file work of everything above it.
class CountingEnv : public platform::EnvWrapper {
 public:
  explicit CountingEnv(std::unique_ptr<platform::Env> inner)
      : EnvWrapper(*inner), in_(std::move(inner)) {}

  struct Counts {
    int64_t knowledge_reads = 0;        // opens of the knowledge file for reading
    int64_t knowledge_bytes_read = 0;   // its size at each such open (bytes a full scan reads)
    int64_t knowledge_appends = 0;
    int64_t knowledge_rewrites = 0;     // whole-file replacements and renames
    int64_t log_lines = 0;              // appends to Database_IO.log
    int64_t file_infos = 0;             // stat-like look-ups (cache stamps)
    int64_t other_opens = 0;
  } counts;
  std::string knowledge;  // native-independent: the Windows-style path

  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    ++counts.file_infos;
    return in_->FindFile(path);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    CountOpen(path, mode);
    return in_->Open(path, mode, file);
  }
  platform::Status OpenLocked(const std::string& path, platform::OpenMode mode,
                              std::unique_ptr<platform::File>* file) override {
    CountOpen(path, mode);
    return in_->OpenLocked(path, mode, file);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    platform::Status s = in_->ReadAll(path, bytes);
    if (IsKnowledge(path)) {
      ++counts.knowledge_reads;
      counts.knowledge_bytes_read += static_cast<int64_t>(bytes.size());
    }
    return s;
  }
  platform::Status AppendBytes(const std::string& path, std::string_view bytes) override {
    if (IsKnowledge(path)) ++counts.knowledge_appends;
    if (IsLog(path)) ++counts.log_lines;
    return in_->AppendBytes(path, bytes);
  }
  platform::Status Rename(const std::string& from, const std::string& to) override {
    if (IsKnowledge(from) || IsKnowledge(to)) ++counts.knowledge_rewrites;
    return in_->Rename(from, to);
  }
  platform::Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    if (IsKnowledge(path)) ++counts.knowledge_rewrites;
    return in_->ReplaceContents(path, bytes);
  }

 private:
  static bool EndsWithNoCase(const std::string& path, const std::string& tail) {
    return path.size() >= tail.size() &&
           platform::EqualsNoCase(std::string_view(path).substr(path.size() - tail.size()), tail);
  }
  bool IsKnowledge(const std::string& path) const { return EndsWithNoCase(path, "CAROB.dat"); }
  bool IsLog(const std::string& path) const { return EndsWithNoCase(path, "Database_IO.log"); }
  void CountOpen(const std::string& path, platform::OpenMode mode) {
    if (IsKnowledge(path)) {
      if (mode == platform::OpenMode::kRead) {
        ++counts.knowledge_reads;
        if (auto info = in_->FindFile(path)) counts.knowledge_bytes_read += info->size;
      } else if (mode == platform::OpenMode::kAppend) {
        ++counts.knowledge_appends;
      } else {
        ++counts.knowledge_rewrites;
      }
    } else if (IsLog(path)) {
      ++counts.log_lines;
    } else {
      ++counts.other_opens;
    }
  }

  std::unique_ptr<platform::Env> in_;
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

// Counts the trace lines of one kind in the I/O log.
std::map<std::string, int64_t> TraceCounts(const std::string& log) {
  std::map<std::string, int64_t> c;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(" Query [") != std::string::npos) {
      if (line.find("DeCached") != std::string::npos) {
        ++c["query_cached"];
      } else {
        ++c["query_file"];
      }
    } else if (line.find(" Set [") != std::string::npos && line.find("DeCached") == std::string::npos) {
      ++c["set"];
    } else if (line.find("Methods:") != std::string::npos) {
      if (line.find("Appending") != std::string::npos) ++c["set_append"];
      if (line.find("standard method") != std::string::npos) ++c["set_rewrite"];
      if (line.find("Inscribing") != std::string::npos) ++c["set_inplace"];
      if (line.find("already recorded") != std::string::npos) ++c["set_unneeded"];
    }
  }
  return c;
}

void BM_ThinkingPasses(benchmark::State& state) {
  const int facts = static_cast<int>(state.range(0));
  CountingEnv::Counts last{};
  std::map<std::string, int64_t> trace;
  int64_t lines_after = 0;
  int64_t bytes_after = 0;

  for (auto _ : state) {
    state.PauseTiming();
    testing::TempRoot root;
    root.MakeFolder("C:\\Temp");
    root.WriteFile("C:\\FileLoc", "Temporary path=C:\\Temp\r\n");
    root.WriteFile("C:\\ORB\\CAROB\\CAROB.dat", GenerateKnowledge(facts));
    auto counting = std::make_unique<CountingEnv>(testing::MakeTestEnv(root));
    CountingEnv& env = *counting;
    databank::Databank db(env);
    registry::Registry registry(env, db);
    messaging::Messaging messaging(env, db, registry);
    window::Window w(env, db, registry, messaging);
    w.Events().Load();
    env.counts = {};
    state.ResumeTiming();

    bool ok = static_cast<bool>(w.xThink1()) && static_cast<bool>(w.xThink2()) &&
              static_cast<bool>(w.xThink3());

    state.PauseTiming();
    if (!ok) state.SkipWithError("a pass failed");
    last = env.counts;
    trace = TraceCounts(root.ReadFile("C:\\ORB\\CAROB\\Database_IO.log"));
    lines_after = w.ActiveMemory.ListCount();
    bytes_after = static_cast<int64_t>(root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat").size());
    state.ResumeTiming();
  }

  state.counters["facts_after"] = static_cast<double>(lines_after);
  state.counters["kb_after"] = static_cast<double>(bytes_after) / 1024.0;
  state.counters["queries_file"] = static_cast<double>(trace["query_file"]);
  state.counters["queries_cached"] = static_cast<double>(trace["query_cached"]);
  state.counters["sets"] = static_cast<double>(trace["set"]);
  state.counters["set_append"] = static_cast<double>(trace["set_append"]);
  state.counters["set_rewrite"] = static_cast<double>(trace["set_rewrite"]);
  state.counters["kdat_reads"] = static_cast<double>(last.knowledge_reads);
  state.counters["kdat_MB_opened"] =
      static_cast<double>(last.knowledge_bytes_read) / (1024.0 * 1024.0);
  state.counters["log_lines"] = static_cast<double>(last.log_lines);
  state.counters["stat_calls"] = static_cast<double>(last.file_infos);
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
  const int facts = static_cast<int>(state.range(0));
  testing::TempRoot root;
  root.MakeFolder("C:\\Temp");
  root.WriteFile("C:\\FileLoc", "Temporary path=C:\\Temp\r\n");
  root.WriteFile("C:\\ORB\\CAROB\\CAROB.dat", GenerateKnowledge(3 * facts));
  auto env = testing::MakeTestEnv(root);
  databank::Databank db(*env);
  int i = 0;
  for (auto _ : state) {
    // A new key each time: the five-slot caches never answer.
    std::string bank = "C:\\ORB\\CAROB\\CAROB.dat";
    std::string key = "absent" + std::to_string(i++);
    benchmark::DoNotOptimize(db.Query(bank, key));
  }
}
BENCHMARK(BM_KnowledgeLookupScan)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);

// One line of the databank I/O trace: open, append, close.
void BM_TraceLine(benchmark::State& state) {
  testing::TempRoot root;
  root.MakeFolder("C:\\Temp");
  root.WriteFile("C:\\FileLoc", "Temporary path=C:\\Temp\r\n");
  auto env = testing::MakeTestEnv(root);
  databank::Databank db(*env);
  db.StartDatabankIOLog(true);
  for (auto _ : state) {
    db.LogDatabankIO("Database C:\\ORB\\CAROB\\CAROB.dat serial 1 Query [thing1] ==>> [kind7 thing18]");
  }
}
BENCHMARK(BM_TraceLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
