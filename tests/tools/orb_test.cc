// orb query, set and remove as separate processes over a temporary ORB root.
#include <filesystem>
#include <regex>

#include "tests/databank/databank_fixture.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

class OrbTest : public ::testing::Test {
 protected:
  OrbTest() {
    root.MakeFolder("C:\\data");
    // orb runs from a program folder of its own inside the root.
    orb_ = Install(root, "orb", "C:\\ORB\\TOOLS");
  }
  Ran Orb(const std::vector<std::string>& args) { return RunOrb(root, args, orb_); }

  World world;
  TempRoot& root = world.root;
  std::string orb_;
};

TEST_F(OrbTest, SetQueryAndRemove) {
  EXPECT_EQ(Orb({"set", "C:\\data\\k.dat", "sky", "blue"}).code, 0);
  EXPECT_EQ(root.ReadFile("C:\\data\\k.dat"), "sky=blue\r\n");
  Ran q = Orb({"query", "C:\\data\\k.dat", "SKY"});
  EXPECT_EQ(q.code, 0);
  EXPECT_EQ(q.out, "blue\n");
  EXPECT_EQ(Orb({"set", "C:\\data\\k.dat", "grass", "a=b"}).code, 0);
  EXPECT_EQ(Orb({"remove", "C:\\data\\k.dat", "sky"}).code, 0);
  EXPECT_EQ(root.ReadFile("C:\\data\\k.dat"), "grass=a=b\r\n");
  q = Orb({"query", "C:\\data\\k.dat", "sky"});
  EXPECT_EQ(q.code, 0);
  EXPECT_EQ(q.out, "\n");
  EXPECT_EQ(Orb({"query", "C:\\data\\none.dat", "sky"}).out, "\n");
  // An empty value removes too.
  EXPECT_EQ(Orb({"set", "C:\\data\\k.dat", "grass", ""}).code, 0);
  EXPECT_EQ(root.ReadFile("C:\\data\\k.dat"), "");
}

TEST_F(OrbTest, BareBankNamesLieInOrbsProgramFolder) {
  EXPECT_EQ(Orb({"set", "local.dat", "a", "1"}).code, 0);
  EXPECT_EQ(root.ReadFile("C:\\ORB\\TOOLS\\local.dat"), "a=1\r\n");
  EXPECT_EQ(Orb({"query", "local.dat", "a"}).out, "1\n");
}

TEST_F(OrbTest, OperationsThatCannotBeDoneExitOne) {
  EXPECT_EQ(Orb({"set", "C:\\nowhere\\k.dat", "k", "v"}).code, 1);
  EXPECT_FALSE(root.Exists("C:\\nowhere"));
  EXPECT_EQ(Orb({"query", "C:\\data\\", "k"}).code, 1);
}

// Each usage error: the arguments, the one line that names the problem and
// the line that says where to read more; exit 2, nothing on standard output.
TEST_F(OrbTest, UsageErrorsNameTheProblemInOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
    std::string more;
  };
  const std::string orb_help = "Try 'orb --help'.";
  const std::vector<Case> cases = {
      {{}, "orb: no command given", orb_help},
      {{"--trace"}, "orb: no command given", orb_help},
      {{"bogus"}, "orb: unknown command 'bogus'", orb_help},
      {{"help", "bogus"}, "orb: unknown command 'bogus'", orb_help},
      {{"--bogus"}, "orb: unrecognised option '--bogus'", orb_help},
      {{"--help", "query"}, "orb: extra operand 'query' after '--help'", orb_help},
      {{"--version", "now"}, "orb: extra operand 'now' after '--version'", orb_help},
      {{"help", "talk", "now"}, "orb: extra operand 'now' after 'help'", orb_help},
      {{"query"}, "orb query: missing BANK", "Try 'orb help query'."},
      {{"query", "k.dat"}, "orb query: missing KEY after 'k.dat'", "Try 'orb help query'."},
      {{"query", "k.dat", "a", "b"}, "orb query: extra operand 'b'", "Try 'orb help query'."},
      {{"query", "k.dat", "  "}, "orb query: KEY is blank", "Try 'orb help query'."},
      {{"set", "k.dat", "a"}, "orb set: missing VALUE after 'a'", "Try 'orb help set'."},
      {{"set", " ", "k", "v"}, "orb set: BANK is blank", "Try 'orb help set'."},
      {{"set", "k.dat", "--help"}, "orb set: missing VALUE after '--help'", "Try 'orb help set'."},
      {{"remove", "k.dat"}, "orb remove: missing KEY after 'k.dat'", "Try 'orb help remove'."},
      {{"post"}, "orb post: missing FILE", "Try 'orb help post'."},
      {{"post", "q.POF"}, "orb post: missing TEXT after 'q.POF'", "Try 'orb help post'."},
      {{"post", "q.POF", "  "}, "orb post: TEXT is blank; nothing to post", "Try 'orb help post'."},
      {{"take"}, "orb take: missing FILE", "Try 'orb help take'."},
      {{"take", "q.POF", "x"}, "orb take: extra operand 'x'", "Try 'orb help take'."},
      {{"take", " "}, "orb take: FILE is blank", "Try 'orb help take'."},
      {{"status", "extra"}, "orb status: extra operand 'extra'", "Try 'orb help status'."},
      {{"dispatch", "--bogus"}, "orb dispatch: unrecognised option '--bogus'", "Try 'orb help dispatch'."},
      {{"dispatch", "--local-id"}, "orb dispatch: option '--local-id' requires an argument",
       "Try 'orb help dispatch'."},
      {{"dispatch", "extra"}, "orb dispatch: extra operand 'extra'", "Try 'orb help dispatch'."},
      {{"talk", "--wait", "abc"}, "orb talk: invalid number 'abc' for --wait", "Try 'orb help talk'."},
      {{"talk", "--answers", "1.5"}, "orb talk: invalid number '1.5' for --answers", "Try 'orb help talk'."},
      {{"talk", "--to"}, "orb talk: option '--to' requires an argument", "Try 'orb help talk'."},
      {{"talk", "-x"}, "orb talk: unrecognised option '-x'", "Try 'orb help talk'."},
      {{"talk", "A", "B"}, "orb talk: extra operand 'B'", "Try 'orb help talk'."},
      {{"talk", ""}, "orb talk: APP is blank", "Try 'orb help talk'."},
      {{"talk", "A:B"}, "orb talk: an application name cannot hold ':'", "Try 'orb help talk'."},
  };
  for (const Case& c : cases) {
    std::string call = "orb";
    for (const std::string& a : c.args) call += " '" + a + "'";
    Ran r = Orb(c.args);
    EXPECT_EQ(r.code, 2) << call;
    EXPECT_EQ(r.out, "") << call;
    EXPECT_EQ(r.err, c.problem + "\n" + c.more + "\n") << call;
  }
}

// Arguments are checked before anything of the family is touched: a usage
// error never makes the family's root. Asked only to check (as the
// installed launcher asks before it settles the root), a right call exits 0
// and touches nothing either.
TEST(OrbChecksFirst, UsageErrorsAndChecksMakeNoFile) {
  struct Case {
    std::vector<std::string> args;
    bool check_only;
    int code;
  };
  const std::vector<Case> cases = {
      {{"set", "k.dat", "a"}, false, 2},        {{"talk", "--wait", "abc"}, false, 2},
      {{"dispatch", "--bogus"}, false, 2},      {{"query"}, false, 2},
      {{"status", "x"}, false, 2},              {{"--trace", "take"}, false, 2},
      {{"set", "k.dat", "a"}, true, 2},         {{"set", "k.dat", "a", "b"}, true, 0},
      {{"talk", "--wait", "2"}, true, 0},       {{"dispatch", "--once"}, true, 0},
      {{"--trace", "status"}, true, 0},         {{"take", "q.POF"}, true, 0},
  };
  TempRoot scratch;
  const std::string family = scratch.path() + "/family";
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kBinDir + "/orb"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string call = "orb";
    for (const std::string& a : c.args) call += " " + a;
    SCOPED_TRACE(call + (c.check_only ? " (check only)" : ""));
    Ran r = testing::Run(Launch{argv, {"ORB_ROOT=" + family, "ORB=C:\\TEMP",
                              c.check_only ? "ORB_CHECK_ONLY=1" : "ORB_CHECK_ONLY="}});
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.empty(), c.code == 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(family));
  }
}

TEST_F(OrbTest, HelpAndVersionPrintOnStandardOutput) {
  const std::vector<std::vector<std::string>> whole = {{"--help"}, {"-h"}, {"help"}};
  for (const auto& args : whole) {
    Ran r = Orb(args);
    EXPECT_EQ(r.code, 0) << args[0];
    EXPECT_EQ(r.out.rfind("usage: orb [--trace] COMMAND ARGS...\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n  dispatch  runs the dispatcher \"RORU PO\", which carries messages between "
                         "the programs\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n  --trace      switches the databank I/O log on for the call\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("See orb(1) for more.\n")) << r.out;
    EXPECT_EQ(r.err, "") << args[0];
  }
  const std::string version = Orb({"--version"}).out;
  EXPECT_TRUE(std::regex_match(version, std::regex("orb [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;

  // A command's own help: its usage, what it does and its options; the same
  // asked in each of the three ways.
  struct Case {
    std::string command;
    std::string help;
  };
  const std::vector<Case> commands = {
      {"query", "usage: orb query BANK KEY\nPrints the value (an empty line when absent).\n"},
      {"set", "usage: orb set BANK KEY VALUE\nStores a value (an empty VALUE removes the key).\n"},
      {"remove", "usage: orb remove BANK KEY\nRemoves a key.\n"},
      {"post", "usage: orb post FILE TEXT\nAppends one entry to a queue file.\n"},
      {"take",
       "usage: orb take FILE\nPrints the top entry's text exactly as read (CR LF after every line) "
       "and removes it.\n"},
      {"dispatch",
       "usage: orb dispatch [--once] [--local-id ID]\n"
       "Runs the dispatcher \"RORU PO\", which carries messages between the programs.\n"
       "options:\n"
       "  --once         runs one turn, prints what it did and exits\n"
       "  --local-id ID  records ID as this computer's Local ID\n"},
      {"talk",
       "usage: orb talk [APP] [--to ID] [--wait SECONDS] [--answers N] [--prompt|--no-prompt]\n"
       "The console of the application \"User\": sends each line of standard input to APP "
       "(default CAROB) and prints what arrives.\n"
       "options:\n"
       "  --to ID         addresses APP on the computer ID, through its route\n"
       "  --wait SECONDS  after the end of input, leaves once no answer has come for so long "
       "(default 3)\n"
       "  --answers N     after the end of input, leaves once N texts have arrived\n"
       "  --prompt        shows the prompt \"you> \" whatever standard input is\n"
       "  --no-prompt     leaves the prompt out whatever standard input is\n"},
      {"status", "usage: orb status\nPrints the STATUS registry, grouped by application.\n"},
  };
  for (const Case& c : commands) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {c.command, "--help"}, {c.command, "-h"}, {"help", c.command}}) {
      Ran help = Orb(args);
      EXPECT_EQ(help.code, 0) << args[0] << " " << args[1];
      EXPECT_EQ(help.out, c.help) << args[0] << " " << args[1];
      EXPECT_EQ(help.err, "") << args[0] << " " << args[1];
    }
  }
}

TEST_F(OrbTest, TraceWritesTheIOLogBesideOrbAndKeepsThePreviousOne) {
  const std::string log = "C:\\ORB\\TOOLS\\Database_IO.log";
  EXPECT_EQ(Orb({"--trace", "set", "C:\\data\\k.dat", "k", "v"}).code, 0);
  EXPECT_EQ(LogTexts(root.ReadFile(log)),
            (std::vector<std::string>{
                "Database C:\\FileLoc serial 1 Query [Temporary path] ==>> [C:\\TEMP]",
                "Innitialized databank access with tempdir [C:\\TEMP], runpath [C:\\ORB\\TOOLS]",
                "   ",
                "Database C:\\data\\k.dat serial  Set [k], [v]",
                " Methods: Appending. ",
                " Swap serial  Set",
                " Bytes inscribed ",
            }));
  EXPECT_EQ(Orb({"--trace", "query", "C:\\data\\k.dat", "k"}).out, "v\n");
  EXPECT_EQ(LogTexts(root.ReadFile(log)).back(), "Database C:\\data\\k.dat serial 1 Query [k] ==>> [v]");
  EXPECT_EQ(LogTexts(root.ReadFile(log + ".x")).size(), 7u);
  // Without --trace nothing is logged.
  EXPECT_EQ(Orb({"query", "C:\\data\\k.dat", "k"}).out, "v\n");
  EXPECT_EQ(LogTexts(root.ReadFile(log)).size(), 4u);
}

TEST_F(OrbTest, ParallelOrbWritersKeepEveryKey) {
  std::vector<std::unique_ptr<Process>> running;
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 6; ++i) {
      running.push_back(std::make_unique<Process>(InRoot(
          root, {orb_, "set", "C:\\data\\k.dat", "w" + std::to_string(w) + "_" + std::to_string(i),
                 std::string(static_cast<size_t>(1 + (w * 6 + i) % 9), 'x')})));
    }
  }
  for (auto& c : running) EXPECT_EQ(c->Wait(), 0);
  auto env = MakeTestEnv(root);
  databank::Databank db(*env);
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 6; ++i) {
      std::string b = "C:\\data\\k.dat", k = "w" + std::to_string(w) + "_" + std::to_string(i);
      EXPECT_EQ(db.Query(b, k), std::string(static_cast<size_t>(1 + (w * 6 + i) % 9), 'x')) << k;
    }
  }
}

}  // namespace
}  // namespace carob::testing
