// CAROB's window started the way a desktop menu starts it: the Exec line of
// the installed desktop entry, run on a virtual display in a fresh family.
// package_test.sh runs this with CAROB_INSTALLED_ROOT naming the folder the
// package was installed or unpacked into ("/" when installed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/world.h"
#include "tests/support/x_display.h"

namespace carob::testing {
namespace {

// The Exec line's words, without the field codes (%f, %U, ...).
std::vector<std::string> ExecWords(const std::string& desktop_file) {
  std::ifstream in(desktop_file);
  std::vector<std::string> words;
  bool in_entry = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') in_entry = line == "[Desktop Entry]";
    if (!in_entry || line.rfind("Exec=", 0) != 0) continue;
    std::istringstream split(line.substr(5));
    for (std::string w; split >> w;) {
      if (!(w.size() == 2 && w[0] == '%')) words.push_back(w);
    }
  }
  return words;
}

TEST(DesktopEntryTest, ExecLineOpensTheWindowWithItsFilesInTheFamilyRoot) {
  const char* installed = std::getenv("CAROB_INSTALLED_ROOT");
  if (installed == nullptr) GTEST_SKIP() << "run through tests/package/package_test.sh";
  const std::string usr = std::string(installed) + "/usr";
  const std::vector<std::string> exec = ExecWords(usr + "/share/applications/carob.desktop");
  ASSERT_EQ(exec, std::vector<std::string>{"carob"});

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

  std::map<std::string, int> g = Geometry(display, win);
  const int colours = Screenshot(display, std::string(CAROB_BIN_DIR) + "/artifacts/desktop_entry.xwd",
                                 g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]);
  EXPECT_GE(colours, 4) << "the window's picture looks blank";

  ASSERT_TRUE(SendCloseRequest(display, win));
  EXPECT_EQ(carob.Wait(), 0);
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\TEMP\\STATUS")), "CAROB running"), "No");
  // Its program folder is the family's, whatever folder it was installed in.
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\TEMP\\STATUS")), "CAROB path"),
            "C:\\ORB\\CAROB\\CAROB.EXE");
  EXPECT_EQ(BankValue(ReadNative(family.Native("C:\\ORB\\CAROB\\CAROB.cfg")), "Output program"),
            "User");
}

}  // namespace
}  // namespace carob::testing
