// orb's failed writes name their cause, and a family installed at a drive
// root records its paths without a doubled "\".
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

TEST(OrbFailure, FailedWritesNameTheCauseAndExitOne) {
  Computer c;
  c.root.MakeFolder("C:\\data\\dir.dat");
  c.root.WriteFile("C:\\data\\plain", "not a folder\r\n");
  c.root.WriteFile("C:\\data\\k.dat", "k=v\r\n");
  // Links planted in the shared temporary folder, to a file of the user's
  // and to a name not made yet: neither is written through.
  std::filesystem::create_symlink(c.root.Native("C:\\data\\k.dat"), c.root.Native("C:\\TEMP\\to.dat"));
  std::filesystem::create_symlink(c.root.Native("C:\\data\\made.dat"), c.root.Native("C:\\TEMP\\new.dat"));
  // Each failure names the file and why: "orb set: cannot write FILE: CAUSE",
  // "orb post: cannot append to FILE: CAUSE", "orb query: cannot read FILE: CAUSE".
  struct Case {
    std::vector<std::string> args;
    std::string cause;
  };
  const std::string kDir = "is a directory", kMissing = "no such file or directory",
                    kLink = "a symbolic link stands there";
  const std::vector<Case> cases = {
      {{"set", "C:\\data\\dir.dat", "k", "v"}, kDir},
      {{"query", "C:\\data\\dir.dat", "k"}, kDir},
      {{"set", "C:\\nowhere\\k.dat", "k", "v"}, kMissing},
      {{"set", "C:\\data\\k.dat", "k", "two\nlines"}, "the value holds a line break"},
      {{"remove", "C:\\data\\k.dat", "k\nx"}, "the key holds a line break"},
      {{"post", "C:\\data\\plain\\q.POF", "hello"}, kMissing},
      {{"post", "C:\\data\\dir.dat", "hello"}, kDir},
      {{"set", "C:\\TEMP\\to.dat", "k2", "v"}, kLink},
      {{"set", "C:\\TEMP\\new.dat", "k", "v"}, kLink},
      {{"remove", "C:\\TEMP\\to.dat", "k"}, kLink},
  };
  for (const Case& k : cases) {
    const std::string& verb = k.args[0];
    const std::string doing = verb == "post"    ? "cannot append to "
                              : verb == "query" ? "cannot read "
                                                : "cannot write ";
    const std::string err = "orb " + verb + ": " + doing + k.args[1] + ": " + k.cause + "\n";
    Ran r = c.RunOrb(k.args);
    EXPECT_EQ(r.code, 1) << verb << " " << k.args[1];
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(c.root.ReadFile("C:\\data\\k.dat"), "k=v\r\n");
  EXPECT_FALSE(c.root.Exists("C:\\data\\made.dat"));
}

TEST(OrbFailure, NamesWithAColonThatIsNoDriveAreRefused) {
  // Run from a folder of the root, so that a name read relative to the
  // working folder would land beside it.
  Computer c;
  c.root.MakeFolder("C:\\a\\b\\c");
  const std::string cwd = c.root.Native("C:\\a\\b\\c");
  Ran r = testing::Run(InRoot(c.root, {"sh", "-c", "cd \"$1\" && exec \"$2\" set '..:\\..\\..\\escaped.dat' k v",
                              "sh", cwd, c.orb}));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "orb set: \"..:\\..\\..\\escaped.dat\" does not name a databank file\n");
  for (const auto& e : std::filesystem::recursive_directory_iterator(c.root.path())) {
    EXPECT_NE(e.path().filename(), "escaped.dat") << e.path();
  }
}

// A databank on a file system that fills up while `orb set` writes: the
// write is refused, and the file is left exactly as it was (a new databank
// is not left behind), so no reader ever meets a cut value.
TEST(OrbFailure, AWriteThatMeetsAFullDiskLeavesTheDatabankAsItWas) {
  Computer c;
  c.root.MakeFolder("C:\\full");
  c.root.MakeFolder("C:\\seen");
  // In a mount namespace of its own: a 16 KB file system at C:\full whose
  // room is taken but for part of one page; what is found is copied out.
  const std::string script =
      "mount -t tmpfs -o size=16k tmpfs \"$1\" || exit 99\n"
      "printf 'old=1\\r\\n' > \"$1/k.dat\"\n"
      "head -c 12288 /dev/zero > \"$1/filler\"\n"
      "\"$2\" set 'C:\\full\\k.dat' newkey \"$3\" 2> \"$4/set.err\"; echo $? > \"$4/set.rc\"\n"
      "\"$2\" set 'C:\\full\\new.dat' newkey \"$3\" 2> /dev/null; echo $? > \"$4/new.rc\"\n"
      "\"$2\" query 'C:\\full\\k.dat' newkey > \"$4/query\"\n"
      "cp \"$1/k.dat\" \"$4/k.dat\"; ls \"$1\" > \"$4/ls\"\n";
  const std::string seen = c.root.Native("C:\\seen");
  Ran r = testing::Run(InRoot(c.root, {"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                              c.root.Native("C:\\full"), c.orb, std::string(8000, 'v'), seen}));
  if (r.code != 0) GTEST_SKIP() << "no private mount namespace here (" << r.code << "): " << r.err;
  EXPECT_EQ(ReadNative(seen + "/set.rc"), "1\n");
  EXPECT_EQ(ReadNative(seen + "/set.err"),
            "orb set: cannot write C:\\full\\k.dat: no space left on device\n");
  EXPECT_EQ(ReadNative(seen + "/k.dat"), "old=1\r\n");
  EXPECT_EQ(ReadNative(seen + "/query"), "\n");
  EXPECT_EQ(ReadNative(seen + "/new.rc"), "1\n");
  EXPECT_EQ(ReadNative(seen + "/ls"), "filler\nk.dat\n");
}

TEST(OrbAtADriveRoot, RecordsNoDoubledBackslash) {
  // orb installed as C:\orb (C:\orb.exe on Windows), with nothing recorded
  // yet: the temporary folder falls back to the program folder, the drive
  // root itself.
  Computer c;
  std::filesystem::remove(c.root.Native("C:\\FileLoc"));
  const std::string at_root = c.root.Native(c.orb.ends_with(".exe") ? "C:\\orb.exe" : "C:\\orb");
  std::filesystem::copy_file(c.orb, at_root);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), at_root);
    auto child = c.Start(std::move(args));
    return child->Wait(30);
  };
  EXPECT_EQ(run({"set", "local.dat", "a", "1"}), 0);
  EXPECT_EQ(run({"dispatch", "--once", "--local-id", "hostA"}), 0);

  EXPECT_EQ(c.root.ReadFile("C:\\local.dat"), "a=1\r\n");
  const std::string fileloc = c.root.ReadFile("C:\\FileLoc");
  const std::string status = c.root.ReadFile("C:\\STATUS");
  struct Recorded {
    std::string bank, key, value;
  };
  for (const Recorded& r : std::vector<Recorded>{
           {fileloc, "Temporary path", "C:\\"},
           {fileloc, "STATUS", "C:\\STATUS"},
           {fileloc, "RORU PO Input", "C:\\RORU PO.input.POF"},
           {status, "RORU PO path", "C:\\orb.EXE"},
       }) {
    EXPECT_EQ(BankValue(r.bank, r.key), r.value) << r.key;
  }
  EXPECT_EQ(fileloc.find("\\\\"), std::string::npos) << fileloc;
  EXPECT_EQ(status.find("\\\\"), std::string::npos) << status;
}

}  // namespace
}  // namespace carob::testing
