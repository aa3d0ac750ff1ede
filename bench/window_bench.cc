// The three thinking passes over generated knowledge databanks of 250, 1000,
// 4000 and 16000 facts. Besides the time, each run reports where it goes:
// the databank lookups and writes (counted from the databank's own I/O
// trace, which the first pass switches on) and the file work underneath
// (counted by an Env that passes every call on to the real one), and beside
// it its floor: the bytes the passes had to write (every appended line and
// every rewritten file), written again in the same run with plain writes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

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

// CPU time of the process in seconds.
double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One write the passes made to the knowledge file: its bytes, and whether it
// replaced the whole file.
struct KnowledgeWrite {
  size_t bytes = 0;
  bool whole = false;
};

// An open file whose writes are counted.
class CountingFile : public platform::File {
 public:
  CountingFile(std::unique_ptr<platform::File> file, std::vector<KnowledgeWrite>* writes)
      : file_(std::move(file)), writes_(writes) {
    serial_ = file_->serial();
  }
  bool ReadLine(std::string& line) override { return file_->ReadLine(line); }
  platform::Status status() const override { return file_->status(); }
  int64_t Tell() override { return file_->Tell(); }
  platform::Status Write(std::string_view bytes) override {
    writes_->push_back({bytes.size(), false});
    return file_->Write(bytes);
  }
  platform::Status ReadAt(int64_t offset, size_t n, std::string& bytes) override {
    return file_->ReadAt(offset, n, bytes);
  }
  platform::Status WriteAt(int64_t offset, char byte) override {
    writes_->push_back({1, false});
    return file_->WriteAt(offset, byte);
  }
  platform::Status WriteRangeAt(int64_t offset, std::string_view bytes) override {
    writes_->push_back({bytes.size(), false});
    return file_->WriteRangeAt(offset, bytes);
  }
  platform::Status Size(int64_t& size) override { return file_->Size(size); }
  platform::Status Truncate(int64_t length) override { return file_->Truncate(length); }
  platform::Status Close() override { return file_->Close(); }

 private:
  std::unique_ptr<platform::File> file_;
  std::vector<KnowledgeWrite>* writes_;
};

// The floor: the same writes with plain system calls into a file of the
// same folder, each opened, written in one call and closed; CPU seconds.
double ReplayWrites(const std::string& native_file, const std::vector<KnowledgeWrite>& writes) {
  size_t largest = 0;
  for (const KnowledgeWrite& w : writes) largest = std::max(largest, w.bytes);
  const std::string bytes(largest, 'x');
  const double start = CpuSeconds();
  for (const KnowledgeWrite& w : writes) {
    int fd = ::open(native_file.c_str(),
                    O_WRONLY | O_CREAT | (w.whole ? O_TRUNC : O_APPEND), 0644);
    if (fd < 0) continue;
    benchmark::DoNotOptimize(::write(fd, bytes.data(), w.bytes));
    ::close(fd);
  }
  return CpuSeconds() - start;
}

// Counts the file work of everything above it.
class CountingEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  std::vector<KnowledgeWrite> writes;  // to the knowledge file

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
  bool FileStamp(const std::string& path, platform::FileInfo* stamp) override {
    ++counts.file_infos;
    return target().FileStamp(path, stamp);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    CountOpen(path, mode);
    platform::Status s = target().Open(path, mode, file);
    if (s && IsKnowledge(path) && mode != platform::OpenMode::kRead) {
      *file = std::make_unique<CountingFile>(std::move(*file), &writes);
    }
    return s;
  }
  platform::Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    if (IsKnowledge(path)) writes.push_back({bytes.size(), true});
    return target().ReplaceContents(path, bytes);
  }
  platform::Status ReadAllStamped(const std::string& path, std::string& bytes,
                                  platform::FileInfo* stamp) override {
    platform::Status s = target().ReadAllStamped(path, bytes, stamp);
    if (IsKnowledge(path)) {
      ++counts.knowledge_reads;
      counts.knowledge_bytes_read += static_cast<int64_t>(bytes.size());
    }
    return s;
  }
  // The held log: every line it appends is counted.
  std::unique_ptr<platform::Appender> NewAppender(const std::string& path) override {
    struct Counted : platform::Appender {
      std::unique_ptr<platform::Appender> inner;
      int64_t* lines;
      platform::Status Append(std::string_view bytes) override {
        ++*lines;
        return inner->Append(bytes);
      }
    };
    auto counted = std::make_unique<Counted>();
    counted->inner = target().NewAppender(path);
    counted->lines = &counts.log_lines;
    return counted;
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
    env.writes.clear();
    state.ResumeTiming();
    const double cpu_start = CpuSeconds();

    bool ok = static_cast<bool>(w.xThink1()) && static_cast<bool>(w.xThink2()) &&
              static_cast<bool>(w.xThink3());

    const double passes_cpu = CpuSeconds() - cpu_start;
    state.PauseTiming();
    const double floor_cpu =
        ReplayWrites(world.root.Native("C:\\ORB\\CAROB\\floor.dat"), env.writes);
    size_t written = 0;
    for (const KnowledgeWrite& kw : env.writes) written += kw.bytes;
    state.counters["cpu_s"] = passes_cpu;
    state.counters["floor_cpu_s"] = floor_cpu;
    state.counters["x_floor"] = floor_cpu > 0 ? passes_cpu / floor_cpu : 0;
    state.counters["MB_written"] = static_cast<double>(written) / (1024.0 * 1024.0);
    if (!ok) state.SkipWithError("a pass failed");
    const CountingEnv::Counts counts = env.counts;
    auto trace = TraceCounts(world.root.ReadFile("C:\\ORB\\CAROB\\Database_IO.log"));
    state.counters["facts_after"] = w.ActiveMemory.ListCount();
    state.counters["kb_after"] =
        static_cast<double>(world.root.ReadFile(kKnowledge).size()) / 1024.0;
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
    ->Arg(16000)
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
