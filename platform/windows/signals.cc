// Signals on Windows: the console's control events stand for the close
// signals (Ctrl+C, Ctrl+Break, the console window closing, log-off and
// shut-down all ask for a close). Windows has no signal for a click; the
// window's button is the way there. The system runs a control handler on a
// thread of its own, so the handler only notes the action and sets an
// event; the program acts on it at its own pace, as on POSIX. Another
// process asks for a close by setting this process's close event (see
// CloseEventName), which Windows has in place of SIGTERM.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>

#include "platform/signals.h"
#include "platform/windows/file.h"

namespace carob::platform {
namespace {

std::mutex g_mutex;
std::deque<SignalAction>* g_noted = nullptr;  // the active SignalPipe's notes
HANDLE g_event = nullptr;                     // set when something is noted

BOOL WINAPI NoteControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      NoteStop();
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_noted) g_noted->push_back(SignalAction::kClose);
      if (g_event) ::SetEvent(g_event);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

// Runs on a thread of the system's wait pool when the close event is set.
void CALLBACK NoteCloseEvent(PVOID, BOOLEAN) { NoteControl(CTRL_CLOSE_EVENT); }

}  // namespace

struct SignalPipe::Saved {
  std::deque<SignalAction> noted;
  HANDLE event = nullptr;
  HANDLE close_event = nullptr;  // set by another process asking for a close
  HANDLE close_wait = nullptr;
};

SignalPipe::SignalPipe(SignalSet /*set*/) {
  ClearStop();
  saved_ = std::make_unique<Saved>();
  saved_->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (saved_->event == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_noted = &saved_->noted;
    g_event = saved_->event;
  }
  ok_ = ::SetConsoleCtrlHandler(NoteControl, TRUE) != 0;
  saved_->close_event =
      ::CreateEventA(nullptr, FALSE, FALSE, win::CloseEventName(::GetCurrentProcessId()).c_str());
  if (saved_->close_event != nullptr &&
      !::RegisterWaitForSingleObject(&saved_->close_wait, saved_->close_event, NoteCloseEvent,
                                     nullptr, INFINITE, WT_EXECUTEDEFAULT)) {
    saved_->close_wait = nullptr;
  }
}

SignalPipe::~SignalPipe() {
  // Waits for a callback under way, so that none runs after the notes go.
  if (saved_->close_wait) ::UnregisterWaitEx(saved_->close_wait, INVALID_HANDLE_VALUE);
  if (saved_->close_event) ::CloseHandle(saved_->close_event);
  ::SetConsoleCtrlHandler(NoteControl, FALSE);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_noted == &saved_->noted) {
    g_noted = nullptr;
    g_event = nullptr;
  }
  if (saved_->event) ::CloseHandle(saved_->event);
}

void SignalPipe::Wake() {
  if (saved_ && saved_->event) ::SetEvent(saved_->event);
}

std::vector<SignalAction> SignalPipe::Drain() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<SignalAction> out(saved_->noted.begin(), saved_->noted.end());
  saved_->noted.clear();
  if (saved_->event) ::ResetEvent(saved_->event);
  return out;
}

bool SignalPipe::WaitReadable(double seconds) {
  double ms = std::clamp(seconds, 0.0, 1e9) * 1000.0;
  DWORD wait = static_cast<DWORD>(std::min(std::ceil(ms), 4.0e9));
  if (!ok_ || saved_->event == nullptr) {
    ::Sleep(wait);
    return false;
  }
  return ::WaitForSingleObject(saved_->event, wait) == WAIT_OBJECT_0;
}

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

}  // namespace carob::platform
