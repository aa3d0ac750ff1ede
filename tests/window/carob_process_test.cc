// The real carob program, headless, in a temporary ORB root: it starts,
// takes sentences from its interface file, answers through the dispatcher's
// input file, runs the thinking passes on SIGUSR1 and signs off on SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The program copied into the root's program folder and started there.
class CarobProcess {
 public:
  explicit CarobProcess(const TempRoot& root)
      : process_(InRoot(root, {Install(root, "carob", kProgramFolder)})) {}

  bool started() const { return process_.started(); }
  void Signal(int sig) { process_.Signal(sig); }
  std::string Stderr() const { return process_.Err(); }

  // Polls until `done` holds; false on timeout or when the program ended
  // meanwhile without it.
  bool WaitFor(const std::function<bool()>& done) {
    WaitUntil([&] { return !process_.Running() || done(); });
    return done();
  }
  bool WaitForStderr(const std::string& text) {
    return WaitFor([&] { return Stderr().find(text) != std::string::npos; });
  }
  // Waits for the program to end; its exit code, or -1 when it did not end.
  int WaitForExit() { return process_.Wait(60); }

 private:
  Process process_;
};

class CarobProcessTest : public WindowTest {
 protected:
  // A quick receive loop keeps the test short.
  CarobProcessTest() : WindowTest(kBaseFileLoc) { root.WriteFile(kStatusPath, "Pulse=50\r\n"); }

  std::string StatusValue(const std::string& key) { return Fresh(kStatusPath, key); }

  bool SentBody(const std::string& body) const {
    for (const SentEntry& e : Sent()) {
      if (e.body == body) return true;
    }
    return false;
  }
};

TEST_F(CarobProcessTest, ConversesThinksAndSignsOff) {
  // Queued before the start: the first tick registers the interface file,
  // the next ones take one entry each.
  root.WriteFile(kInterfacePath,
                 RozEntry("SET SOURCE = 10.0.0.7\r\nthe sky be blue") +
                     RozEntry("SET SOURCE = 10.0.0.7\r\nWhat colour is the sky?"));
  CarobProcess carob(root);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), HasSubstr("C:\\ORB\\CAROB"));
  EXPECT_EQ(StatusValue("CAROB running"), "Yes");

  // Waits for the whole entry: a read may meet an append half done.
  ASSERT_TRUE(carob.WaitFor([&] { return SentBody("SENDTO [10.0.0.7] :the sky=blue"); }))
      << carob.Stderr();
  std::vector<SentEntry> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header.rfind(messaging::kEntryHeader, 0), 0u) << sent[0].header;
  EXPECT_EQ(sent[0].source_line.rfind("SET SOURCE = ", 0), 0u) << sent[0].source_line;
  EXPECT_EQ(sent[0].body, "SENDTO [10.0.0.7] :the sky=blue");
  EXPECT_EQ(root.ReadFile(kKnowledgePath), "the sky=blue\r\n");
  EXPECT_THAT(carob.Stderr(), Not(HasSubstr("the sky"))) << "no line per sentence";

  carob.Signal(SIGUSR1);
  ASSERT_TRUE(carob.WaitForStderr("thinking passes finished")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), HasSubstr("click received"));
  EXPECT_EQ(root.ReadFile(kKnowledgePath), "the sky=blue\r\nblue=the sky\r\n");
  EXPECT_TRUE(root.Exists("C:\\ORB\\CAROB\\Database_IO.log"));

  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
  EXPECT_EQ(StatusValue("CAROB running"), "No");
  EXPECT_THAT(carob.Stderr(), HasSubstr("stopped"));
}

// Lines a careless writer left before the queue's first header are neither
// learnt nor read for a source: carob takes the entries after them, and its
// console log names what it dropped.
TEST_F(CarobProcessTest, LinesBeforeTheFirstEntryAreNeitherLearntNorAnswered) {
  const std::string stray = "the sea be green\r\nSET SOURCE = 10.0.0.8\r\n";
  root.WriteFile(kInterfacePath,
                 stray + RozEntry("SET SOURCE = 10.0.0.7\r\nthe sky be blue") +
                     RozEntry("SET SOURCE = 10.0.0.7\r\nthe sea or the sky?"));
  CarobProcess carob(root);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitFor([&] { return SentBody("SENDTO [10.0.0.7] :the sky=blue"); }))
      << carob.Stderr();
  ASSERT_TRUE(carob.WaitFor([&] { return root.ReadFile(kInterfacePath).empty(); }));
  EXPECT_EQ(Answers(), std::vector<std::string>{":the sky=blue"});
  EXPECT_EQ(KnowledgeBytes(), "the sky=blue\r\n");
  EXPECT_THAT(root.ReadFile("C:\\ORB\\CAROB\\Console_use.log"),
              HasSubstr("Not taken [" + stray + "]: it stands before the first entry of " +
                        kInterfacePath));
  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
}

TEST_F(CarobProcessTest, FailedPassKeepsTheProgramRunning) {
  CarobProcess carob(root);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();

  carob.Signal(SIGUSR1);  // no knowledge file yet
  ASSERT_TRUE(carob.WaitForStderr("failed")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), Not(HasSubstr("thinking passes finished")));

  // Still receiving: the identification request is answered. The entry is
  // moved into place whole, as the dispatcher's appends are.
  root.WriteFile("C:\\ORB\\CAROB\\incoming.tmp", RozEntry("SET SOURCE = 10.0.0.9\r\n ? "));
  std::filesystem::rename(root.Native("C:\\ORB\\CAROB\\incoming.tmp"),
                          root.Native(kInterfacePath));
  EXPECT_TRUE(carob.WaitFor(
      [&] { return SentBody("SENDTO [10.0.0.9] User:Talkweave v100\r\nCAROB: aSentence"); }))
      << root.ReadFile(kDispatcherPath) << carob.Stderr();

  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
  EXPECT_EQ(StatusValue("CAROB running"), "No");
}

// The queue layer settles its temporary folder at its first path resolution.
// With the I/O log switched on by a click, polls that find the interface file
// empty settle nothing; the first message taken looks "Temporary path" up in
// "C:\FileLoc" right after its location's lookup, before its sentence is
// handled, and never again.
TEST_F(CarobProcessTest, TheFirstMessageTakenSettlesTheQueueFolderInTheIOLog) {
  CarobProcess carob(root);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();
  carob.Signal(SIGUSR1);  // switches the I/O log on; the passes find no knowledge
  ASSERT_TRUE(carob.WaitForStderr("failed")) << carob.Stderr();

  const std::string log = root.Native("C:\\ORB\\CAROB\\Database_IO.log");
  // The texts of the log's lines, without their stamps.
  auto texts = [&] {
    std::vector<std::string> out;
    for (const std::string& line : ReadLines(log)) out.push_back(line.substr(line.find("| ") + 2));
    return out;
  };
  const std::string location = "Database C:\\FileLoc Query [CAROB interface] ==>> DeCached from "
                               "write cache [C:\\ORB\\CAROB\\CAROB.interface.POF]";
  ASSERT_TRUE(carob.WaitFor([&] { return std::ranges::count(texts(), location) >= 3; }));
  root.WriteFile("C:\\ORB\\CAROB\\incoming.tmp",
                 RozEntry("SET SOURCE = 10.0.0.7\r\nthe sky be blue"));
  std::filesystem::rename(root.Native("C:\\ORB\\CAROB\\incoming.tmp"),
                          root.Native(kInterfacePath));
  ASSERT_TRUE(carob.WaitFor([&] { return root.Exists(kKnowledgePath); })) << carob.Stderr();
  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();

  const std::vector<std::string> lines = texts();
  const std::vector<std::string> tick = {
      "Database C:\\TEMP\\STATUS Query [Pulse] ==>> DeCached from read cache [50]",
      location,
      "Database C:\\FileLoc serial 1 Query [Temporary path] ==>> [C:\\TEMP]",
      "Database C:\\ORB\\CAROB\\CAROB.dat serial  Query [the sky] ==>> DATABANK NOT FOUND!!",
      "Database C:\\ORB\\CAROB\\CAROB.dat serial  Set [the sky], [blue]",
  };
  auto at = std::ranges::search(lines, tick);
  ASSERT_FALSE(at.empty()) << ::testing::PrintToString(lines);
  EXPECT_GE(std::ranges::count(lines.begin(), at.begin(), location), 3);
  EXPECT_EQ(std::ranges::count_if(lines, [](const std::string& l) {
              return l.find("[Temporary path]") != std::string::npos;
            }),
            1);
}

// The output program chosen with `orb set` while CAROB runs addresses the
// answers from the next tick on: a first choice, one of the same length (an
// overwrite in place), a longer one and none again, each followed by a
// question posted with `orb post`.
TEST_F(CarobProcessTest, FollowsTheOutputProgramSetWhileRunning) {
  const std::string orb = Install(root, "orb", "C:\\ORB\\TOOLS");
  Knowledge("the sky=blue\r\nthe sea=wet\r\nthe grass=green\r\nthe sun=warm\r\n");
  CarobProcess carob(root);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();
  const std::string settings = Fresh("C:\\FileLoc", "CAROB settings");
  ASSERT_EQ(settings, "C:\\ORB\\CAROB\\CAROB.cfg");

  struct Step {
    const char* program;   // the output program set before the sentence
    const char* question;  // posted to CAROB
    const char* answer;    // what CAROB sends the dispatcher, after the address
  } steps[] = {
      {"User", "What colour is the sky?", "User:the sky=blue"},
      {"Talk", "How is the sea?", "Talk:the sea=wet"},
      {"Talker", "What colour is the grass?", "Talker:the grass=green"},
      {"", "How is the sun?", ":the sun=warm"},
  };
  size_t answered = 0;
  for (const Step& step : steps) {
    const Ran set = RunOrb(root, {"set", settings, "Output program", step.program}, orb);
    ASSERT_EQ(set.code, 0) << step.program << ": " << set.err;
    ASSERT_EQ(Fresh(settings, "Output program"), step.program);
    const Ran post = RunOrb(
        root, {"post", kInterfacePath, std::string("SET SOURCE = 10.0.0.7\r\n") + step.question}, orb);
    ASSERT_EQ(post.code, 0) << post.err;
    ++answered;
    ASSERT_TRUE(carob.WaitFor([&] { return Answers().size() >= answered; }))
        << step.question << ": " << carob.Stderr() << "\nqueued: " << root.ReadFile(kInterfacePath)
        << "\nsent: " << root.ReadFile(kDispatcherPath);
    EXPECT_EQ(Answers().back(), step.answer) << "after setting '" << step.program << "'";
  }
  // Following the choices wrote nothing back: the settings hold the last one set.
  EXPECT_EQ(root.ReadFile(settings), "");

  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
}

TEST_F(CarobProcessTest, CommandLineOffersHelpAndVersionAndRefusesTheRest) {
  const std::string carob = Install(root, "carob", kProgramFolder);
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* out;  // the start of standard output
    const char* err;  // the start of standard error
  } cases[] = {
      {{"--help"}, 0, "usage: carob [--replace]\n       carob --help\n       carob --version\n", ""},
      {{"-h"}, 0, "usage: carob [--replace]\n", ""},
      {{"--version"}, 0, "carob ", ""},
      {{"bogus"}, 2, "", "carob: unexpected argument \"bogus\"\nusage: carob [--replace]\n"},
      {{""}, 2, "", "carob: unexpected argument \"\"\nusage: carob [--replace]\n"},
      {{"--version", "now"}, 2, "", "carob: unexpected argument \"now\"\nusage: carob [--replace]\n"},
      {{"--help", "--version"}, 2, "", "carob: unexpected argument \"--version\"\n"},
      {{"--replace", "now"}, 2, "", "carob: unexpected argument \"now\"\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {carob};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Launch launch = InRoot(root, argv);
    launch.seconds = 30;  // a program that starts instead is killed, and fails below
    const Ran r = testing::Run(launch);
    EXPECT_EQ(r.code, c.code) << c.args[0];
    EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.args[0] << ": " << r.out;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out.empty(), c.code != 0) << c.args[0];
    EXPECT_EQ(r.err.empty(), c.code == 0) << c.args[0];
  }
  EXPECT_THAT(testing::Run(InRoot(root, {carob, "--version"})).out,
              ::testing::MatchesRegex("carob [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  // None of them started the program: it never registered.
  EXPECT_EQ(StatusValue("CAROB running"), "");
}

}  // namespace
}  // namespace carob::testing
