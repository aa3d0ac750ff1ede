// The real window on Windows: the system's own controls (buttons, list
// boxes, combo boxes, labels and a group box for the frame) at the places
// the form gives, the control table's twips converted at the screen's
// resolution. As with the X11 window the controls' data stays in the
// FormDescription; the controls mirror it and report the user's edits,
// picks and clicks back. Without a window station (a service, a session
// without a desktop) the program runs headless.
#include <windows.h>
// Names of ours that the system's headers define as macros.
#undef Yield
#undef MessageBox

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ui/ui.h"
#include "ui/loop_core.h"

namespace carob::platform::ui {
namespace {

constexpr char kClassName[] = "CarobForm";
constexpr UINT_PTR kFirstTimerId = 100;
constexpr int kFirstControlId = 1000;

// The program's CR LF line ends; a control wants the same, Windows-style.
std::string WindowText(const std::string& text) {
  std::string out;
  for (char c : DisplayText(text)) {
    if (c == '\n') out += "\r\n"; else out.push_back(c);
  }
  return out;
}

class WinToolkit;

struct TimerSlot {
  Timer* timer = nullptr;
  UINT_PTR id = 0;
  bool armed = false;
  bool missed = false;  // fell due while no tick could run
};

struct Control {
  enum Kind { kButton, kCombo, kList } kind;
  HWND hwnd = nullptr;
  Button* button = nullptr;
  ComboBox* combo = nullptr;
  ListBox* list = nullptr;
};

class WinToolkit : public Toolkit {
 public:
  WinToolkit() {
    HDC screen = ::GetDC(nullptr);
    dpi_ = screen ? ::GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ::ReleaseDC(nullptr, screen);
    if (dpi_ <= 0) dpi_ = 96;
    font_ = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  }

  bool HasWindow() const override { return true; }

  int Run(FormDescription& form, FormEvents& events) override {
    if (core_.active()) return 0;
    core_.Begin(&form, &events);  // its signals are polled (ActOnAll), not watched
    caption_ = form.caption;
    if (!Build(form)) {
      // No window after all: the form runs as it would headless.
      core_.End();
      return NewHeadlessToolkit()->Run(form, events);
    }
    core_.RunLoad();
    if (!core_.closing()) {
      ::ShowWindow(window_, SW_SHOWNORMAL);
      ::UpdateWindow(window_);
      while (!core_.closing()) {
        ArmTimers();
        // Control events come as signals noted by another thread; look at
        // them at least every tenth of a second.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        Pump();
      }
    }
    core_.RunUnload();
    TearDown(form);
    core_.End();
    return 0;
  }

  void Yield() override { Pump(); }

  void MessageBox(const std::string& text, const std::string& title) override {
    ::MessageBoxA(window_, WindowText(text).c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
  }

  void ShowStatus(const std::string& text) override {
    if (window_ == nullptr) return ShowOnStderr(text);
    std::string shown = DisplayText(text);
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    ::SetWindowTextA(window_, shown.empty() ? caption_.c_str() : (caption_ + " - " + shown).c_str());
  }

  void Close() override {
    core_.RequestClose();
    if (window_) ::PostMessageA(window_, WM_NULL, 0, 0);
  }

 private:
  int Px(int twips) const { return ::MulDiv(twips, dpi_, 1440); }

  // Handles every pending message and noted signal, then returns.
  void Pump() {
    core_.ActOnAll();
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        core_.RequestClose();
        continue;
      }
      if (window_ == nullptr || !::IsDialogMessageA(window_, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
    }
    core_.ActOnAll();
  }

  static void RegisterClassOnce() {
    static bool done = false;
    if (done) return;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WinToolkit::WindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    done = ::RegisterClassExA(&wc) != 0;
  }

  HWND Child(const char* cls, const std::string& text, DWORD style, const Rect& r, int dx, int dy,
             int extra_height = 0) {
    const int id = kFirstControlId + static_cast<int>(controls_.size());
    HWND h = ::CreateWindowExA(
        cls == std::string("LISTBOX") || cls == std::string("COMBOBOX") ? WS_EX_CLIENTEDGE : 0, cls,
        text.c_str(), WS_CHILD | WS_VISIBLE | style, dx + Px(r.left), dy + Px(r.top), Px(r.width),
        Px(r.height) + extra_height, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        ::GetModuleHandleA(nullptr), nullptr);
    if (h) ::SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    return h;
  }

  bool Build(FormDescription& form) {
    RegisterClassOnce();
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT outer{0, 0, Px(form.client_width), Px(form.client_height)};
    ::AdjustWindowRect(&outer, style, FALSE);
    window_ = ::CreateWindowExA(0, kClassName, form.caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                                outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                                ::GetModuleHandleA(nullptr), this);
    if (window_ == nullptr) return false;

    int fx = 0, fy = 0;
    if (form.frame != nullptr) {
      Child("BUTTON", form.frame->caption, BS_GROUPBOX, form.frame->place, 0, 0);
      controls_.push_back({Control::kButton});  // keeps the ids in step
      fx = Px(form.frame->place.left);
      fy = Px(form.frame->place.top);
    }
    for (Label* l : form.frame_labels) {
      if (l == nullptr) continue;
      Child("STATIC", l->caption, SS_LEFT, l->place, fx, fy);
      controls_.push_back({Control::kButton});
    }
    for (ComboBox* c : form.frame_combos) {
      if (c == nullptr) continue;
      // A combo box's height includes its drop-down list.
      HWND h = Child("COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, c->place,
                     fx, fy, Px(1500));
      for (const std::string& item : c->items) {
        ::SendMessageA(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      }
      ::SetWindowTextA(h, c->Text().c_str());
      controls_.push_back({Control::kCombo, h, nullptr, c});
      c->on_text_set = [this, h, c] {
        setting_text_ = true;
        ::SetWindowTextA(h, c->Text().c_str());
        setting_text_ = false;
      };
    }
    for (Button* b : form.buttons) {
      if (b == nullptr) continue;
      HWND h = Child("BUTTON", b->caption, BS_PUSHBUTTON | WS_TABSTOP, b->place, 0, 0);
      controls_.push_back({Control::kButton, h, b});
    }
    for (ListBox* l : form.lists) {
      if (l == nullptr) continue;
      HWND h = Child("LISTBOX", "", LBS_NOINTEGRALHEIGHT | LBS_NOTIFY | WS_VSCROLL | WS_HSCROLL, l->place,
                     0, 0);
      controls_.push_back({Control::kList, h, nullptr, nullptr, l});
      SyncList(h, *l);
      l->on_items_changed = [h, l] { SyncList(h, *l); };
      l->on_refresh = [h] { ::UpdateWindow(h); };
    }
    UINT_PTR id = kFirstTimerId;
    for (Timer* t : form.timers) {
      if (t != nullptr) timers_.push_back(std::make_unique<TimerSlot>(TimerSlot{t, id++}));
    }
    return true;
  }

  void TearDown(FormDescription& form) {
    for (auto& s : timers_) ::KillTimer(window_, s->id);
    timers_.clear();
    StopWatching(form);
    ::DestroyWindow(window_);
    window_ = nullptr;
    controls_.clear();
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  }

  // The list control's lines equal the list's items; adding at the end
  // (the common case) adds one line.
  static void SyncList(HWND h, const ListBox& list) {
    const std::vector<std::string>& items = list.items();
    const LRESULT shown = ::SendMessageA(h, LB_GETCOUNT, 0, 0);
    if (shown >= 0 && static_cast<size_t>(shown) + 1 == items.size()) {
      ::SendMessageA(h, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items.back().c_str()));
      return;
    }
    ::SendMessageA(h, WM_SETREDRAW, FALSE, 0);
    ::SendMessageA(h, LB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
      ::SendMessageA(h, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    ::SendMessageA(h, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(h, nullptr, TRUE);
  }

  // Timers that run but have no tick scheduled get one: after Load, after
  // a tick that could not run, and when a stopped timer is started again.
  void ArmTimers() {
    if (!core_.MayTick()) return;
    for (auto& s : timers_) {
      if (s->armed || !LoopCore::Runs(*s->timer)) continue;
      s->armed = true;
      ::SetTimer(window_, s->id, s->missed ? 1 : static_cast<UINT>(s->timer->Interval), nullptr);
      s->missed = false;
    }
  }

  void OnTimer(UINT_PTR id) {
    for (auto& s : timers_) {
      if (s->id != id) continue;
      ::KillTimer(window_, id);
      s->armed = false;
      if (!LoopCore::Runs(*s->timer)) return;
      if (!core_.MayTick()) {
        s->missed = true;
        return;
      }
      const ULONGLONG began = ::GetTickCount64();
      core_.RunTick(*s->timer);
      // The interval is read after the tick, so a change takes effect now. It
      // counts from the tick's start, as the timer's own period does: a tick
      // that took longer is followed by the next as soon as the system lets.
      if (!s->armed && LoopCore::Runs(*s->timer) && !core_.closing() && window_ != nullptr) {
        s->armed = true;
        const ULONGLONG took = ::GetTickCount64() - began;
        const ULONGLONG interval = static_cast<ULONGLONG>(s->timer->Interval);
        // (The system's shortest timer, about 10 ms, stands for "at once":
        // a posted message would come before the user's input.)
        ::SetTimer(window_, s->id, static_cast<UINT>(took < interval ? interval - took : 1), nullptr);
      }
      return;
    }
  }

  void OnCommand(int id, int code) {
    const int index = id - kFirstControlId;
    if (index < 0 || index >= static_cast<int>(controls_.size())) return;
    Control& c = controls_[static_cast<size_t>(index)];
    if (c.kind == Control::kButton && c.button && code == BN_CLICKED) {
      if (c.button->Click) c.button->Click();
    } else if (c.kind == Control::kCombo && c.combo) {
      if (code == CBN_EDITCHANGE && !setting_text_) {
        char buf[1024] = {};
        ::GetWindowTextA(c.hwnd, buf, sizeof buf);
        c.combo->UserEdited(buf);
      } else if (code == CBN_SELCHANGE) {
        const LRESULT picked = ::SendMessageA(c.hwnd, CB_GETCURSEL, 0, 0);
        if (picked >= 0) c.combo->UserPicked(static_cast<int>(picked));
      }
    }
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTA*>(lp);
      ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* kit = reinterpret_cast<WinToolkit*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (kit != nullptr) {
      switch (msg) {
        case WM_COMMAND:
          kit->OnCommand(LOWORD(wp), HIWORD(wp));
          return 0;
        case WM_TIMER:
          kit->OnTimer(wp);
          return 0;
        case WM_CLOSE:
          // The window goes when the loop has run Unload.
          kit->Close();
          return 0;
        default:
          break;
      }
    }
    return ::DefWindowProcA(hwnd, msg, wp, lp);
  }

  LoopCore core_;
  std::string caption_;
  int dpi_ = 96;
  HFONT font_ = nullptr;
  HWND window_ = nullptr;
  bool setting_text_ = false;
  std::vector<Control> controls_;
  std::vector<std::unique_ptr<TimerSlot>> timers_;
};

// True when the process can show windows: it has a window station with an
// interactive desktop, and a window can be made there (a session whose
// display cannot be reached has the desktop but makes no windows).
bool CanShowWindows() {
  if (::GetProcessWindowStation() == nullptr) return false;
  HDESK desk = ::OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (desk == nullptr) return false;
  ::CloseDesktop(desk);
  HWND probe = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
  if (probe == nullptr) return false;
  ::DestroyWindow(probe);
  return true;
}

}  // namespace

std::unique_ptr<Toolkit> NewToolkit() {
  if (!CanShowWindows()) return NewHeadlessToolkit();
  return std::make_unique<WinToolkit>();
}

}  // namespace carob::platform::ui
