// CAROB's window started the way a desktop menu starts it: the Exec line of
// the installed desktop entry, run on a virtual display in a fresh family.
// package_test.sh runs this with CAROB_INSTALLED_ROOT naming the folder the
// package was installed or unpacked into ("/" when installed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "tests/support/process.h"
#include "tests/support/world.h"
#include "tests/support/x_display.h"

namespace carob::testing {
namespace {

// The value of `key` in the desktop file's [Desktop Entry] group; "<none>"
// when absent.
std::string EntryValue(const std::string& desktop_file, const std::string& key) {
  std::ifstream in(desktop_file);
  bool in_entry = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') in_entry = line == "[Desktop Entry]";
    if (in_entry && line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "<none>";
}

// The Exec line's words, without the field codes (%f, %U, ...).
std::vector<std::string> ExecWords(const std::string& desktop_file) {
  std::vector<std::string> words;
  std::istringstream split(EntryValue(desktop_file, "Exec"));
  for (std::string w; split >> w;) {
    if (!(w.size() == 2 && w[0] == '%')) words.push_back(w);
  }
  return words;
}

// A PNG file's width and height (from its IHDR); {0, 0} when it is none.
std::pair<int, int> PngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[24] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return {0, 0};
  static const unsigned char kMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (!std::equal(std::begin(kMagic), std::end(kMagic), head) ||
      std::string(reinterpret_cast<char*>(head + 12), 4) != "IHDR") {
    return {0, 0};
  }
  auto be32 = [&](int at) {
    return (head[at] << 24) | (head[at + 1] << 16) | (head[at + 2] << 8) | head[at + 3];
  };
  return {be32(16), be32(20)};
}

TEST(DesktopEntryTest, ExecLineOpensTheWindowWithItsFilesInTheFamilyRoot) {
  const char* installed = std::getenv("CAROB_INSTALLED_ROOT");
  if (installed == nullptr) GTEST_SKIP() << "run through tests/package/package_test.sh";
  const std::string usr = std::string(installed) + "/usr";
  const std::vector<std::string> exec = ExecWords(usr + "/share/applications/carob.desktop");
  ASSERT_EQ(exec, std::vector<std::string>{"carob"});
  // The icon the entry names, at the sizes docks and menus look for.
  EXPECT_EQ(EntryValue(usr + "/share/applications/carob.desktop", "Icon"), "carob");
  for (int size : {16, 32, 48, 64, 128, 256}) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    EXPECT_EQ(PngSize(usr + "/share/icons/hicolor/" + folder + "/apps/carob.png"),
              std::make_pair(size, size))
        << folder;
  }

  VirtualDisplay display;
  if (!display.ok()) GTEST_SKIP() << "Xvfb could not be started on a free display";
  TempRoot family;
  // The menu finds the program by name on the PATH, where the package put
  // it, and starts it with the user's environment (no ORB, TEMP or TMP).
  std::vector<std::string> argv = exec;
  argv[0] = usr + "/bin/" + argv[0];
  Launch launch{argv, {display.env(), "ORB_ROOT=" + family.path(), "HOME=" + family.path(),
                                 "PATH=" + usr + "/bin:" + std::getenv("PATH"), "ORB=", "TEMP=",
                                 "TMP="}};
  Process carob(launch);
  ASSERT_TRUE(carob.started());
  std::string win;
  ASSERT_TRUE(WaitUntil([&] { return !(win = FindWindow(display, "CAROB")).empty(); }))
      << carob.Err();
  ASSERT_TRUE(WaitUntil([&] {
    return BankValue(ReadNative(family.Native("C:\\TEMP\\STATUS")), "CAROB running") == "Yes";
  }));

  // The window is the entry's: docks match StartupWMClass to WM_CLASS.
  const std::string wm_class = EntryValue(usr + "/share/applications/carob.desktop", "StartupWMClass");
  EXPECT_EQ(wm_class, "carob");
  EXPECT_EQ(WindowClass(display, win), wm_class + "/" + wm_class);
  EXPECT_FALSE(WindowIconSizes(display, win).empty()) << "no _NET_WM_ICON on the window";

  std::map<std::string, int> g = Geometry(display, win);
  const int colours = Screenshot(display, std::string(CAROB_BIN_DIR) + "/artifacts/desktop_entry.xwd",
                                 g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]);
  EXPECT_GE(colours, 4) << "the window's picture looks blank";

  ASSERT_TRUE(SendCloseRequest(display, win));
  EXPECT_EQ(carob.Wait(), 0);
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\TEMP\\STATUS")), "CAROB running"), "No");
  // Its program folder is the family's, whatever folder it was installed in.
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\TEMP\\STATUS")), "CAROB path"),
            "C:\\ORB\\CAROB\\carob.EXE");
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\ORB\\CAROB\\CAROB.cfg")), "Output program"),
            "User");
}

}  // namespace
}  // namespace carob::testing
