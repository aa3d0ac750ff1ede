// The real window on a virtual X display: the probe program for the
// toolkit's own behaviour, then carob itself driven like a user would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ui/ui.h"
#include "tests/support/process.h"
#include "tests/support/world.h"

#include "tests/support/x_display.h"

namespace carob::platform::ui {
namespace {

using namespace carob::testing;  // the test kit

// Window-relative pixel centre of a control's place (inside the frame when
// `frame` is given).
struct Point {
  int x, y;
};
Point Centre(const Rect& r, const Rect* frame = nullptr) {
  int ox = frame ? TwipsToPixels(frame->left) : 0, oy = frame ? TwipsToPixels(frame->top) : 0;
  return {ox + TwipsToPixels(r.left) + TwipsToPixels(r.width) / 2,
          oy + TwipsToPixels(r.top) + TwipsToPixels(r.height) / 2};
}

// carob's layout.
const Rect kFrame{120, 120, 3135, 1215};
const Rect kInProg{840, 360, 2175, 315};
const Rect kOutProg{840, 720, 2175, 315};
const Rect kThink1{120, 1440, 1215, 495};
const Rect kActiveMemory{3360, 120, 3015, 5715};

void ClickAt(const VirtualDisplay& d, const std::string& win, Point p) {
  XDo(d, {"mousemove", "--window", win, std::to_string(p.x), std::to_string(p.y), "click", "1"});
}

// Clicks into a combo box's text field (left part, away from its button).
void ClickIntoText(const VirtualDisplay& d, const std::string& win, const Rect& combo) {
  Point c = Centre(combo, &kFrame);
  c.x = TwipsToPixels(kFrame.left) + TwipsToPixels(combo.left) + 20;
  ClickAt(d, win, c);
}

std::string ArtifactPath(const std::string& name) {
  return std::string(CAROB_BIN_DIR) + "/artifacts/" + name;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.ok()) GTEST_SKIP() << "Xvfb could not be started on a free display";
  }

  // Waits for the window named `caption` (as a prefix) and returns its id.
  std::string AwaitWindow(const std::string& caption) {
    std::string win;
    WaitUntil([&] { return !(win = FindWindow(display_, caption)).empty(); });
    return win;
  }

  // A picture of the window; the number of distinct pixel values in it.
  int Picture(const std::string& win, const std::string& name) {
    auto g = Geometry(display_, win);
    return Screenshot(display_, ArtifactPath(name), g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]);
  }
  // The same for the inside of one control (a few pixels in from its edge).
  int Picture(const std::string& win, const std::string& name, const Rect& place) {
    auto g = Geometry(display_, win);
    return Screenshot(display_, ArtifactPath(name), g["X"] + TwipsToPixels(place.left) + 4,
                      g["Y"] + TwipsToPixels(place.top) + 4, TwipsToPixels(place.width) - 28,
                      TwipsToPixels(place.height) - 8);
  }

  VirtualDisplay display_;
  TempRoot root_;
};

class ProbeWindowTest : public WindowTest {
 protected:
  std::unique_ptr<Process> StartProbe(std::vector<std::string> options) {
    options.insert(options.begin(), {std::string(CAROB_BIN_DIR) + "/ui_probe", log_});
    auto probe = std::make_unique<Process>(Launch{options, {display_.env()}});
    EXPECT_TRUE(probe->started());
    return probe;
  }
  std::string log_ = root_.path() + "/events.log";
};

TEST_F(ProbeWindowTest, ShowsTheFormAndReportsClicksEditsPicksAndTheClose) {
  auto probe = StartProbe({"interval=60000"});
  std::string win = AwaitWindow("CAROB");
  ASSERT_FALSE(win.empty()) << "no window named CAROB appeared";
  EXPECT_EQ(XDo(display_, {"getwindowname", win}), "CAROB");
  auto g = Geometry(display_, win);
  EXPECT_EQ(g["WIDTH"], TwipsToPixels(7110));
  EXPECT_EQ(g["HEIGHT"], TwipsToPixels(6000));
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "load done"); }));
  EXPECT_EQ(ReadLines(log_).front(), "load window");

  // The button; its handler fills a list, and the list box shows the lines.
  EXPECT_EQ(Picture(win, "probe_list_empty.xwd", kActiveMemory), 1);
  ClickAt(display_, win, Centre(kThink1));
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "click done"); }));
  EXPECT_TRUE(WaitUntil([&] { return Picture(win, "probe_list_full.xwd", kActiveMemory) > 1; }));

  // Typing: one change a keystroke, each with the text so far.
  ClickIntoText(display_, win, kOutProg);
  XDo(display_, {"type", "--delay", "40", "Lex"});
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "change OutProg Lex"); }));
  EXPECT_TRUE(HasLine(log_, "change OutProg L"));
  EXPECT_TRUE(HasLine(log_, "change OutProg Le"));

  // Picking from the list: a click notice with the item's text, no change.
  Point arrow = Centre(kInProg, &kFrame);
  arrow.x = TwipsToPixels(kFrame.left) + TwipsToPixels(kInProg.left) + TwipsToPixels(kInProg.width) - 8;
  ClickAt(display_, win, arrow);
  WaitUntil([&] { return FindWindow(display_, "CAROB") != ""; }, 2);
  XDo(display_, {"key", "--delay", "100", "Down", "Down", "Return"});
  ASSERT_TRUE(WaitUntil([&] {
    return HasLine(log_, "pick InProg Lexwright") || HasLine(log_, "pick InProg User");
  }));
  for (const std::string& l : ReadLines(log_)) EXPECT_NE(l.rfind("change InProg", 0), 0u) << l;

  int colours = Picture(win, "probe_window.xwd");
  EXPECT_GE(colours, 4) << "the window's picture looks blank";

  // Escape does not close the window; the window manager's close does.
  XDo(display_, {"key", "--window", win, "Escape"});
  probe->Signal(SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] { return ReadLines(log_).back() == "click done"; }));
  EXPECT_FALSE(HasLine(log_, "unload"));
  ASSERT_TRUE(SendCloseRequest(display_, win));
  EXPECT_EQ(probe->Wait(), 0);
  std::vector<std::string> lines = ReadLines(log_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "unload");
  EXPECT_EQ(lines.back(), "exit 0");
}

TEST_F(ProbeWindowTest, StatusInTheCaptionSignalsClickAndClose) {
  auto probe = StartProbe({"interval=30", "status=busy", "text=Lexwright"});
  std::string win = AwaitWindow("CAROB");
  ASSERT_FALSE(win.empty());
  ASSERT_TRUE(WaitUntil([&] { return XDo(display_, {"getwindowname", win}) == "CAROB - busy"; }))
      << XDo(display_, {"getwindowname", win});
  // The program's own text reached the field and was reported as a change.
  EXPECT_TRUE(HasLine(log_, "change OutProg Lexwright"));
  // The field shows it: typing at its end extends the program's text.
  ClickIntoText(display_, win, kOutProg);
  XDo(display_, {"key", "End"});
  XDo(display_, {"type", "X"});
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "change OutProg LexwrightX"); }));

  probe->Signal(SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "click done"); }));
  probe->Signal(SIGTERM);
  EXPECT_EQ(probe->Wait(), 0);
  EXPECT_TRUE(HasLine(log_, "unload"));
  EXPECT_EQ(ReadLines(log_).back(), "exit 0");
}

TEST_F(ProbeWindowTest, MessageBoxIsModalWithItsTitleAndOneButton) {
  auto probe = StartProbe({"box=ORB STATUS subsystem"});
  std::string box = AwaitWindow("ORB STATUS subsystem");
  ASSERT_FALSE(box.empty()) << "no message box appeared";
  EXPECT_EQ(XDo(display_, {"getwindowname", box}), "ORB STATUS subsystem");
  EXPECT_GE(Picture(box, "message_box.xwd"), 4);
  // Load waits for the answer; the main window is not up yet.
  EXPECT_FALSE(HasLine(log_, "box answered"));
  EXPECT_EQ(FindWindow(display_, "CAROB"), "");
  // The one button sits at the bottom right.
  auto g = Geometry(display_, box);
  ClickAt(display_, box, {g["WIDTH"] - 50, g["HEIGHT"] - 21});
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "load done"); }));
  EXPECT_TRUE(HasLine(log_, "box answered"));
  std::string win = AwaitWindow("CAROB");
  ASSERT_FALSE(win.empty());
  ASSERT_TRUE(SendCloseRequest(display_, win));
  EXPECT_EQ(probe->Wait(), 0);
}

TEST_F(ProbeWindowTest, CloseSignalAnswersAnOpenMessageBox) {
  auto probe = StartProbe({"box=ORB STATUS subsystem"});
  ASSERT_FALSE(AwaitWindow("ORB STATUS subsystem").empty());
  probe->Signal(SIGTERM);
  EXPECT_EQ(probe->Wait(), 0);
  EXPECT_EQ(ReadLines(log_), (std::vector<std::string>{"load window", "box answered", "load done",
                                                         "unload", "exit 0"}));
}

TEST_F(ProbeWindowTest, CloseFromATickEndsTheLoop) {
  auto probe = StartProbe({"interval=1", "close-after=2"});
  EXPECT_EQ(probe->Wait(), 0);
  EXPECT_EQ(ReadLines(log_), (std::vector<std::string>{"load window", "load done", "tick 1 1",
                                                         "tick 2 1", "unload", "exit 0"}));
}

TEST_F(ProbeWindowTest, NoTickStartsInsideAnotherTicksYield) {
  auto probe = StartProbe({"interval=1", "yield-in-tick", "close-after=4"});
  EXPECT_EQ(probe->Wait(), 0);
  EXPECT_FALSE(HasLine(log_, "nested tick"));
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(HasLine(log_, "tick " + std::to_string(n) + " 1"));
  EXPECT_FALSE(HasLine(log_, "tick 5 1"));
  EXPECT_EQ(ReadLines(log_).back(), "exit 0");
}

TEST_F(ProbeWindowTest, CloseSignalDuringLoadIsNotFatal) {
  auto probe = StartProbe({"raise-in-load=SIGTERM"});
  EXPECT_EQ(probe->Wait(), 0);
  EXPECT_EQ(ReadLines(log_),
            (std::vector<std::string>{"load window", "load done", "unload", "exit 0"}));
}

// The timer runs from the window's creation: ticks and a click run in the
// yields of a long Load (the registry's waits), and a close ends the wait.
TEST_F(ProbeWindowTest, TicksClicksAndACloseReachALoadThatYields) {
  auto probe = StartProbe({"interval=20", "load-wait=20000"});
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "tick 2 20"); }));
  probe->Signal(SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "click done"); }));
  probe->Signal(SIGTERM);
  EXPECT_EQ(probe->Wait(10), 0);
  const std::vector<std::string> lines = ReadLines(log_);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines.front(), "load window");
  const std::vector<std::string> end = {"load wait closed", "load done", "unload", "exit 0"};
  EXPECT_TRUE(std::equal(end.begin(), end.end(), lines.end() - 4))
      << ::testing::PrintToString(lines);
  EXPECT_FALSE(HasLine(log_, "nested tick"));
}

// carob itself, installed in a fresh ORB root.
class CarobWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    std::string built = std::string(CAROB_BIN_DIR) + "/carob";
    ASSERT_TRUE(std::filesystem::exists(built)) << "carob is not built: " << built;
    root_.MakeFolder("C:\\ORB\\CAROB");
    root_.MakeFolder("C:\\TEMP");
    std::filesystem::copy_file(built, root_.Native("C:\\ORB\\CAROB\\carob"));
    ::chmod(root_.Native("C:\\ORB\\CAROB\\carob").c_str(), 0755);
    root_.WriteFile("C:\\ORB\\CAROB\\CAROB.dat", "sky=blue\r\n");
  }

  std::unique_ptr<Process> StartCarob() {
    auto carob = std::make_unique<Process>(Launch{
        {root_.Native("C:\\ORB\\CAROB\\carob")},
        {display_.env(), "ORB_ROOT=" + root_.path(), "TEMP=" + root_.Native("C:\\TEMP"),
         "TMP=" + root_.Native("C:\\TEMP"), "ORB="}});
    EXPECT_TRUE(carob->started());
    return carob;
  }

  // The value of `key` in the databank file (keys case-blind, blanks
  // around key and value ignored); "<none>" when absent.
  std::string Value(const std::string& windows_path, const std::string& key) {
    return BankValue(ReadNative(root_.Native(windows_path)), key).value_or("<none>");
  }

  // The STATUS databank lies in the temporary folder.
  std::string StatusValue(const std::string& key) { return Value("C:\\TEMP\\STATUS", key); }
};

TEST_F(CarobWindowTest, ThinksStoresTheOutputProgramAndSignsOffOnClose) {
  auto carob = StartCarob();
  std::string win = AwaitWindow("CAROB");
  ASSERT_FALSE(win.empty()) << "carob's window did not appear";
  EXPECT_EQ(XDo(display_, {"getwindowname", win}), "CAROB");
  // The desktop entry's StartupWMClass, and an icon on the window itself.
  EXPECT_EQ(WindowClass(display_, win), "carob/carob");
  using Sizes = std::vector<std::pair<long, long>>;
  EXPECT_EQ(WindowIconSizes(display_, win), (Sizes{{32, 32}, {48, 48}}));
  ASSERT_TRUE(WaitUntil([&] { return StatusValue("CAROB running") == "Yes"; }));

  // Think1 runs the passes: the reverse fact is learnt.
  ClickAt(display_, win, Centre(kThink1));
  ASSERT_TRUE(WaitUntil([&] { return Value("C:\\ORB\\CAROB\\CAROB.dat", "blue") == "sky"; }))
      << ReadNative(root_.Native("C:\\ORB\\CAROB\\CAROB.dat"));

  // Typing the output program stores it at every keystroke.
  ClickIntoText(display_, win, kOutProg);
  XDo(display_, {"type", "--delay", "60", "Lexwright"});
  ASSERT_TRUE(WaitUntil([&] { return Value("C:\\ORB\\CAROB\\CAROB.cfg", "Output program") == "Lexwright"; }))
      << ReadNative(root_.Native("C:\\ORB\\CAROB\\CAROB.cfg"));
  // The databank trace (on since the first pass) shows the stores on the way.
  std::string trace = ReadNative(root_.Native("C:\\ORB\\CAROB\\Database_IO.log"));
  EXPECT_NE(trace.find("[Lexwrigh]"), std::string::npos);
  EXPECT_NE(trace.find("[Lex]"), std::string::npos);

  int colours = Picture(win, "carob_window.xwd");
  EXPECT_GE(colours, 4) << "the window's picture looks blank";

  ASSERT_TRUE(SendCloseRequest(display_, win));
  EXPECT_EQ(carob->Wait(), 0);
  EXPECT_EQ(StatusValue("CAROB running"), "No");
}

TEST_F(CarobWindowTest, TerminateSignalSignsOff) {
  auto carob = StartCarob();
  ASSERT_FALSE(AwaitWindow("CAROB").empty());
  ASSERT_TRUE(WaitUntil([&] { return StatusValue("CAROB running") == "Yes"; }));
  carob->Signal(SIGTERM);
  EXPECT_EQ(carob->Wait(), 0);
  EXPECT_EQ(StatusValue("CAROB running"), "No");
}

// With a window as without: while the size guard waits for "Zadozo" (its
// message box open, then the wait for the program to sign on), the timer
// runs and a waiting sentence is greeted; the window shows once the load
// event is over.
TEST_F(CarobWindowTest, TheTimerRunsWhileTheSizeGuardWaits) {
  using namespace carob::testing;
  root_.WriteFile("C:\\FileLoc",
                  "Temporary path=C:\\TEMP\r\nRORU PO Input=C:\\ORB\\RORU\\PO.in\r\n"
                  "CAROB interface=C:\\ORB\\CAROB\\CAROB.interface.POF\r\n");
  root_.MakeFolder("C:\\ORB\\RORU");
  InstallZadozo(root_, /*sign_on_after=*/3, /*finishes=*/true);
  root_.WriteFile(kStatusPath,
                  StatusOfSize({"Pulse=50", "Zadozo running=No", kZadozoPathLine}, 40000));
  root_.WriteFile("C:\\ORB\\CAROB\\CAROB.interface.POF",
                  RozEntry("SET SOURCE = 10.0.0.7\r\nthe sea be green"));
  auto carob = StartCarob();
  ASSERT_FALSE(AwaitWindow("ORB STATUS subsystem").empty()) << carob->Err();
  const std::string greeting = "SENDTO [10.0.0.7] :Hello. Who are you?";
  ASSERT_TRUE(WaitUntil([&] {
    return ReadNative(root_.Native("C:\\ORB\\RORU\\PO.in")).find(greeting) != std::string::npos;
  }));
  EXPECT_EQ(FindWindow(display_, "CAROB"), "") << "greeted before the window shows";
  // The box is still open: the greeting came from the box's own wait.
  const std::string box = FindWindow(display_, "ORB STATUS subsystem");
  ASSERT_FALSE(box.empty());
  auto g = Geometry(display_, box);
  ClickAt(display_, box, {g["WIDTH"] - 50, g["HEIGHT"] - 21});
  ASSERT_FALSE(AwaitWindow("CAROB").empty()) << carob->Err();
  EXPECT_EQ(Value("C:\\ORB\\CAROB\\CAROB.dat", "the sea"), "<none>") << "a greeting learns nothing";
  carob->Signal(SIGTERM);
  EXPECT_EQ(carob->Wait(30), 0);
  EXPECT_EQ(StatusValue("CAROB running"), "No");
}

}  // namespace
}  // namespace carob::platform::ui
