// Costs of the messaging layer: the idle receive that the window makes on
// every tick, and taking the top entry off queues of different lengths.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace {

using carob::platform::Env;

// A throw-away ORB root with the shared files of a cooperating computer.
struct Setup {
  Setup() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "carob-bench-XXXXXX").string();
    root = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    std::filesystem::create_directories(root + "/c/ORB/CAROB");
    std::filesystem::create_directories(root + "/c/TEMP");
    Write("/c/FileLoc",
          "Temporary path=C:\\TEMP\r\nSTATUS=C:\\TEMP\\STATUS\r\n"
          "CAROB interface=C:\\ORB\\CAROB\\CAROB.interface.POF\r\n");
    Write("/c/TEMP/STATUS", "Local ID=10.0.0.9\r\n");
    Write("/c/ORB/CAROB/CAROB.interface.POF", "");
    carob::platform::PosixEnvOptions o;
    o.orb_root = root;
    o.program_path = root + "/c/ORB/CAROB/carob";
    env = carob::platform::NewPosixEnv(std::move(o));
    db = std::make_unique<carob::databank::Databank>(*env);
    reg = std::make_unique<carob::registry::Registry>(*env, *db);
    msg = std::make_unique<carob::messaging::Messaging>(*env, *db, *reg);
  }
  ~Setup() {
    msg.reset();
    reg.reset();
    db.reset();
    env.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  void Write(const std::string& rel, const std::string& bytes) {
    std::ofstream(root + rel, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string root;
  std::unique_ptr<Env> env;
  std::unique_ptr<carob::databank::Databank> db;
  std::unique_ptr<carob::registry::Registry> reg;
  std::unique_ptr<carob::messaging::Messaging> msg;
};

// Nothing waits: one cached query of "C:\FileLoc" and one length check.
void BM_IdleReceive(benchmark::State& state) {
  Setup s;
  s.msg->RotateConsoleLog(true);
  s.msg->ReceiveMessage("CAROB", carob::messaging::MessageKind::kInterface);  // settles the folders and fills the cache
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.msg->ReceiveMessage("CAROB", carob::messaging::MessageKind::kInterface));
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
void BM_DeleteTopEntry(benchmark::State& state) {
  Setup s;
  const std::string queue = "C:\\ORB\\CAROB\\q.POF";
  std::string entries;
  for (int64_t i = 0; i < state.range(0); ++i) {
    entries += "--- Entry by ROZ Default on 12-07-2026 08:29:45.53125\r\n"
               "SET SOURCE = 10.0.0.7\r\nSENDTO [10.0.0.9] User:the sky be blue " +
               std::to_string(i) + "\r\n";
  }
  const std::string native = s.root + "/c/ORB/CAROB/q.POF";
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(native, std::ios::binary | std::ios::trunc) << entries;
    state.ResumeTiming();
    s.msg->DeleteTopEntry(queue);
  }
  state.SetLabel(std::to_string(entries.size()) + " bytes");
}
BENCHMARK(BM_DeleteTopEntry)->Arg(10)->Arg(100)->Arg(1000);

// Receive of a waiting entry (read, take off, split, log).
void BM_ReceiveOne(benchmark::State& state) {
  Setup s;
  s.msg->RotateConsoleLog(true);
  s.msg->ReceiveMessage("CAROB", carob::messaging::MessageKind::kInterface);
  for (auto _ : state) {
    state.PauseTiming();
    s.msg->AppendEntry("C:\\ORB\\CAROB\\CAROB.interface.POF", "SET SOURCE = 10.0.0.7\r\nHello");
    state.ResumeTiming();
    benchmark::DoNotOptimize(s.msg->ReceiveMessage("CAROB", carob::messaging::MessageKind::kInterface));
  }
}
BENCHMARK(BM_ReceiveOne);

void BM_AppendEntry(benchmark::State& state) {
  Setup s;
  for (auto _ : state) {
    s.msg->AppendEntry("C:\\ORB\\CAROB\\out.POF", "SET SOURCE = 10.0.0.9\r\nDO User:Hi");
  }
}
BENCHMARK(BM_AppendEntry);

}  // namespace

BENCHMARK_MAIN();
