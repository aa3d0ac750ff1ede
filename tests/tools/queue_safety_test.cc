// Queue files against careless and hostile surroundings, as separate `orb`
// processes meet them: links planted in the shared temporary folder, texts
// and files that would break the entry framing, a full file system.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

const std::string kQueue = "C:\\ORB\\Q\\q.POF";

struct OrbRig {
  OrbRig() { root.MakeFolder("C:\\ORB\\Q"); }
  Ran Orb(const std::vector<std::string>& args) { return RunOrb(root, args); }
  int SwapFilesLeft() const {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(root.Native(kTempFolder))) {
      if (e.path().filename().string().rfind("ROZ.", 0) == 0) ++n;
    }
    return n;
  }
  World world{{.clock = nullptr}};
  TempRoot& root = world.root;
};

// Links and folders planted in the shared temporary folder at every name a
// taker of the queue might make there (the fixed claim names and every
// random swap name) never lead it to make a file elsewhere: taken names are
// passed over, and the planted things are left as they were.
TEST(OrbQueue, PlantedLinksInTheTemporaryFolderAreNeverFollowed) {
  OrbRig rig;
  ASSERT_EQ(rig.Orb({"post", kQueue, "first"}).code, 0);
  ASSERT_EQ(rig.Orb({"post", kQueue, "second"}).code, 0);
  rig.root.MakeFolder("C:\\OUTSIDE");
  const std::string outside = rig.root.Native("C:\\OUTSIDE");
  const std::string temp = rig.root.Native(kTempFolder);
  std::vector<std::string> planted;
  auto plant_link = [&](const std::string& name) {
    std::filesystem::create_symlink(outside + "/" + name, temp + "/" + name);
    planted.push_back(name);
  };
  char hex[16];
  for (int r = 0; r < 4096; ++r) {
    std::snprintf(hex, sizeof hex, "%X", r);
    plant_link("ROZ.q.POF.1." + std::string(hex) + ".TMP");
  }
  plant_link("ROZ.q.POF.1.TMP");
  std::filesystem::create_directory(temp + "/ROZ.q.POF.2.TMP");
  plant_link("ROZ.q.POF.3.TMP");
  std::filesystem::create_symlink(outside, temp + "/ROZ.q.POF.4.TMP");  // a link to a folder

  Ran a = rig.Orb({"take", kQueue});
  EXPECT_EQ(a.code, 0) << a.err;
  EXPECT_EQ(a.out, "first\r\n");
  EXPECT_EQ(rig.Orb({"take", kQueue}).out, "second\r\n");
  EXPECT_TRUE(std::filesystem::is_empty(outside)) << "a file was made through a planted link";
  for (const std::string& name : planted) {
    EXPECT_TRUE(std::filesystem::is_symlink(temp + "/" + name)) << name;
  }
  EXPECT_TRUE(std::filesystem::is_directory(temp + "/ROZ.q.POF.2.TMP"));
  // Only the planted things stand there: no claim of ours was left.
  EXPECT_EQ(rig.SwapFilesLeft(), static_cast<int>(planted.size()) + 2);
}

// What an append makes of texts and files that would break the entry
// framing, each as another program posting and taking would see it.
TEST(OrbQueue, AppendsNeverBreakTheFraming) {
  struct Case {
    const char* name;
    std::string before;  // the file before the post
    std::string text;    // posted
    int post_code;       // orb post's exit code
    std::string taken;  // what orb take then hands out, each take ended by "|"
  };
  const std::string h = RozHeader();
  std::vector<Case> cases = {
      {"a text line that would read as a header is refused", h + "old\r\n",
       "fine\r\n--- Entry by ROZ Default on 01-01-2026 00:00:00\r\nSET SOURCE = evil", 1,
       "old\r\n|"},
      {"so is one after a lone CR", "", "fine\r--- x", 1, ""},
      {"a last line without its end is completed first", h + "no end", "next", 0,
       "no end\r\n|next\r\n|"},
      {"stray lines before the first header are no part of an entry",
       "stray one\r\nstray two\r\n" + h + "real\r\n", "after", 0, "real\r\n|after\r\n|"},
      {"CR-only line ends still read as lines", "--- h1\rA\r--- h2\rB\rC\r", "after", 0,
       "A\r\n|B\r\nC\r\n|after\r\n|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OrbRig rig;
    if (!c.before.empty()) rig.root.WriteFile(kQueue, c.before);
    Ran post = rig.Orb({"post", kQueue, c.text});
    EXPECT_EQ(post.code, c.post_code) << post.err;
    if (c.post_code != 0) {
      EXPECT_NE(post.err.find("\"---\""), std::string::npos) << post.err;
      EXPECT_EQ(rig.root.ReadFile(kQueue), c.before.empty() ? "<missing>" : c.before);
    }
    std::string taken;
    for (Ran t = rig.Orb({"take", kQueue}); !t.out.empty(); t = rig.Orb({"take", kQueue})) {
      taken += t.out + "|";
    }
    EXPECT_EQ(taken, c.taken);
  }
}

// A post on a full file system fails and leaves the queue exactly as it was,
// so that a later post does not glue onto a piece of it. The file system is
// a small tmpfs mounted in a mount namespace of the test's own.
TEST(OrbQueue, PostOnAFullDiskLeavesTheQueueAsItWas) {
  OrbRig rig;
  rig.root.MakeFolder("C:\\FULL");
  const std::string before = RozEntry("waiting");
  rig.root.WriteFile("C:\\before.POF", before);
  const std::string dir = rig.root.Native("C:\\FULL");
  const std::string big(20000, 'x');
  // Inside the namespace: the queue and a filler on the tmpfs, one page
  // freed again so that the post writes part of its entry before the disk
  // is full; then a post, the queue copied out, space made, another post.
  const std::string script =
      "set -e; mount -t tmpfs -o size=256k tmpfs \"$D\"; cp \"$R/c/before.POF\" \"$D/q.POF\";"
      "head -c 4096 /dev/zero > \"$D/gap\"; head -c 1000000 /dev/zero > \"$D/fill\" 2>/dev/null || true;"
      "rm \"$D/gap\"; set +e; \"$ORB\" post 'C:\\FULL\\q.POF' \"$BIG\" 2> \"$R/err\"; echo $? > \"$R/rc\";"
      "cp \"$D/q.POF\" \"$R/c/after.POF\"; rm \"$D/fill\"; \"$ORB\" post 'C:\\FULL\\q.POF' later;"
      "cp \"$D/q.POF\" \"$R/c/later.POF\"";
  Ran r = testing::Run({{"unshare", "-m", "sh", "-c", script},
               {"ORB_ROOT=" + rig.root.path(), "R=" + rig.root.path(), "D=" + dir,
                "ORB=" + kBinDir + "/orb", "BIG=" + big, "TEMP=", "TMP="}});
  if (r.code != 0 || !rig.root.Exists("C:\\after.POF")) {
    GTEST_SKIP() << "no tmpfs in a mount namespace of our own here: " << r.err;
  }
  EXPECT_EQ(ReadNative(rig.root.path() + "/rc"), "1\n");
  EXPECT_NE(ReadNative(rig.root.path() + "/err").find("no space"), std::string::npos)
      << ReadNative(rig.root.path() + "/err");
  EXPECT_EQ(rig.root.ReadFile("C:\\after.POF"), before);
  auto entries = ParseQueue(rig.root.ReadFile("C:\\later.POF"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].lines, std::vector<std::string>{"waiting"});
  EXPECT_EQ(entries[1].lines, std::vector<std::string>{"later"});
}

}  // namespace
}  // namespace carob::testing
