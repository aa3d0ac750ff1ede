// Queue files as separate programs meet them: `orb post` and `orb take`
// processes, and this process's receive against them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
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
  // The receiving side waits on locks as the program does, in real time.
  World world{{.clock = nullptr}};
  TempRoot& root = world.root;
};

TEST(OrbQueue, PostAndTakeKeepTheExactText) {
  OrbRig rig;
  ASSERT_EQ(rig.Orb({"post", kQueue, "Hello"}).code, 0);
  ASSERT_EQ(rig.Orb({"post", kQueue, "SET SOURCE = 10.0.0.7\r\nline two"}).code, 0);
  ASSERT_EQ(rig.Orb({"post", kQueue, "several", "words"}).code, 0);
  const std::regex header(kRozHeader +
                          std::string(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d(\.\d+)?\r\n)"));
  std::string file = rig.root.ReadFile(kQueue);
  EXPECT_TRUE(std::regex_match(
      file, std::regex("(" + std::string(kRozHeader) + R"([^\r\n]*\r\n)" +
                       "Hello\r\n)(.|\r|\n)*")))
      << file;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(file, m, header));
  EXPECT_EQ(m.position(0), 0);

  for (const char* text :
       {"Hello\r\n", "SET SOURCE = 10.0.0.7\r\nline two\r\n", "several words\r\n"}) {
    Ran t = rig.Orb({"take", kQueue});
    EXPECT_EQ(t.code, 0);
    EXPECT_EQ(t.out, text);
  }
  EXPECT_EQ(rig.root.ReadFile(kQueue), "");
  Ran d = rig.Orb({"take", kQueue});
  EXPECT_EQ(d.code, 0);
  EXPECT_EQ(d.out, "");
  Ran missing = rig.Orb({"take", "C:\\ORB\\Q\\none.POF"});
  EXPECT_EQ(missing.code, 0);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(rig.SwapFilesLeft(), 0);
}

TEST(OrbQueue, TakeSkipsEntriesWithoutText) {
  OrbRig rig;
  rig.root.WriteFile(kQueue, RozHeader("a") + RozHeader("b") + RozEntry("text", "c") + RozHeader("d"));
  Ran r = rig.Orb({"take", kQueue});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "text\r\n");
  EXPECT_EQ(rig.root.ReadFile(kQueue), RozHeader("d"));
  r = rig.Orb({"take", kQueue});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rig.root.ReadFile(kQueue), "");
}

TEST(OrbQueue, UsageAndFailures) {
  OrbRig rig;
  EXPECT_EQ(rig.Orb({"post"}).code, 2);
  EXPECT_EQ(rig.Orb({"post", kQueue}).code, 2);
  EXPECT_EQ(rig.Orb({"post", kQueue, "   "}).code, 2);
  EXPECT_EQ(rig.Orb({"take"}).code, 2);
  EXPECT_EQ(rig.Orb({"take", kQueue, "extra"}).code, 2);
  EXPECT_FALSE(rig.root.Exists(kQueue));
  // A folder that does not exist cannot take an entry.
  EXPECT_EQ(rig.Orb({"post", "C:\\NO\\SUCH\\q.POF", "x"}).code, 1);

  // A queue that cannot be moved to the (missing) temporary folder keeps its
  // entry, and the take says so instead of printing it.
  rig.root.WriteFile("C:\\FileLoc", "Temporary path=C:\\NOTEMP\r\n");
  ASSERT_EQ(rig.Orb({"post", kQueue, "stays"}).code, 0);
  const std::string before = rig.root.ReadFile(kQueue);
  Ran r = rig.Orb({"take", kQueue});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(rig.root.ReadFile(kQueue), before);
}

// Starts a process that posts `count` entries "<tag>-<i>", one orb process
// each, one after the other.
pid_t StartPoster(const TempRoot& root, const std::string& tag, int count) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
      if (RunOrb(root, {"post", kQueue, tag + "-" + std::to_string(i)}).code != 0) ++failures;
    }
    ::_exit(failures == 0 ? 0 : 1);
  }
  return pid;
}

bool AllDone(std::vector<pid_t>& pids, int& failed) {
  bool done = true;
  for (pid_t& pid : pids) {
    if (pid <= 0) continue;
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
      pid = 0;
    } else {
      done = false;
    }
  }
  return done;
}

// Runs `step` while the processes `pids` run, pausing a moment whenever it
// finds nothing, then until it finds nothing; how many processes failed.
int DrainWhile(std::vector<pid_t>& pids, const std::function<bool()>& step) {
  int failed = 0;
  for (bool done = false; !done;) {
    done = AllDone(pids, failed);
    if (!step()) ::usleep(1000);
  }
  while (step()) {
  }
  return failed;
}

std::set<std::string> Expected(int posters, int each) {
  std::set<std::string> all;
  for (int p = 0; p < posters; ++p) {
    for (int i = 0; i < each; ++i) all.insert("p" + std::to_string(p) + "-" + std::to_string(i));
  }
  return all;
}

// Every posted entry was taken exactly once, and the queue was left empty
// with no swap file behind.
void ExpectEachTakenOnce(const OrbRig& rig, const std::map<std::string, int>& seen, int posters,
                         int each) {
  std::set<std::string> got;
  for (const auto& [text, n] : seen) {
    EXPECT_EQ(n, 1) << text << " taken " << n << " times";
    got.insert(text);
  }
  EXPECT_EQ(got, Expected(posters, each));
  EXPECT_EQ(rig.root.ReadFile(kQueue), "");
  EXPECT_EQ(rig.SwapFilesLeft(), 0);
}

// Several programs append while one takes: every entry is taken exactly once.
TEST(OrbQueue, ConcurrentPostersAndOneTaker) {
  OrbRig rig;
  constexpr int kPosters = 4, kEach = 25;
  std::vector<pid_t> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.push_back(StartPoster(rig.root, "p" + std::to_string(p), kEach));
  }
  std::map<std::string, int> seen;
  int bad_takes = 0;
  std::vector<std::string> malformed;
  auto take_one = [&]() {
    Ran r = rig.Orb({"take", kQueue});
    if (r.code != 0) ++bad_takes;
    if (r.out.empty()) return false;
    if (!r.out.ends_with("\r\n") || r.out.find("\r\n") != r.out.size() - 2) {
      malformed.push_back(r.out);
    } else {
      ++seen[r.out.substr(0, r.out.size() - 2)];
    }
    return true;
  };
  EXPECT_EQ(DrainWhile(posters, take_one), 0);
  EXPECT_EQ(bad_takes, 0);
  EXPECT_TRUE(malformed.empty()) << malformed.front();
  ExpectEachTakenOnce(rig, seen, kPosters, kEach);
}

// Two takers at once never hand out the same entry, and lose none.
TEST(OrbQueue, ConcurrentPostersAndTwoTakers) {
  OrbRig rig;
  constexpr int kPosters = 3, kEach = 20, kTakers = 2;
  const std::string stop = rig.root.path() + "/stop";
  std::vector<pid_t> takers;
  for (int t = 0; t < kTakers; ++t) {
    const std::string log = rig.root.path() + "/taken" + std::to_string(t);
    pid_t pid = ::fork();
    if (pid == 0) {
      int failures = 0;
      for (;;) {
        bool stopping = std::filesystem::exists(stop);
        Ran r = RunOrb(rig.root, {"take", kQueue});
        if (r.code != 0) ++failures;
        if (!r.out.empty()) {
          std::ofstream(log, std::ios::binary | std::ios::app) << r.out;
        } else if (stopping) {
          break;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    takers.push_back(pid);
  }
  std::vector<pid_t> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.push_back(StartPoster(rig.root, "p" + std::to_string(p), kEach));
  }
  int failed = 0;
  while (!AllDone(posters, failed)) ::usleep(10000);
  std::ofstream(stop) << "stop";
  int taker_failed = 0;
  while (!AllDone(takers, taker_failed)) ::usleep(10000);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(taker_failed, 0);

  std::map<std::string, int> seen;
  for (int t = 0; t < kTakers; ++t) {
    std::ifstream in(rig.root.path() + "/taken" + std::to_string(t), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      ASSERT_TRUE(line.ends_with("\r")) << line;
      ++seen[line.substr(0, line.size() - 1)];
    }
  }
  ExpectEachTakenOnce(rig, seen, kPosters, kEach);
}

// Receives from CAROB's interface, counting each text and noting those that
// came before an earlier one of the same sender ("p1-3" never before "p1-2").
struct InOrderReceiver {
  explicit InOrderReceiver(messaging::Messaging& m) : msg(m) {}
  int ReceiveWhile(std::vector<pid_t>& pids) {
    return DrainWhile(pids, [this] { return ReceiveOne(); });
  }
  bool ReceiveOne() {
    std::string text = msg.ReceiveMessage("CAROB", messaging::MessageKind::kInterface);
    if (text.empty()) return false;
    ++seen[text];
    const size_t dash = text.find('-');
    if (dash != std::string::npos) {
      const std::string tag = text.substr(0, dash);
      const int index = std::atoi(text.c_str() + dash + 1);
      auto it = last_of.find(tag);
      if (it != last_of.end() && index < it->second) out_of_order.push_back(text);
      last_of[tag] = index;
    }
    return true;
  }
  messaging::Messaging& msg;
  std::map<std::string, int> seen, last_of;
  std::vector<std::string> out_of_order;
};

// The program's own receive as the taker, against posting processes.
TEST(OrbQueue, ReceiveAgainstConcurrentPosters) {
  OrbRig rig;
  rig.world.AddFileLoc("CAROB interface", kQueue);
  messaging::Messaging& msg = *rig.world.AddMessaging().msg;

  constexpr int kPosters = 4, kEach = 30;
  std::vector<pid_t> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.push_back(StartPoster(rig.root, "p" + std::to_string(p), kEach));
  }
  // Each poster sends its entries one after another, so they must also be
  // received in that order.
  InOrderReceiver in(msg);
  EXPECT_EQ(in.ReceiveWhile(posters), 0);
  std::set<std::string> got;
  for (auto& [text, n] : in.seen) {
    EXPECT_EQ(n, 1) << text;
    ASSERT_TRUE(text.ends_with("\r\n")) << text;
    got.insert(text.substr(0, text.size() - 2));
  }
  EXPECT_EQ(got, Expected(kPosters, kEach));
  EXPECT_TRUE(in.out_of_order.empty()) << in.out_of_order.size()
                                       << " entries came out of order, first "
                                       << in.out_of_order.front();
  EXPECT_EQ(msg.LastSource(), "0.0.0.0");
  EXPECT_EQ(rig.SwapFilesLeft(), 0);
}

// Appenders that post as fast as they can, each from a program of its own,
// while this process takes: every entry arrives once, and each sender's
// entries in the order it sent them.
TEST(OrbQueue, FastAppendersKeepTheirOrder) {
  OrbRig rig;
  rig.world.AddFileLoc("CAROB interface", kQueue);
  constexpr int kAppenders = 3, kEach = 300;
  std::vector<pid_t> appenders;
  for (int a = 0; a < kAppenders; ++a) {
    pid_t pid = ::fork();
    if (pid == 0) {
      messaging::Messaging& msg = *rig.world.AddMessaging().msg;
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        if (!msg.AppendEntry(kQueue, "a" + std::to_string(a) + "-" + std::to_string(i))) {
          ++failures;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    appenders.push_back(pid);
  }
  InOrderReceiver in(*rig.world.AddMessaging().msg);
  EXPECT_EQ(in.ReceiveWhile(appenders), 0);
  EXPECT_EQ(in.out_of_order, std::vector<std::string>{});
  EXPECT_EQ(in.seen.size(), static_cast<size_t>(kAppenders * kEach));
  for (auto& [text, n] : in.seen) EXPECT_EQ(n, 1) << text;
  EXPECT_EQ(rig.SwapFilesLeft(), 0);
}

// Queue files against careless and hostile surroundings: links planted in
// the shared temporary folder, texts and files that would break the entry
// framing, a full file system.

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
