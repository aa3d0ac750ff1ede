// A virtual X display for the window tests, and the few things they do on
// it: find a window, close it as a window manager would, take a picture of
// the screen. Include it after the kit's headers.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "tests/support/process.h"

// Xlib after the kit: its Status macro would hide platform::Status.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

namespace carob::testing {

// An Xvfb server on a free display number (the server picks it).
class VirtualDisplay {
 public:
  VirtualDisplay() {
    const std::string number = server_.ReadLine();
    if (number.empty()) return;
    // The number comes as soon as the server listens; wait until it also
    // takes clients. (With -noreset, the server does not reset whenever its
    // last client leaves, when a program connecting just then would fail.)
    const std::string name = ":" + number;
    const bool up = WaitUntil([&] {
      Display* dpy = XOpenDisplay(name.c_str());
      if (dpy != nullptr) XCloseDisplay(dpy);
      return dpy != nullptr;
    });
    if (up) name_ = name;
  }

  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  std::string env() const { return "DISPLAY=" + name_; }

 private:
  Process server_{Launch{
      {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
      {}, false, 60}};
  std::string name_;
};

// Runs xdotool on the display; its output, trimmed.
inline std::string XDo(const VirtualDisplay& d, std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  const std::string out = Run(Launch{std::move(args), {d.env()}}).out;
  return out.substr(0, out.find_last_not_of("\n ") + 1);
}

// The first window whose name begins with `name`; "" while there is none.
inline std::string FindWindow(const VirtualDisplay& d, const std::string& name) {
  const std::string out = XDo(d, {"search", "--name", "^" + name});
  return out.substr(0, out.find_first_of(" \n"));
}

// xdotool's window geometry, as NAME -> number (X, Y, WIDTH, HEIGHT).
inline std::map<std::string, int> Geometry(const VirtualDisplay& d, const std::string& window) {
  std::map<std::string, int> g;
  for (const std::string& line : SplitLines(XDo(d, {"getwindowgeometry", "--shell", window}))) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) g[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
  }
  return g;
}

// Asks the window to close as a window manager does (WM_DELETE_WINDOW).
inline bool SendCloseRequest(const VirtualDisplay& d, const std::string& window) {
  Display* dpy = XOpenDisplay(d.name().c_str());
  if (dpy == nullptr) return false;
  Window w = static_cast<Window>(std::stoul(window));
  XEvent ev{};  // all zero: its time, data.l[1], is CurrentTime
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
  int sent = XSendEvent(dpy, w, False, NoEventMask, &ev);
  XCloseDisplay(dpy);  // which flushes the event
  return sent != 0;
}

// A window's WM_CLASS as "instance/class"; "" when it has none.
inline std::string WindowClass(const VirtualDisplay& d, const std::string& window) {
  Display* dpy = XOpenDisplay(d.name().c_str());
  if (dpy == nullptr) return "";
  XClassHint hint{};
  std::string out;
  if (XGetClassHint(dpy, static_cast<Window>(std::stoul(window)), &hint) != 0) {
    out = std::string(hint.res_name ? hint.res_name : "") + "/" + (hint.res_class ? hint.res_class : "");
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
  }
  XCloseDisplay(dpy);
  return out;
}

// The sizes of the pictures in a window's _NET_WM_ICON (width, height, then
// width * height ARGB values, again for each), counting only those with
// at least one pixel that is not wholly transparent; empty when it has none
// or the property is malformed.
inline std::vector<std::pair<long, long>> WindowIconSizes(const VirtualDisplay& d,
                                                          const std::string& window) {
  Display* dpy = XOpenDisplay(d.name().c_str());
  if (dpy == nullptr) return {};
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<std::pair<long, long>> sizes;
  if (XGetWindowProperty(dpy, static_cast<Window>(std::stoul(window)),
                         XInternAtom(dpy, "_NET_WM_ICON", False), 0, 1L << 24, False, XA_CARDINAL,
                         &type, &format, &count, &after, &data) == Success &&
      type == XA_CARDINAL && format == 32) {
    const long* values = reinterpret_cast<const long*>(data);  // format 32 comes as longs
    for (unsigned long at = 0; at + 2 <= count;) {
      const long w = values[at], h = values[at + 1];
      const unsigned long end = at + 2 + static_cast<unsigned long>(w * h);
      if (w <= 0 || h <= 0 || end > count) return {};
      const bool visible = std::any_of(values + at + 2, values + end,
                                       [](long argb) { return ((argb >> 24) & 0xff) != 0; });
      if (visible) sizes.emplace_back(w, h);
      at = end;
    }
  }
  if (data != nullptr) XFree(data);
  XCloseDisplay(dpy);
  return sizes;
}

// The count of distinct pixel values inside a rectangle of the screen
// (clipped to it), or -1; a picture of the screen is left at `xwd_path`.
inline int Screenshot(const VirtualDisplay& d, const std::string& xwd_path, int x, int y, int w,
                      int h) {
  std::filesystem::create_directories(std::filesystem::path(xwd_path).parent_path());
  Run({{"xwd", "-root", "-display", d.name(), "-out", xwd_path}, {}});
  Display* dpy = XOpenDisplay(d.name().c_str());
  if (dpy == nullptr) return -1;
  XImage* image = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, DisplayWidth(dpy, 0),
                            DisplayHeight(dpy, 0), AllPlanes, ZPixmap);
  XCloseDisplay(dpy);  // the image is the client's own
  std::set<unsigned long> seen;
  for (int row = std::max(0, y); image != nullptr && row < std::min(y + h, image->height); ++row) {
    for (int col = std::max(0, x); col < std::min(x + w, image->width); ++col) {
      seen.insert(XGetPixel(image, col, row));
    }
  }
  if (image != nullptr) XDestroyImage(image);
  return seen.empty() ? -1 : static_cast<int>(seen.size());
}

}  // namespace carob::testing
