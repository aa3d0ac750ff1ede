// The Windows window, shown by a real carob.exe on the display the test
// command gives (wine on a virtual X display): the form's controls at their
// places (the control table's twips at the screen's resolution), a
// screenshot that is not blank, and a close from the window manager that
// ends the program as not running. Without a display the same program runs
// headless.
#include <windows.h>
#undef Yield
#undef MessageBox

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

struct Search {
  DWORD pid = 0;
  HWND found = nullptr;
};

// The form window of process `pid`, or null.
HWND FindForm(DWORD pid) {
  Search s{pid};
  ::EnumWindows(
      [](HWND h, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD owner = 0;
        char cls[64] = {};
        ::GetWindowThreadProcessId(h, &owner);
        ::GetClassNameA(h, cls, sizeof cls);
        if (owner != s->pid || std::string(cls) != "CarobForm") return TRUE;
        s->found = h;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&s));
  return s.found;
}

struct Child {
  std::string cls, text;
  RECT place;  // in the form's client coordinates
};

std::vector<Child> Children(HWND form) {
  struct Walk {
    HWND form;
    std::vector<Child> out;
  } walk{form, {}};
  ::EnumChildWindows(
      form,
      [](HWND h, LPARAM lp) -> BOOL {
        auto* w = reinterpret_cast<Walk*>(lp);
        Child c;
        char buf[256] = {};
        ::GetClassNameA(h, buf, sizeof buf);
        c.cls = buf;
        for (char& ch : c.cls) ch = static_cast<char>(std::tolower(ch & 0xff));
        ::GetWindowTextA(h, buf, sizeof buf);
        c.text = buf;
        ::GetWindowRect(h, &c.place);
        ::MapWindowPoints(nullptr, w->form, reinterpret_cast<POINT*>(&c.place), 2);
        w->out.push_back(c);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&walk));
  return walk.out;
}

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

// The number of different colours on the screen where the form's client
// area is.
size_t ColoursShown(HWND form) {
  RECT r;
  ::GetClientRect(form, &r);
  ::MapWindowPoints(form, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return 0;
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  HBITMAP shot = ::CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = ::SelectObject(mem, shot);
  ::BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ::SelectObject(mem, old);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
  ::GetDIBits(mem, shot, 0, static_cast<UINT>(h), pixels.data(), &bi, DIB_RGB_COLORS);
  ::DeleteObject(shot);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  return std::set<uint32_t>(pixels.begin(), pixels.end()).size();
}

TEST(WindowsWindow, ShowsTheControlsAtTheirPlacesPaintsThemAndClosesAsNotRunning) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') GTEST_SKIP() << "no display to show the window on";
  Computer pc;
  Process carob(Launch{{pc.carob}, {}, false, 120});
  HWND form = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    form = FindForm(static_cast<DWORD>(carob.pid()));
    return form != nullptr && ::IsWindowVisible(form);
  })) << carob.Err();

  const int dpi = ScreenDpi();
  auto px = [dpi](int twips) { return ::MulDiv(twips, dpi, 1440); };
  RECT client;
  ::GetClientRect(form, &client);
  EXPECT_EQ(client.right, px(7110));
  EXPECT_EQ(client.bottom, px(6000));

  // Class, caption, and left, top and width in twips (a combo box's height
  // holds its drop-down list); controls in the frame lie relative to it.
  struct Want {
    const char* cls;
    const char* text;
    int left, top, width;
  };
  const std::vector<Want> wants = {
      {"button", "Input/Output", 120, 120, 3135}, {"static", "Input:", 240, 480, 615},
      {"static", "Output:", 240, 840, 615},       {"combobox", "", 960, 480, 2175},
      {"combobox", "", 960, 840, 2175},           {"button", "Think1", 120, 1440, 1215},
      {"listbox", "", 120, 2640, 1215},           {"listbox", "", 3360, 120, 3015},
  };
  const std::vector<Child> children = Children(form);
  for (const Want& want : wants) {
    bool found = false;
    for (const Child& c : children) {
      found |= c.cls == want.cls && (want.text[0] == '\0' || c.text == want.text) &&
               c.place.left == px(want.left) && c.place.top == px(want.top) &&
               c.place.right - c.place.left == px(want.width);
    }
    EXPECT_TRUE(found) << want.cls << " \"" << want.text << "\" at " << want.left << "," << want.top;
  }

  // Painted: a blank client area shows one colour; the form's shows at
  // least its face, the lists' white and the captions' text.
  size_t colours = 0;
  EXPECT_TRUE(WaitUntil([&] { return (colours = ColoursShown(form)) >= 3; }, 30)) << colours;

  ::PostMessageA(form, WM_CLOSE, 0, 0);
  EXPECT_EQ(carob.Wait(60), 0) << carob.Err();
  EXPECT_EQ(pc.StatusValue("CAROB running"), "No");
}

// Run without a display (wine hands its own display on to the programs a
// program starts, so this runs in a test program of its own).
TEST(WindowsWindow, WithoutADisplayCarobRunsHeadless) {
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0') GTEST_SKIP() << "a display is there";
  Computer pc;
  auto carob = pc.Start({pc.carob});  // without DISPLAY
  EXPECT_TRUE(WaitUntil([&] { return carob->Err().find("CAROB started") != std::string::npos; }))
      << carob->Err();
  EXPECT_EQ(FindForm(static_cast<DWORD>(carob->pid())), nullptr);
  EXPECT_EQ(pc.StatusValue("CAROB running"), "Yes");
}

}  // namespace
}  // namespace carob::testing
