// The family end to end, with real processes: the console `orb talk` in a
// pipe, the dispatcher `orb dispatch` and a headless `carob` on one
// computer; two computers that talk through a shared folder; and the run
// command a newcomer uses.
#include <dirent.h>
#include <limits.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

const char kIdentification[] = "Talkweave v100\r\nCAROB: aSentence";

// Starts the console `orb talk <args>` on `c`, feeds it `lines` and closes
// its input.
std::unique_ptr<Process> Talk(Computer& c, std::vector<std::string> args,
                              const std::string& lines) {
  args.insert(args.begin(), {c.orb, "talk"});
  auto talk = c.Start(std::move(args), true);
  talk->Feed(lines);
  talk->CloseInput();
  return talk;
}

// Starts the dispatcher and carob on `c` and waits until both are up and
// carob's interface file is recorded.
struct RunningFamily {
  std::unique_ptr<Process> dispatcher, carob;
};

RunningFamily StartFamily(Computer& c, const std::string& local_id) {
  RunningFamily f;
  // Answers go to the console: the output program of CAROB is "User".
  c.root.WriteFile("C:\\ORB\\CAROB\\CAROB.cfg", "Output program=User\r\n");
  f.dispatcher = c.Start({c.orb, "dispatch", "--local-id", local_id});
  f.carob = c.Start({c.carob});
  EXPECT_TRUE(WaitUntil([&] { return c.StatusValue("RORU PO running") == "Yes"; }, 60));
  EXPECT_TRUE(WaitUntil([&] { return c.StatusValue("CAROB running") == "Yes"; }, 60));
  EXPECT_TRUE(WaitUntil([&] { return c.FileLocValue("CAROB interface").has_value(); }, 60));
  return f;
}

void StopFamily(Computer& c, RunningFamily& f) {
  f.carob->Signal(SIGTERM);
  f.dispatcher->Signal(SIGTERM);
  EXPECT_EQ(f.carob->Wait(60), 0) << f.carob->Err();
  EXPECT_EQ(f.dispatcher->Wait(60), 0) << f.dispatcher->Err();
  EXPECT_EQ(c.StatusValue("CAROB running"), "No");
  EXPECT_EQ(c.StatusValue("RORU PO running"), "No");
}

TEST(FamilyRoad, StatementQuestionIdentificationAndPing) {
  Computer c;
  RunningFamily f = StartFamily(c, "hostA");

  // The console leaves once the three answers are in, however slowly they
  // come, and not after ten minutes of silence.
  auto talk = Talk(c, {"--answers", "3", "--wait", "600"},
                   "the sky be blue\nWhat colour is the sky?\n ? \n!\n");
  ASSERT_EQ(talk->Wait(120), 0) << talk->Err();
  std::string out = talk->Out();

  // The statement says nothing; the question is answered with the fact, "?"
  // with the identification and "!" with the ping's answer, in that order.
  EXPECT_EQ(out, "the sky=blue\n" + std::string(kIdentification) + "\n!!\n");

  EXPECT_EQ(BankValue(c.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sky"), "blue");
  EXPECT_EQ(c.StatusValue("User running"), "No");
  EXPECT_EQ(c.FileLocValue("User interface"), "C:\\ORB\\TOOLS\\User.interface.POF");
  StopFamily(c, f);
}

// The Think button without a window: SIGUSR1 runs carob's thinking passes,
// and what they learn is answered like any fact.
TEST(FamilyRoad, ThinkingPassesFromSigusr1AreAnsweredThroughTheConsole) {
  Computer c;
  RunningFamily f = StartFamily(c, "hostA");
  // The statement says nothing; the ping after it is answered once carob
  // has taken the statement in.
  auto first = Talk(c, {"--answers", "1", "--wait", "60"}, "the sky be blue\n!\n");
  ASSERT_EQ(first->Wait(120), 0) << first->Err();
  EXPECT_EQ(first->Out(), "!!\n");
  ASSERT_TRUE(WaitUntil([&] {
    return BankValue(c.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sky").has_value();
  }, 60));

  f.carob->Signal(SIGUSR1);
  ASSERT_TRUE(WaitUntil([&] {
    return BankValue(c.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "blue").has_value();
  }, 60));
  auto second = Talk(c, {"--answers", "1", "--wait", "60"}, "What is blue?\n");
  ASSERT_EQ(second->Wait(120), 0) << second->Err();
  EXPECT_EQ(second->Out(), "blue=the sky\n");
  StopFamily(c, f);
}

TEST(FamilyRoad, ConsoleAddressesOtherApplicationsAndSeesWhatArrives) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.root.MakeFolder("C:\\LEX");
  c.AddFileLoc("Lexwright interface", "C:\\LEX\\Lexwright.interface.POF");
  c.AddStatus("Lexwright running", "Yes");
  auto dispatcher = c.Start({c.orb, "dispatch"});
  ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("RORU PO running") == "Yes"; }, 60));

  // Another program sends to the user meanwhile; the console prints it.
  c.AppendEntry(c.FileLocValue("RORU PO Input").value_or(""),
                "SET SOURCE = hostA\r\nDO User:a note for you");
  // Lexwright is recorded as running but takes nothing here: the console
  // leaves once the note is in.
  auto talk = Talk(c, {"Lexwright", "--answers", "1", "--wait", "60"}, "hello there\n\n   \n");
  ASSERT_EQ(talk->Wait(120), 0) << talk->Err();
  EXPECT_EQ(talk->Out(), "a note for you\n");
  // Blank lines are not sent: whatever the console sent is delivered before
  // a last line sent after it.
  const std::string lex = "C:\\LEX\\Lexwright.interface.POF";
  auto last = Talk(c, {"Lexwright", "--wait", "0"}, "the last line\n");
  ASSERT_EQ(last->Wait(120), 0) << last->Err();
  ASSERT_TRUE(WaitUntil([&] { return c.Entries(lex).size() >= 2; }, 60));
  EXPECT_EQ(c.Entries(lex), (std::vector<EntryLines>{{"SET SOURCE = hostA", "hello there"},
                                                     {"SET SOURCE = hostA", "the last line"}}));
  dispatcher->Signal(SIGTERM);
  EXPECT_EQ(dispatcher->Wait(60), 0);

  // Wrong usage.
  EXPECT_EQ(c.RunOrb({"talk", "--wait", "soon"}).code, 2);
  EXPECT_EQ(c.RunOrb({"talk", "--answers", "1.5"}).code, 2);
  EXPECT_EQ(c.RunOrb({"talk", "A", "B"}).code, 2);
}

TEST(FamilyRoad, ConsoleHoldsLinesUntilADispatcherIsThere) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  // No dispatcher ever: the line is not silently lost, the console says so.
  auto talk = Talk(c, {"--wait", "0.5"}, "anyone there?\n");
  EXPECT_EQ(talk->Wait(60), 1);
  EXPECT_NE(talk->Err().find("not sent"), std::string::npos) << talk->Err();
}

// Nobody listens: the console says so while its input is still open (no
// line typed after the first is needed to hear it), holds the line rather
// than leave it in a queue nobody takes, and leaves with exit 1 once its
// input ends, well before the transit allowance would run out.
TEST(FamilyRoad, ConsoleTellsAtOnceWhenNobodyListens) {
  enum class Killed { kNone, kDispatcher, kCarob };
  struct Case {
    const char* name;
    bool ran_before;      // the dispatcher's input and its sign-off are recorded
    bool dispatcher_now;  // a dispatcher runs
    bool carob_now;       // and CAROB too
    Killed killed;        // which of them is then killed outright, still recorded running
    std::string notice;   // the reason told
  };
  const std::string no_dispatcher = "the dispatcher \"RORU PO\" is not running";
  const std::vector<Case> cases = {
      {"no dispatcher ever", false, false, false, Killed::kNone, no_dispatcher},
      {"a dispatcher that ran before", true, false, false, Killed::kNone, no_dispatcher},
      {"a dispatcher but no CAROB", false, true, false, Killed::kNone, "CAROB is not running"},
      {"a dispatcher killed outright", false, true, false, Killed::kDispatcher, no_dispatcher},
      {"CAROB killed outright", false, true, true, Killed::kCarob, "CAROB is not running"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Computer c;
    c.AddStatus("Local ID", "hostA");
    const std::string input = "C:\\ORB\\TOOLS\\RORU PO.input.POF";
    if (k.ran_before) {
      c.AddStatus("RORU PO running", "No");
      c.AddFileLoc("RORU PO Input", input);
    }
    RunningFamily f;
    if (k.carob_now) {
      f = StartFamily(c, "hostA");
    } else if (k.dispatcher_now) {
      f.dispatcher = c.Start({c.orb, "dispatch"});
      ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("RORU PO running") == "Yes"; }, 60));
    }
    if (k.killed != Killed::kNone) {
      std::unique_ptr<Process>& victim = k.killed == Killed::kCarob ? f.carob : f.dispatcher;
      const std::string key = k.killed == Killed::kCarob ? "CAROB running" : "RORU PO running";
      victim->Signal(SIGKILL);
      EXPECT_EQ(victim->Wait(60), 128 + SIGKILL) << victim->Err();
      victim.reset();
      ASSERT_EQ(c.StatusValue(key), "Yes") << "a killed program stays recorded running";
    }
    auto talk = c.Start({c.orb, "talk", "--wait", "2"}, true);
    talk->Feed("anyone there?\n  \n");  // a blank line is no line not sent
    const std::string told = "orb talk: " + k.notice + "; holding your lines\n";
    EXPECT_TRUE(WaitUntil([&] { return talk->Err().find(told) != std::string::npos; }, 30)) << talk->Err();
    EXPECT_TRUE(talk->Running()) << "told only on leaving";
    const auto closed = std::chrono::steady_clock::now();
    talk->CloseInput();
    EXPECT_EQ(talk->Wait(60), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(25));
    EXPECT_EQ(talk->Err(), told + "orb talk: 1 line(s) not sent: " + k.notice + "\n");
    EXPECT_EQ(talk->Out(), "");
    EXPECT_EQ(c.Entries(input).size(), 0u) << "the line was left where nobody takes it";
    if (f.dispatcher) {
      f.dispatcher->Signal(SIGTERM);
      EXPECT_EQ(f.dispatcher->Wait(60), 0) << f.dispatcher->Err();
    }
  }
}

// Lines held for a dispatcher go once it runs; nothing is said on leaving.
TEST(FamilyRoad, ConsoleSendsHeldLinesOnceTheFamilyRuns) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  auto talk = c.Start({c.orb, "talk", "--answers", "1", "--wait", "60"}, true);
  talk->Feed("the sky be blue\nWhat colour is the sky?\n");
  ASSERT_TRUE(WaitUntil([&] { return talk->Err().find("holding your lines") != std::string::npos; }, 30));
  RunningFamily f = StartFamily(c, "hostA");
  talk->CloseInput();
  EXPECT_EQ(talk->Wait(120), 0) << talk->Err();
  EXPECT_EQ(talk->Out(), "the sky=blue\n");
  EXPECT_EQ(talk->Err().find("not sent"), std::string::npos) << talk->Err();
  StopFamily(c, f);
}

// An answer that arrived after its session ended is dropped by the next
// session, said once on standard error, and never shown as its answer.
TEST(FamilyRoad, ConsoleDropsWhatWasLeftFromAnEarlierSession) {
  Computer c;
  RunningFamily f = StartFamily(c, "hostA");
  auto first = Talk(c, {"--answers", "1", "--wait", "60"}, "the sky be blue\nWhat colour is the sky?\n");
  ASSERT_EQ(first->Wait(120), 0) << first->Err();
  // A question of a session that did not wait for its answer.
  c.AppendEntry(c.FileLocValue("RORU PO Input").value_or(""),
                "SET SOURCE = hostA\r\nDO CAROB:What colour is the sky?");
  const std::string mine = "C:\\ORB\\TOOLS\\User.interface.POF";
  ASSERT_TRUE(WaitUntil([&] { return c.Entries(mine).size() == 1; }, 60));

  auto second = Talk(c, {"--answers", "1", "--wait", "60"}, "?\n");
  ASSERT_EQ(second->Wait(120), 0) << second->Err();
  EXPECT_EQ(second->Out(), std::string(kIdentification) + "\n");
  EXPECT_EQ(second->Err(), "orb talk: 1 text(s) left from an earlier session dropped\n");
  EXPECT_EQ(c.Entries(mine).size(), 0u);
  StopFamily(c, f);
}

TEST(FamilyRoad, ConsoleShowsControlCharactersVisiblyOnATerminalAndInAPipe) {
  // A text that would retitle and recolour the terminal: only its line
  // breaks and tabs reach the terminal as they are.
  const std::string taught = "\x1b]0;OWNED\x07\x1b[31mRED\tand\x7f \xc2\x9b" "1m\r\nnext";
  const std::string shown = "^[]0;OWNED^G^[[31mRED\tand^? M-^[1m\r\nnext\n";
  for (const char* mode : {"--no-prompt", "--prompt"}) {
    Computer c;
    c.AddStatus("Local ID", "hostA");
    // The text arrives during the session: once "User" runs.
    auto talk = c.Start({c.orb, "talk", mode, "--wait", "0.5"}, true);
    ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("User running") == "Yes"; }, 60)) << talk->Err();
    c.AppendEntry("C:\\ORB\\TOOLS\\User.interface.POF", "SET SOURCE = hostB\r\n" + taught);
    talk->CloseInput();
    ASSERT_EQ(talk->Wait(60), 0) << talk->Err();
    const std::string out = talk->Out();
    EXPECT_NE(out.find(shown), std::string::npos) << mode << ": " << out;
    // The only escape sequence left is the console's own line clearing.
    for (size_t at = out.find('\x1b'); at != std::string::npos; at = out.find('\x1b', at + 1)) {
      EXPECT_EQ(out.substr(at, 3), "\x1b[K") << mode << ": " << out;
    }
  }
}

TEST(FamilyRoad, ConsoleSaysOnceWhatItCannotDoAndExitsOne) {
  {
    // The dispatcher's input file cannot be written (a folder stands there).
    Computer c;
    c.AddStatus("Local ID", "hostA");
    c.AddStatus("RORU PO running", "Yes");
    c.AddStatus("CAROB running", "Yes");
    c.root.MakeFolder("C:\\TEMP\\in.POF");
    c.AddFileLoc("RORU PO Input", "C:\\TEMP\\in.POF");
    auto talk = Talk(c, {"--wait", "0.2"}, "one\ntwo\n");
    EXPECT_EQ(talk->Wait(60), 1);
    EXPECT_EQ(talk->Err(),
              "orb talk: cannot send your lines: cannot append to C:\\TEMP\\in.POF: is a directory\n");
  }
  {
    // The STATUS databank cannot be read: said at once, not after a wait.
    Computer c;
    std::filesystem::remove(c.root.Native(kStatusPath));
    c.root.MakeFolder(kStatusPath);
    auto talk = c.Start({c.orb, "talk", "--wait", "0.2"}, true);
    talk->Feed("hello\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(talk->Wait(30), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(talk->Err(), std::string("orb talk: cannot read the STATUS databank: cannot read ") +
                               kStatusPath + ": is a directory\n");
  }
}

TEST(FamilyRoad, ConsoleLeavesOnASignalWhileItsInputIsStillOpen) {
  for (int sig : {SIGINT, SIGTERM}) {
    Computer c;
    c.AddStatus("Local ID", "hostA");
    auto talk = c.Start({c.orb, "talk"}, true);
    ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("User running") == "Yes"; }, 60));
    talk->Signal(sig);
    EXPECT_EQ(talk->Wait(60), 0) << talk->Err();
    EXPECT_EQ(c.StatusValue("User running"), "No");
  }
}

// Two computers on one machine: each has its own ORB_ROOT and Local ID, and
// both dispatchers' input files lie on a shared folder where each finds the
// other's through its route.
//
// The shared folder lies either on the same file system as the computers'
// temporary folders or, like a network share, on another one.
class FamilyTwoComputers : public ::testing::TestWithParam<bool> {};

// A fresh folder under `base`, removed with its contents.
class Folder {
 public:
  explicit Folder(const std::string& base) {
    std::string tmpl = base + "/carob-share-XXXXXX";
    char* made = ::mkdtemp(tmpl.data());
    path_ = made ? made : "";
  }
  ~Folder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool OtherFileSystem(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev != sb.st_dev;
}

TEST_P(FamilyTwoComputers, ConsoleOnOneTalksToCarobOnTheOther) {
  const std::string tmp = std::filesystem::temp_directory_path().string();
  std::string base = tmp;
  if (GetParam()) {
    base = "/dev/shm";
    if (!OtherFileSystem(base, tmp)) GTEST_SKIP() << "no second file system to share from";
  }
  Computer a, b;
  Folder shared(base);
  ASSERT_FALSE(shared.path().empty());
  std::string share = "Z:" + shared.path();
  for (char& ch : share) if (ch == '/') ch = '\\';
  const std::string in_a = share + "\\alpha.input.POF", in_b = share + "\\beta.input.POF";
  a.AddFileLoc("RORU PO Input", in_a);
  a.AddFileLoc("RORU PO Route beta", in_b);
  b.AddFileLoc("RORU PO Input", in_b);
  b.AddFileLoc("RORU PO Route alpha", in_a);

  auto dispatch_a = a.Start({a.orb, "dispatch", "--local-id", "alpha"});
  RunningFamily fb = StartFamily(b, "beta");
  ASSERT_TRUE(WaitUntil([&] { return a.StatusValue("RORU PO running") == "Yes"; }, 60));

  // The answers come round through the other computer's dispatcher: the
  // console waits for them, not for a moment of silence.
  auto talk = Talk(a, {"CAROB", "--to", "beta", "--answers", "2", "--wait", "60"},
                   "the sea be deep\nHow deep is the sea?\n?\n");
  ASSERT_EQ(talk->Wait(120), 0) << talk->Err();
  EXPECT_EQ(talk->Out(), "the sea=deep\n" + std::string(kIdentification) + "\n");

  // The fact was learnt on the second computer, not on the first.
  EXPECT_EQ(BankValue(b.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sea"), "deep");
  EXPECT_FALSE(a.root.Exists("C:\\ORB\\CAROB\\CAROB.dat"));
  EXPECT_EQ(a.Entries("C:\\ORB\\TOOLS\\RORU PO.input.undeliverable.POF").size(), 0u);

  dispatch_a->Signal(SIGTERM);
  EXPECT_EQ(dispatch_a->Wait(60), 0);
  StopFamily(b, fb);
}

INSTANTIATE_TEST_SUITE_P(Share, FamilyTwoComputers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OtherFileSystem" : "SameFileSystem"; });

// A Linux computer and a Windows one (orb.exe under wine) talking through a
// shared folder: the console and the dispatcher on Windows, the dispatcher
// and carob on Linux. The Windows stage of the test command names the wine
// prefix and the Windows orb (CAROB_WINEPREFIX, CAROB_WIN_ORB); without
// them the test is skipped. The Windows computer's C: drive is the
// prefix's, so its files are read here at their native places.
class FamilyTwoSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* prefix = std::getenv("CAROB_WINEPREFIX");
    const char* win_orb = std::getenv("CAROB_WIN_ORB");
    if (prefix == nullptr || win_orb == nullptr || *prefix == '\0' || *win_orb == '\0') {
      GTEST_SKIP() << "no Windows orb under wine: scripts/test-windows.sh runs this test";
    }
    prefix_ = prefix;
    drive_c = prefix_ + "/drive_c";
    std::error_code ec;
    std::filesystem::create_directories(drive_c + "/ORB/TOOLS", ec);
    std::filesystem::create_directories(drive_c + "/TEMP", ec);
    std::filesystem::copy_file(win_orb, drive_c + "/ORB/TOOLS/orb.exe",
                               std::filesystem::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_FALSE(shared.path().empty());
    share = "Z:" + shared.path();
    for (char& ch : share) if (ch == '/') ch = '\\';
  }

  // A Windows program under the prefix's wine: orb.exe with `args`, or
  // another program when `program` names it.
  std::unique_ptr<Process> Wine(std::vector<std::string> args, bool pipe_input = false,
                                const std::string& program = "C:\\ORB\\TOOLS\\orb.exe") {
    args.insert(args.begin(), {"wine", program});
    return std::make_unique<Process>(Launch{
        std::move(args), {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all", "DISPLAY="}, pipe_input, 300});
  }

  std::string prefix_, drive_c;
  Folder shared{std::filesystem::temp_directory_path().string()};
  std::string share;  // the shared folder as both computers name it ("Z:\\...")
};

TEST_F(FamilyTwoSystems, ConsoleOnWindowsTalksToCarobOnLinux) {
  std::error_code ec;
  Computer linux_pc;
  const std::string in_win = share + "\\windows.input.POF", in_linux = share + "\\linux.input.POF";
  std::ofstream(drive_c + "/FileLoc", std::ios::binary | std::ios::trunc)
      << "Temporary path=C:\\TEMP\r\nSTATUS=C:\\TEMP\\STATUS\r\nRORU PO Input=" << in_win
      << "\r\nRORU PO Route linux=" << in_linux << "\r\n";
  linux_pc.AddFileLoc("RORU PO Input", in_linux);
  linux_pc.AddFileLoc("RORU PO Route windows", in_win);

  auto win_status = [&](const std::string& key) {
    return BankValue(ReadNative(drive_c + "/TEMP/STATUS"), key);
  };
  RunningFamily on_linux = StartFamily(linux_pc, "linux");
  auto win_dispatch = Wine({"dispatch", "--local-id", "windows"});
  ASSERT_TRUE(WaitUntil([&] { return win_status("RORU PO running") == "Yes"; }, 120))
      << win_dispatch->Err();

  // Both answers come round through the other computer's dispatcher under a
  // wine that may have just made its prefix: the console waits for them,
  // not for a moment of silence.
  auto talk = Wine({"talk", "CAROB", "--to", "linux", "--answers", "2", "--wait", "60"}, true);
  // One line at a time, each once the last has been taken in.
  talk->Feed("the sea be deep\n");
  ASSERT_TRUE(WaitUntil([&] {
    return BankValue(linux_pc.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sea").has_value();
  }, 120)) << talk->Err();
  talk->Feed("How deep is the sea?\n");
  ASSERT_TRUE(WaitUntil([&] { return talk->Out() == "the sea=deep\n"; }, 120)) << talk->Err();
  talk->Feed("?\n");
  talk->CloseInput();
  ASSERT_EQ(talk->Wait(180), 0) << talk->Err();
  EXPECT_EQ(talk->Out(), "the sea=deep\n" + std::string(kIdentification) + "\n") << talk->Err();
  EXPECT_EQ(BankValue(linux_pc.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat"), "the sea"), "deep");
  EXPECT_EQ(win_status("User running"), "No");
  if (::testing::Test::HasFailure()) {
    // Where the answers went: every file of both computers and the share.
    for (const std::string& top : {shared.path(), linux_pc.root.path(), drive_c + "/ORB", drive_c + "/TEMP"}) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(top, ec)) {
        if (e.is_regular_file() && e.path().extension() != "" && e.path().filename() != "carob" &&
            e.path().filename() != "orb") {
          std::cerr << "== " << e.path().string() << "\n" << ReadNative(e.path().string()) << "\n";
        }
      }
    }
    std::cerr << "== windows dispatcher\n" << win_dispatch->Err() << "\n";
  }

  win_dispatch->Kill();
  StopFamily(linux_pc, on_linux);
}

// A queue that a Windows program appends to while a Linux one takes its
// entries off and rebuilds it: every entry is taken once and in order. The
// Linux taker holds the byte that the Windows appender locks (wine shows
// its byte-range locks here as record locks), so no append lands in the old
// file after the rebuild has carried that file's tail over. Many entries
// wait ahead, so that each take is a rebuild long enough for the appends to
// meet it.
TEST_F(FamilyTwoSystems, QueueAppendedOnWindowsAndTakenOnLinuxLosesNothing) {
  constexpr int kWaiting = 600, kPosted = 20;
  std::ofstream(drive_c + "/FileLoc", std::ios::binary | std::ios::trunc)
      << "Temporary path=C:\\TEMP\r\n";
  Computer linux_pc;
  const std::string queue = share + "\\q.POF", native = shared.path() + "/q.POF";
  {
    std::ofstream waiting(native, std::ios::binary);
    for (int i = 1; i <= kWaiting; ++i) {
      waiting << "--- Entry by ROZ Default on 12-09-2026 08:00:00.00\r\nl" << i << "\r\n";
    }
  }
  auto posting = Wine({"/c", "for /L %i in (1,1," + std::to_string(kPosted) + ") do " +
                                 "C:\\ORB\\TOOLS\\orb.exe post " + queue + " w%i"},
                      false, "cmd");
  std::vector<std::string> linux_taken, windows_taken;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  auto entries_left = [&] {
    std::error_code ec;
    const auto size = std::filesystem::file_size(native, ec);
    return !ec && size > 0;
  };
  while ((posting->Running() || entries_left()) &&
         std::chrono::steady_clock::now() < deadline) {
    Ran r = RunOrb(linux_pc.root, {"take", queue});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string text = r.out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) (text[0] == 'w' ? windows_taken : linux_taken).push_back(text);
  }
  EXPECT_EQ(posting->Wait(60), 0) << posting->Err();
  std::vector<std::string> posted, waited;
  for (int i = 1; i <= kPosted; ++i) posted.push_back("w" + std::to_string(i));
  for (int i = 1; i <= kWaiting; ++i) waited.push_back("l" + std::to_string(i));
  EXPECT_EQ(windows_taken, posted);  // none lost, none twice, in the order posted
  EXPECT_EQ(linux_taken, waited);
  EXPECT_EQ(ReadNative(native), "");
}

// Processes whose program file lies under `root`, found through /proc.
std::vector<std::string> ProcessesUnder(const std::string& root) {
  std::vector<std::string> found;
  DIR* dir = ::opendir("/proc");
  if (!dir) return found;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    char buf[PATH_MAX];
    std::string link = "/proc/" + name + "/exe";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) continue;
    std::string exe(buf, static_cast<size_t>(n));
    if (exe.rfind(root + "/", 0) == 0) found.push_back(name + " " + exe);
  }
  ::closedir(dir);
  return found;
}

TEST(FamilyRunCommand, ScriptedSessionAnswersAndLeavesNoProcessBehind) {
  TempRoot root;
  Launch o;
  o.argv = {std::string(CAROB_SOURCE_DIR) + "/scripts/run.sh", "--answers", "1", "--wait", "60"};
  o.env = {"ORB_ROOT=" + root.path(), "CAROB_BIN_DIR=" + kBinDir, "DISPLAY=", "WAYLAND_DISPLAY=",
           "ORB="};
  o.pipe_input = true;
  Process run(o);
  ASSERT_TRUE(run.started());
  run.Feed("the sky be blue\nWhat colour is the sky?\n");
  run.CloseInput();
  EXPECT_EQ(run.Wait(300), 0) << run.Err();
  std::string out = run.Out();
  EXPECT_NE(out.find("the sky=blue\n"), std::string::npos) << out << run.Err();

  // Nothing of the family runs any more: not in the script's process group,
  // and no program installed under the root.
  EXPECT_TRUE(WaitUntil([&] { return ::kill(-run.pid(), 0) == -1 && errno == ESRCH; }, 30));
  EXPECT_TRUE(ProcessesUnder(root.path()).empty());
  std::string status = ReadNative(root.Native("C:\\TEMP\\STATUS"));
  EXPECT_EQ(BankValue(status, "CAROB running"), "No") << status;
  EXPECT_EQ(BankValue(status, "RORU PO running"), "No") << status;
  EXPECT_EQ(BankValue(status, "User running"), "No") << status;
}

}  // namespace
}  // namespace carob::testing
