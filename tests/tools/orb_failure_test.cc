// orb's failed writes name their cause, and a family installed at a drive
// root records its paths without a doubled "\".
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

TEST(OrbFailure, FailedWritesNameTheCauseAndExitOne) {
  Computer c;
  c.root.MakeFolder("C:\\data\\dir.dat");
  c.root.WriteFile("C:\\data\\plain", "not a folder\r\n");
  c.root.WriteFile("C:\\data\\k.dat", "k=v\r\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"set", "C:\\data\\dir.dat", "k", "v"}, "orb set: cannot write C:\\data\\dir.dat: is a directory\n"},
      {{"set", "C:\\nowhere\\k.dat", "k", "v"},
       "orb set: cannot write C:\\nowhere\\k.dat: no such file or directory\n"},
      {{"set", "C:\\data\\k.dat", "k", "two\nlines"},
       "orb set: cannot write C:\\data\\k.dat: the value holds a line break\n"},
      {{"remove", "C:\\data\\k.dat", "k\nx"},
       "orb remove: cannot write C:\\data\\k.dat: the key holds a line break\n"},
      {{"post", "C:\\data\\plain\\q.POF", "hello"},
       "orb post: cannot append to C:\\data\\plain\\q.POF: no such file or directory\n"},
      {{"post", "C:\\data\\dir.dat", "hello"},
       "orb post: cannot append to C:\\data\\dir.dat: is a directory\n"},
  };
  for (const Case& k : cases) {
    Ran r = c.RunOrb(k.args);
    EXPECT_EQ(r.code, 1) << k.args[0] << " " << k.args[1];
    EXPECT_EQ(r.err, k.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(c.root.ReadFile("C:\\data\\k.dat"), "k=v\r\n");
}

TEST(OrbAtADriveRoot, RecordsNoDoubledBackslash) {
  // orb installed as C:\orb, with nothing recorded yet: the temporary folder
  // falls back to the program folder, the drive root itself.
  Computer c;
  std::filesystem::remove(c.root.Native("C:\\FileLoc"));
  std::filesystem::copy_file(c.orb, c.root.Native("C:\\orb"));
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), c.root.Native("C:\\orb"));
    auto child = c.Start(std::move(args));
    return child->Wait(30);
  };
  EXPECT_EQ(run({"set", "local.dat", "a", "1"}), 0);
  EXPECT_EQ(run({"dispatch", "--once", "--local-id", "hostA"}), 0);

  EXPECT_EQ(c.root.ReadFile("C:\\local.dat"), "a=1\r\n");
  const std::string fileloc = c.Read("C:\\FileLoc");
  const std::string status = c.root.ReadFile("C:\\STATUS");
  struct Recorded {
    std::string bank, key, value;
  };
  for (const Recorded& r : std::vector<Recorded>{
           {fileloc, "Temporary path", "C:\\"},
           {fileloc, "STATUS", "C:\\STATUS"},
           {fileloc, "RORU PO Input", "C:\\RORU PO.input.POF"},
           {status, "RORU PO path", "C:\\ORB.EXE"},
       }) {
    EXPECT_EQ(BankValue(r.bank, r.key), r.value) << r.key;
  }
  EXPECT_EQ(fileloc.find("\\\\"), std::string::npos) << fileloc;
  EXPECT_EQ(status.find("\\\\"), std::string::npos) << status;
}

}  // namespace
}  // namespace carob::testing
