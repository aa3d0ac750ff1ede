// Costs of the messaging layer: the idle receive that the window makes on
// every tick, and taking the top entry off queues of different lengths.
#include <benchmark/benchmark.h>

#include <string>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace {

using carob::messaging::MessageKind;

// The shared files of a cooperating computer, on the system clock.
struct Setup : carob::testing::World {
  Setup()
      : World({.fileloc = "Temporary path=C:\\TEMP\r\nSTATUS=C:\\TEMP\\STATUS\r\n"
                          "CAROB interface=C:\\ORB\\CAROB\\CAROB.interface.POF\r\n",
               .clock = nullptr}) {
    WriteStatus({"Local ID=10.0.0.9"});
    root.WriteFile("C:\\ORB\\CAROB\\CAROB.interface.POF", "");
    AddMessaging();
  }
};

// Nothing waits: one cached query of "C:\FileLoc" and one length check.
void BM_IdleReceive(benchmark::State& state) {
  Setup s;
  s.msg->RotateConsoleLog(true);
  s.msg->ReceiveMessage("CAROB", MessageKind::kInterface);  // settles the folders and fills the cache
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.msg->ReceiveMessage("CAROB", MessageKind::kInterface));
  }
}
BENCHMARK(BM_IdleReceive);
// Fixed counts, for counting system calls per idle receive: trace a run of
// each and divide the difference by 10000 - 1, e.g.
//   strace -f -c messaging_bench --benchmark_filter='IdleReceive/iterations:1$'
BENCHMARK(BM_IdleReceive)->Iterations(1);
BENCHMARK(BM_IdleReceive)->Iterations(10000);

// Takes the top entry off a queue of state.range(0) entries; the queue is
// topped up again outside the timing.
void BM_RemoveTopEntry(benchmark::State& state) {
  Setup s;
  const std::string queue = "C:\\ORB\\CAROB\\q.POF";
  std::string entries;
  for (int64_t i = 0; i < state.range(0); ++i) {
    entries += "--- Entry by ROZ Default on 12-07-2026 08:29:45.53125\r\n"
               "SET SOURCE = 10.0.0.7\r\nSENDTO [10.0.0.9] User:the sky be blue " +
               std::to_string(i) + "\r\n";
  }
  for (auto _ : state) {
    state.PauseTiming();
    s.root.WriteFile(queue, entries);
    state.ResumeTiming();
    // The queue was just written whole: only the time counts here.
    (void)s.msg->RemoveTopEntry(queue);
  }
  state.SetLabel(std::to_string(entries.size()) + " bytes");
}
BENCHMARK(BM_RemoveTopEntry)->Arg(10)->Arg(100)->Arg(1000);

// Receive of a waiting entry (read, take off, split, log).
void BM_ReceiveOne(benchmark::State& state) {
  Setup s;
  s.msg->RotateConsoleLog(true);
  s.msg->ReceiveMessage("CAROB", MessageKind::kInterface);
  for (auto _ : state) {
    state.PauseTiming();
    // Timed is the receive; an append that failed shows as a receive of nothing.
    (void)s.msg->AppendEntry("C:\\ORB\\CAROB\\CAROB.interface.POF",
                             "SET SOURCE = 10.0.0.7\r\nHello");
    state.ResumeTiming();
    benchmark::DoNotOptimize(s.msg->ReceiveMessage("CAROB", MessageKind::kInterface));
  }
}
BENCHMARK(BM_ReceiveOne);

void BM_AppendEntry(benchmark::State& state) {
  Setup s;
  for (auto _ : state) {
    // Only the time counts (the folder is a fresh temporary one).
    (void)s.msg->AppendEntry("C:\\ORB\\CAROB\\out.POF", "SET SOURCE = 10.0.0.9\r\nDO User:Hi");
  }
}
BENCHMARK(BM_AppendEntry);

}  // namespace

BENCHMARK_MAIN();
