// What both toolkits share: acting on signals, the order of Load and
// Unload, and the rules for when a tick or a click may run.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "ui/ui.h"
#include "platform/signals.h"

namespace carob::platform::ui {

// The program writes its line breaks as CR LF; the screen and the terminal
// want LF alone. A lone CR counts as a break too.
inline std::string DisplayText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// Before a toolkit lets its window go: the controls stop telling it of
// changes (the program may still change them while it closes).
inline void StopWatching(FormDescription& form) {
  for (ComboBox* c : form.frame_combos) {
    if (c != nullptr) c->on_text_set = nullptr;
  }
  for (ListBox* l : form.lists) {
    if (l == nullptr) continue;
    l->on_items_changed = nullptr;
    l->on_refresh = nullptr;
  }
}

// Shows a status line (or a message) on standard error, as it would read.
inline void ShowOnStderr(const std::string& text) {
  std::fprintf(stderr, "%s\n", DisplayText(text).c_str());
  std::fflush(stderr);
}

class LoopCore {
 public:
  enum class Phase { kIdle, kLoading, kRunning, kUnloading };

  // Starts a Run: catches the signals (until End) and resets the state.
  SignalPipe& Begin(FormDescription* form, FormEvents* events) {
    pipe_.emplace();
    form_ = form;
    events_ = events;
    closing_ = false;
    in_tick_ = false;
    phase_ = Phase::kIdle;
    return *pipe_;
  }
  void End() { pipe_.reset(); }

  // A whole Run, one at a time (0 at once while another is on): `start`
  // sets the toolkit up with the signal pipe, then Load runs, then `loop`
  // (unless Load asked for a close) until a close, then Unload, and
  // `finish` takes the toolkit down again before the signals go back.
  template <class Start, class Loop, class Finish>
  int Run(FormDescription& form, FormEvents& events, Start start, Loop loop, Finish finish) {
    if (active()) return 0;
    SignalPipe& pipe = Begin(&form, &events);
    start(pipe);
    RunLoad();
    if (!closing()) loop(pipe);
    RunUnload();
    finish(pipe);
    End();
    return 0;
  }

  // Runs Load. The window's events run in the yields Load makes (the
  // registry's waits): ticks, clicks and a close request. Signals noted
  // outside such a yield are acted on once Load has returned.
  void RunLoad() {
    phase_ = Phase::kLoading;
    if (events_->Load) events_->Load();
    phase_ = Phase::kRunning;
  }

  // Runs Unload (once); Run returns after it.
  void RunUnload() {
    phase_ = Phase::kUnloading;
    if (events_->Unload) events_->Unload();
    phase_ = Phase::kIdle;
  }

  void Act(SignalAction action) {
    if (action == SignalAction::kClose) {
      closing_ = true;
    } else if (Handling() && !closing_) {
      ClickFirstButton();
    }
  }

  // Acts on every signal noted so far (none outside a Run).
  void ActOnAll() {
    if (!pipe_) return;
    for (SignalAction a : pipe_->Drain()) Act(a);
  }
  // Wakes a wait on the signal pipe, so the loop looks round.
  void Wake() {
    if (pipe_) pipe_->Wake();
  }

  // The timers run from the window's creation: a tick falls due during
  // Load too and runs in Load's next yield. A tick never runs inside
  // another tick (one that falls due during a tick's yield waits until that
  // tick is over), nor once a close has been asked for.
  bool MayTick() const { return Handling() && !in_tick_ && !closing_; }

  // Runs a timer's Tick with the re-entry guard held.
  void RunTick(Timer& timer) {
    in_tick_ = true;
    if (timer.Tick) timer.Tick();
    in_tick_ = false;
  }

  void ClickFirstButton() {
    if (form_ == nullptr || form_->buttons.empty() || form_->buttons[0] == nullptr) return;
    if (form_->buttons[0]->Click) form_->buttons[0]->Click();
  }

  void RequestClose() { closing_ = true; }
  bool closing() const { return closing_; }
  bool active() const { return phase_ != Phase::kIdle; }
  // Asked to close: by a signal caught, even before the loop has looked
  // at it.
  bool Closing() const { return active() && (closing_ || StopRequested()); }

  // Load and the event loop handle the window's events (Unload does not).
  bool Handling() const { return phase_ == Phase::kLoading || phase_ == Phase::kRunning; }

  // A timer runs while it is enabled with a positive interval.
  static bool Runs(const Timer& t) { return t.Enabled && t.Interval > 0; }

 private:
  FormDescription* form_ = nullptr;
  FormEvents* events_ = nullptr;
  std::optional<SignalPipe> pipe_;
  Phase phase_ = Phase::kIdle;
  bool closing_ = false;
  bool in_tick_ = false;
};

}  // namespace carob::platform::ui
