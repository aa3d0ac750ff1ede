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

TEST_F(OrbTest, WrongUsageExitsTwoAndFailuresExitOne) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"query", "C:\\data\\k.dat"}, {"set", "C:\\data\\k.dat", "k"},
           {"remove", "C:\\data\\k.dat"}, {"query", "C:\\data\\k.dat", "  "},
           {"set", " ", "k", "v"}, {"--trace"}, {"help", "bogus"},
           {"set", "C:\\data\\k.dat", "--help"}}) {
    Ran r = Orb(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(Orb({"set", "C:\\nowhere\\k.dat", "k", "v"}).code, 1);
  EXPECT_FALSE(root.Exists("C:\\nowhere"));
  EXPECT_EQ(Orb({"query", "C:\\data\\", "k"}).code, 1);
}

TEST_F(OrbTest, HelpAndVersionPrintOnStandardOutput) {
  const std::vector<std::vector<std::string>> whole = {{"--help"}, {"-h"}, {"help"}};
  for (const auto& args : whole) {
    Ran r = Orb(args);
    EXPECT_EQ(r.code, 0) << args[0];
    EXPECT_EQ(r.out.rfind("usage: orb [--trace] COMMAND ARGS...\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n  orb dispatch [--once] [--local-id ID]\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "") << args[0];
  }
  const std::string version = Orb({"--version"}).out;
  EXPECT_TRUE(std::regex_match(version, std::regex("orb [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;

  // A command's own usage, asked for, is the one its wrong usage shows.
  const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
      {"query", {}},       {"set", {}},           {"remove", {}},
      {"post", {}},        {"take", {}},          {"dispatch", {"--bogus"}},
      {"talk", {"--bogus"}}, {"status", {"extra"}},
  };
  for (const auto& [command, wrong] : commands) {
    Ran help = Orb({command, "--help"});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: orb " + command, 0), 0u) << help.out;
    EXPECT_EQ(help.err, "") << command;
    EXPECT_EQ(Orb({command, "-h"}).out, help.out) << command;
    EXPECT_EQ(Orb({"help", command}).out, help.out) << command;
    std::vector<std::string> args = {command};
    args.insert(args.end(), wrong.begin(), wrong.end());
    Ran misused = Orb(args);
    EXPECT_EQ(misused.code, 2) << command;
    EXPECT_NE(misused.err.find(help.out), std::string::npos) << misused.err;
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
