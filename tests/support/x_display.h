// A virtual X display for the window tests, and the few things they do on
// it: find a window, close it as a window manager would, take a picture of
// the screen. Include it after the kit's headers.
#pragma once

#include <map>
#include <set>

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
  std::string out = Run(Launch{std::move(args), {d.env()}}).out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
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
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  int sent = XSendEvent(dpy, w, False, NoEventMask, &ev);
  XFlush(dpy);
  XCloseDisplay(dpy);
  return sent != 0;
}

// The count of distinct pixel values inside a rectangle of the screen
// (clipped to it), or -1; a picture of the screen is left at `xwd_path`.
inline int Screenshot(const VirtualDisplay& d, const std::string& xwd_path, int x, int y, int w,
                      int h) {
  std::filesystem::create_directories(std::filesystem::path(xwd_path).parent_path());
  Run({{"xwd", "-root", "-display", d.name(), "-out", xwd_path}, {}});
  Display* dpy = XOpenDisplay(d.name().c_str());
  if (dpy == nullptr) return -1;
  const int left = std::max(0, x), top = std::max(0, y);
  const int width = std::min(x + w, DisplayWidth(dpy, DefaultScreen(dpy))) - left;
  const int height = std::min(y + h, DisplayHeight(dpy, DefaultScreen(dpy))) - top;
  XImage* image = width > 0 && height > 0 ? XGetImage(dpy, DefaultRootWindow(dpy), left, top, width,
                                                     height, AllPlanes, ZPixmap)
                                          : nullptr;
  int colours = -1;
  if (image != nullptr) {
    std::set<unsigned long> seen;
    for (int row = 0; row < height; ++row) {
      for (int col = 0; col < width; ++col) seen.insert(XGetPixel(image, col, row));
    }
    colours = static_cast<int>(seen.size());
    XDestroyImage(image);
  }
  XCloseDisplay(dpy);
  return colours;
}

}  // namespace carob::testing
