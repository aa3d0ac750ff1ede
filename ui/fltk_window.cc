// The real window. The controls' data stays in the FormDescription; the
// widgets mirror it (through the controls' on_* notices) and report the
// user's edits, picks and clicks back to it.
#include "ui/fltk_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Input_Choice.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_ask.H>
#include <FL/x.H>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ui/loop_core.h"
#include "ui/window_icon.h"
#include "platform/signals.h"

namespace carob::platform::ui {
namespace {

constexpr int kFontSize = 12;

// WM_CLASS, instance and class alike: the desktop entry's StartupWMClass,
// by which docks group the window with its menu entry and show its icon.
constexpr char kWindowClass[] = "carob";

// The window's icon (_NET_WM_ICON), from pixels made with the program
// (ui/window_icon.h, scripts/icons.sh): no image file to find at run time.
void SetWindowIcon(Fl_Window& window) {
  const Fl_RGB_Image small(kWindowIcon32, kWindowIcon32Size, kWindowIcon32Size, 4);
  const Fl_RGB_Image large(kWindowIcon48, kWindowIcon48Size, kWindowIcon48Size, 4);
  const Fl_RGB_Image* icons[] = {&small, &large};
  window.icons(icons, 2);  // copies the pixels
}

// FLTK names the class with a capital first letter ("Carob"); the desktop
// entry matches the lower-case name, so both halves are set again before
// the window manager maps the window it has just been asked to map.
void SetWindowClass(Fl_Window& window) {
  XClassHint hint;
  std::string name = kWindowClass;
  hint.res_name = name.data();
  hint.res_class = name.data();
  XSetClassHint(fl_display, fl_xid(&window), &hint);
  XFlush(fl_display);
}

int Px(int twips) { return TwipsToPixels(twips); }

// A new widget over `r` (in twips), moved by (dx, dy) pixels.
template <class Widget>
Widget* Place(const Rect& r, int dx = 0, int dy = 0) {
  return new Widget(dx + Px(r.left), dy + Px(r.top), Px(r.width), Px(r.height));
}

// Menu labels give "/", "\", "&" and "_" a meaning; items are plain text.
std::string MenuLabel(const std::string& item) {
  std::string out;
  for (char c : item) {
    if (c == '/' || c == '\\') out.push_back('\\');
    if (c == '&') out.push_back('&');
    out.push_back(c);
  }
  if (!out.empty() && out[0] == '_') out.insert(out.begin(), '\\');
  return out;
}

class FltkToolkit;

struct TimerSlot {
  FltkToolkit* kit = nullptr;
  Timer* timer = nullptr;
  bool armed = false;
  bool missed = false;  // fell due while no tick could run
};

struct ComboBinding {
  ComboBox* combo = nullptr;
  Fl_Input_Choice* widget = nullptr;
};

struct ListBinding {
  ListBox* list = nullptr;
  Fl_Hold_Browser* widget = nullptr;
};

class FltkToolkit : public Toolkit {
 public:
  bool HasWindow() const override { return true; }

  int Run(FormDescription& form, FormEvents& events) override {
    auto start = [&](SignalPipe& pipe) {
      caption_ = form.caption;
      Build(form);
      if (pipe.ok()) Fl::add_fd(pipe.fd(), FL_READ, &FltkToolkit::OnSignalPipe, this);
      Fl::add_check(&FltkToolkit::OnCheck, this);
      ArmTimers();  // the timers run from the creation on
    };
    auto loop = [&](SignalPipe& pipe) {
      window_->show();
      SetWindowClass(*window_);
      // Without the signal pipe nothing could wake the wait for a close
      // asked for by a tick, so the wait then looks round now and then.
      while (!core_.closing()) Fl::wait(pipe.ok() ? 1e20 : 0.5);
    };
    auto finish = [&](SignalPipe& pipe) {
      Fl::remove_check(&FltkToolkit::OnCheck, this);
      if (pipe.ok()) Fl::remove_fd(pipe.fd());
      TearDown(form);
    };
    return core_.Run(form, events, start, loop, finish);
  }

  void Yield() override { Fl::check(); }

  void MessageBox(const std::string& text, const std::string& title) override {
    fl_message_title(title.c_str());
    const char* previous = fl_close;
    fl_close = "OK";
    fl_alert("%s", DisplayText(text).c_str());
    fl_close = previous;
  }

  void ShowStatus(const std::string& text) override {
    if (!window_) return ShowOnStderr(text);
    std::string shown = DisplayText(text);
    std::replace(shown.begin(), shown.end(), '\n', ' ');  // a caption has one line
    window_->copy_label(shown.empty() ? caption_.c_str() : (caption_ + " - " + shown).c_str());
  }

  // Timeouts run at the start of a wait, before it sleeps; a close asked
  // for there (from a tick) would wait for the next event. A byte in the
  // watched pipe makes the wait return, so the loop sees the request.
  void Close() override {
    core_.RequestClose();
    core_.Wake();
  }

  bool Closing() override { return core_.Closing(); }

 private:

  void Build(FormDescription& form) {
    window_ = std::make_unique<Fl_Double_Window>(Px(form.client_width), Px(form.client_height));
    window_->copy_label(form.caption.c_str());
    window_->callback(&FltkToolkit::OnWindowClose, this);
    window_->xclass(kWindowClass);
    SetWindowIcon(*window_);

    int fx = 0, fy = 0;
    if (form.frame != nullptr) {
      auto* group = Place<Fl_Group>(form.frame->place);
      fx = group->x();
      fy = group->y();
      group->box(FL_ENGRAVED_FRAME);
      group->copy_label(form.frame->caption.c_str());
      group->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
      group->labelsize(kFontSize);
    }
    for (Label* l : form.frame_labels) {
      if (l == nullptr) continue;
      auto* box = Place<Fl_Box>(l->place, fx, fy);
      box->copy_label(l->caption.c_str());
      box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
      box->labelsize(kFontSize - 1);
    }
    for (ComboBox* c : form.frame_combos) {
      if (c == nullptr) continue;
      auto* w = Place<Fl_Input_Choice>(c->place, fx, fy);
      w->textsize(kFontSize);
      w->menubutton()->textsize(kFontSize);
      for (const std::string& item : c->items) w->add(MenuLabel(item).c_str());
      w->value(c->Text().c_str());
      ComboBinding* b = combos_.emplace_back(new ComboBinding{c, w}).get();
      w->input()->when(FL_WHEN_CHANGED);
      w->input()->callback(&FltkToolkit::OnComboEdited, b);
      w->menubutton()->callback(&FltkToolkit::OnComboPicked, b);
      c->on_text_set = [b] { b->widget->value(b->combo->Text().c_str()); };
    }
    if (form.frame != nullptr) Fl_Group::current()->end();

    for (Button* btn : form.buttons) {
      if (btn == nullptr) continue;
      auto* w = Place<Fl_Button>(btn->place);
      w->copy_label(btn->caption.c_str());
      w->labelsize(kFontSize);
      w->callback(&FltkToolkit::OnButton, btn);
    }
    for (ListBox* l : form.lists) {
      if (l == nullptr) continue;
      auto* w = Place<Fl_Hold_Browser>(l->place);
      w->textsize(kFontSize);
      w->format_char(0);  // items are shown as they are, no "@" codes
      ListBinding* b = lists_.emplace_back(new ListBinding{l, w}).get();
      SyncList(*b);
      l->on_items_changed = [b] { SyncList(*b); };
      l->on_refresh = [b] {
        b->widget->redraw();
        Fl::flush();
      };
    }
    window_->end();

    for (Timer* t : form.timers) {
      if (t != nullptr) timers_.push_back(std::make_unique<TimerSlot>(TimerSlot{this, t, false, false}));
    }
  }

  void TearDown(FormDescription& form) {
    for (auto& s : timers_) Fl::remove_timeout(&FltkToolkit::OnTimer, s.get());
    timers_.clear();
    StopWatching(form);
    window_->hide();
    window_.reset();
    combos_.clear();
    lists_.clear();
    Fl::check();
  }

  // Keeps the browser's lines equal to the list's items. Adding at the end
  // (the common case, one line at a time) costs one line.
  static void SyncList(ListBinding& b) {
    const std::vector<std::string>& items = b.list->items();
    int shown = b.widget->size();
    if (static_cast<size_t>(shown) + 1 == items.size()) {
      b.widget->add(items.back().c_str());
      return;
    }
    if (static_cast<size_t>(shown) == items.size() && items.empty()) return;
    b.widget->clear();
    for (const std::string& item : items) b.widget->add(item.c_str());
  }

  static void OnComboEdited(Fl_Widget*, void* data) {
    auto* b = static_cast<ComboBinding*>(data);
    b->combo->UserEdited(b->widget->input()->value());
  }

  static void OnComboPicked(Fl_Widget*, void* data) {
    auto* b = static_cast<ComboBinding*>(data);
    int index = b->widget->menubutton()->value();
    if (index < 0 || index >= static_cast<int>(b->combo->items.size())) return;
    b->widget->value(b->combo->items[static_cast<size_t>(index)].c_str());
    b->combo->UserPicked(index);
  }

  static void OnButton(Fl_Widget*, void* data) {
    auto* btn = static_cast<Button*>(data);
    if (btn->Click) btn->Click();
  }

  static void OnWindowClose(Fl_Widget*, void* data) {
    // Escape closes FLTK windows by default; here only the window manager's
    // close (or a close signal) ends the program.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    static_cast<FltkToolkit*>(data)->Close();
  }

  static void OnSignalPipe(int, void* data) {
    auto* kit = static_cast<FltkToolkit*>(data);
    kit->core_.ActOnAll();
    // A close signal also answers an open message box; otherwise the
    // program could not end until somebody pressed OK.
    if (kit->core_.closing() && Fl::modal() != nullptr) Fl::modal()->hide();
  }

  // Runs before every wait of the event loop: arms the timers that run but
  // have no tick scheduled (after Load, after a tick that could not run, and
  // when a stopped timer is started again).
  static void OnCheck(void* data) {
    auto* kit = static_cast<FltkToolkit*>(data);
    if (kit->core_.MayTick()) kit->ArmTimers();
  }

  void ArmTimers() {
    for (auto& s : timers_) {
      if (s->armed || !LoopCore::Runs(*s->timer)) continue;
      s->armed = true;
      Fl::add_timeout(s->missed ? 0.0 : s->timer->Interval / 1000.0, &FltkToolkit::OnTimer, s.get());
      s->missed = false;
    }
  }

  static void OnTimer(void* data) {
    auto* s = static_cast<TimerSlot*>(data);
    FltkToolkit* kit = s->kit;
    s->armed = false;
    if (!LoopCore::Runs(*s->timer)) return;  // stopped: the check arms it if started again
    if (!kit->core_.MayTick()) {
      s->missed = true;
      return;
    }
    kit->core_.RunTick(*s->timer);
    // The interval is read after the tick, so a change takes effect now. It
    // counts from when this tick was due (repeat_timeout), as a system
    // timer's does: a tick that took longer is followed by the next at once.
    if (!s->armed && LoopCore::Runs(*s->timer) && !kit->core_.closing()) {
      s->armed = true;
      Fl::repeat_timeout(s->timer->Interval / 1000.0, &FltkToolkit::OnTimer, s);
    }
  }

  LoopCore core_;
  std::string caption_;
  std::unique_ptr<Fl_Double_Window> window_;
  std::vector<std::unique_ptr<ComboBinding>> combos_;
  std::vector<std::unique_ptr<ListBinding>> lists_;
  std::vector<std::unique_ptr<TimerSlot>> timers_;
};

}  // namespace

std::unique_ptr<Toolkit> NewFltkToolkit() { return std::make_unique<FltkToolkit>(); }

}  // namespace carob::platform::ui

#if defined(__SANITIZE_ADDRESS__)
// The font libraries under the toolkit keep caches for the life of the
// process and never free them; the leak checker is told to look past them
// so that it reports only leaks of our own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libXft.so\nleak:libX11.so\n";
}
#endif
