// The toolkit without a display: the same Run contract as the window, with
// an event loop of its own that waits on the signal pipe for the next due
// tick or a signal.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "ui/ui.h"
#include "ui/loop_core.h"
#include "platform/signals.h"

namespace carob::platform::ui {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct TimerSlot {
  Timer* timer = nullptr;
  bool armed = false;
  SteadyClock::time_point due;
};

class HeadlessToolkit : public Toolkit {
 public:
  bool HasWindow() const override { return false; }

  int Run(FormDescription& form, FormEvents& events) override {
    auto start = [&](SignalPipe&) {
      for (Timer* t : form.timers) {
        if (t != nullptr) slots_.push_back(TimerSlot{t, false, {}});
      }
      ArmRunning(SteadyClock::now());  // the timers run from the creation on
    };
    auto loop = [&](SignalPipe& pipe) {
      while (!core_.closing()) {
        core_.ActOnAll();
        RunDueTimers();
        if (core_.closing()) break;
        WaitForWork(pipe);
      }
    };
    return core_.Run(form, events, start, loop, [&](SignalPipe&) { slots_.clear(); });
  }

  void Yield() override {
    if (!core_.active()) return;
    core_.ActOnAll();
    RunDueTimers();
  }

  void MessageBox(const std::string& text, const std::string& title) override {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), DisplayText(text).c_str());
    std::fflush(stderr);
  }

  void ShowStatus(const std::string& text) override { ShowOnStderr(text); }

  void Close() override { core_.RequestClose(); }

  bool Closing() override { return core_.Closing(); }

 private:
  // Arms timers that run but have no due time yet: at creation and when a
  // stopped timer is started again.
  void ArmRunning(SteadyClock::time_point now) {
    for (TimerSlot& s : slots_) {
      if (!LoopCore::Runs(*s.timer)) {
        s.armed = false;
      } else if (!s.armed) {
        s.armed = true;
        s.due = now + std::chrono::milliseconds(s.timer->Interval);
      }
    }
  }

  void RunDueTimers() {
    if (!core_.MayTick()) return;
    ArmRunning(SteadyClock::now());
    for (size_t i = 0; i < slots_.size() && core_.MayTick(); ++i) {
      TimerSlot& s = slots_[i];
      if (!s.armed || SteadyClock::now() < s.due) continue;
      const SteadyClock::time_point began = SteadyClock::now();
      core_.RunTick(*s.timer);
      // The interval is read after the tick: a change made by the tick (or
      // before it) sets the time to the next one. It counts from the tick's
      // start, as a system timer's does: a tick that took longer than the
      // interval is followed by the next at once, not an interval later.
      s.armed = LoopCore::Runs(*s.timer);
      if (s.armed) s.due = began + std::chrono::milliseconds(s.timer->Interval);
    }
  }

  void WaitForWork(SignalPipe& pipe) {
    SteadyClock::time_point now = SteadyClock::now();
    ArmRunning(now);
    // Without a signal pipe, look round now and then so a Close() from a
    // handler or a restarted timer is still noticed; with one, an hour
    // stands for "until a signal".
    int timeout_ms = pipe.ok() ? 3600 * 1000 : 1000;
    for (const TimerSlot& s : slots_) {
      if (!s.armed) continue;
      auto left = std::chrono::ceil<std::chrono::milliseconds>(s.due - now).count();
      int ms = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
      timeout_ms = std::min(timeout_ms, ms);
    }
    // A signal or a ready pipe both lead back to the loop.
    pipe.WaitReadable(timeout_ms / 1000.0);
  }

  LoopCore core_;
  std::vector<TimerSlot> slots_;
};

}  // namespace

std::unique_ptr<Toolkit> NewHeadlessToolkit() { return std::make_unique<HeadlessToolkit>(); }

}  // namespace carob::platform::ui
