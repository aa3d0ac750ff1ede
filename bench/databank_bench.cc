// The databank engine against the floor of the same machine: a Query
// answered from a cache against one stat of the file, an uncached Query of a
// key near the end of a 30720-byte databank and each way of Set against one
// read of the whole file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "databank/databank.h"
#include "tests/support/world.h"

namespace {

constexpr const char* kBank = "C:\\data\\bench.dat";
constexpr const char* kLastKey = "key near the end";

// A databank of exactly 30720 bytes whose last entry is kLastKey=abcd.
std::string BankBytes() {
  const std::string last = std::string(kLastKey) + "=abcd\r\n";
  std::string s;
  for (int i = 0; s.size() + 100 + last.size() < 30720; ++i) {
    s += "entry number " + std::to_string(i) + "=some value of entry " + std::to_string(i) + "\r\n";
  }
  s += "filler=";
  s.append(30720 - s.size() - last.size() - 2, 'f');
  s += "\r\n" + last;
  return s;
}

// The databank in a world of its own, on the system clock.
struct World : carob::testing::World {
  World() : carob::testing::World({.clock = nullptr}) {
    Restore();
    AddDatabank();
  }
  void Restore() { root.WriteFile(kBank, bytes); }
  const std::string bytes = BankBytes();
  const std::string native = root.Native(kBank);
};

void BM_FloorStat(benchmark::State& state) {
  World w;
  struct stat st {};
  for (auto _ : state) benchmark::DoNotOptimize(::stat(w.native.c_str(), &st));
}
BENCHMARK(BM_FloorStat);

void BM_FloorReadWholeFile(benchmark::State& state) {
  World w;
  std::string buf(40000, '\0');
  for (auto _ : state) {
    int fd = ::open(w.native.c_str(), O_RDONLY);
    ssize_t n = ::read(fd, buf.data(), buf.size());
    ::close(fd);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * 30720);
}
BENCHMARK(BM_FloorReadWholeFile);

// The same two floors through the platform layer the engine stands on.
void BM_EnvFindFile(benchmark::State& state) {
  World w;
  for (auto _ : state) benchmark::DoNotOptimize(w.env->FindFile(kBank));
}
BENCHMARK(BM_EnvFindFile);

void BM_EnvReadAll(benchmark::State& state) {
  World w;
  std::string bytes;
  for (auto _ : state) benchmark::DoNotOptimize(w.env->ReadAll(kBank, bytes));
}
BENCHMARK(BM_EnvReadAll);

void BM_QueryCached(benchmark::State& state) {
  World w;
  std::string b = kBank, k = kLastKey;
  w.db->Query(b, k);
  for (auto _ : state) benchmark::DoNotOptimize(w.db->Query(b, k));
}
BENCHMARK(BM_QueryCached);

void BM_QueryUncachedNearTheEnd(benchmark::State& state) {
  World w;
  std::string b = kBank, k = kLastKey, forget = kLastKey;
  for (auto _ : state) {
    forget = kLastKey;
    w.db->ForgetCached(forget);
    benchmark::DoNotOptimize(w.db->Query(b, k));
  }
}
BENCHMARK(BM_QueryUncachedNearTheEnd);

// Sets `value` under `key`, the databank put back outside the timing.
void SetThenRestore(benchmark::State& state, const char* key, const char* value) {
  World w;
  for (auto _ : state) {
    if (!w.db->Write(kBank, key, value)) {
      state.SkipWithError("the write failed");
      break;
    }
    state.PauseTiming();
    w.Restore();
    state.ResumeTiming();
  }
}

void BM_SetAppend(benchmark::State& state) { SetThenRestore(state, "a new key", "a new value"); }
BENCHMARK(BM_SetAppend);

// Appending a new key while the temporary folder, where the swap locks are
// made, holds state.range(0) unrelated files: the same cost with 10000 as
// with none, since the folder's listing for the case-blind lookup of the
// swap name is remembered while the folder stands still.
void BM_SetAppendCrowdedTemp(benchmark::State& state) {
  World w;
  for (int i = 0; i < state.range(0); ++i) {
    w.root.WriteFile(std::string(carob::testing::kTempFolder) + "\\unrelated file " + std::to_string(i), "");
  }
  int n = 0;
  for (auto _ : state) {
    if (!w.db->Write(kBank, "a new key " + std::to_string(n++), "a new value")) {
      state.SkipWithError("the write failed");
      break;
    }
    if (n % 1000 == 0) {
      state.PauseTiming();
      w.Restore();
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_SetAppendCrowdedTemp)->Arg(0)->Arg(10000);

void BM_SetInPlace(benchmark::State& state) {
  World w;
  bool flip = false;
  for (auto _ : state) {
    if (!w.db->Write(kBank, kLastKey, (flip = !flip) ? "wxyz" : "abcd")) {
      state.SkipWithError("the write failed");
      break;
    }
  }
}
BENCHMARK(BM_SetInPlace);

void BM_SetStandardMethod(benchmark::State& state) {
  SetThenRestore(state, kLastKey, "a value longer than its room");
}
BENCHMARK(BM_SetStandardMethod);

}  // namespace

BENCHMARK_MAIN();
