// Chooses the toolkit: a real window when the X display opens, the
// headless loop otherwise (no DISPLAY, or a display that cannot be reached).
#include <FL/Fl.H>
#include <FL/x.H>

#include <cstdlib>

#include "ui/ui.h"
#include "ui/fltk_window.h"

namespace carob::platform::ui {

std::unique_ptr<Toolkit> NewToolkit() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return NewHeadlessToolkit();
  // FLTK ends the process when it cannot open the display, so try it first
  // and hand the open connection over.
  if (fl_display == nullptr) {
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) return NewHeadlessToolkit();
    fl_open_display(d);
  }
  return NewFltkToolkit();
}

}  // namespace carob::platform::ui
