#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>

#include "tests/messaging/messaging_rig.h"
#include "tests/support/process.h"
#include "tests/support/scoped_variable.h"
#ifndef _WIN32
#include "tests/platform/platform_test_util.h"
#endif

namespace carob::testing {
namespace {

const std::string kQueue = "C:\\ORB\\CAROB\\q.POF";

template <class Rig>
std::vector<std::string> TempFiles(const Rig& rig, const std::string& folder) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(rig.root.Native(folder))) {
    // Not the lock file this process keeps for its next lock.
    if (!e.path().filename().string().starts_with(".carob-spare.")) {
      names.push_back(e.path().filename().string());
    }
  }
  return names;
}

TEST(RozQueue, AppendWritesHeaderAndTextExactly) {
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "Hello"));
  EXPECT_EQ(rig.root.ReadFile(kQueue), RozHeader() + "Hello\r\n");
  rig.clock->Advance(0.53125);
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "two\r\nlines"));
  EXPECT_EQ(rig.root.ReadFile(kQueue), RozHeader() + "Hello\r\n" +
                                  RozHeader("12-07-2026 08:29:45.53125") +
                                  "two\r\nlines\r\n");
  // A bare name lies in the program folder.
  EXPECT_TRUE(rig.msg->AppendEntry("bare.POF", "x"));
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\bare.POF"),
            RozHeader("12-07-2026 08:29:45.53125") + "x\r\n");
}

TEST(RozQueue, BlankTextOrNameWritesNothing) {
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "   "));
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, ""));
  EXPECT_TRUE(rig.msg->AppendEntry("  ", "text"));
  EXPECT_FALSE(rig.root.Exists(kQueue));
  EXPECT_TRUE(TempFiles(rig, "C:\\ORB\\CAROB").empty());
}

TEST(RozQueue, ReadAndDeleteTakeEntriesInOrder) {
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "A1\r\nA2"));
  rig.clock->Advance(1);
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "B"));
  const std::string b_entry = RozHeader("12-07-2026 08:29:46") + "B\r\n";

  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "A1\r\nA2\r\n");
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "A1\r\nA2\r\n") << "reading does not change the file";
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.root.ReadFile(kQueue), b_entry);
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "B\r\n");
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.root.ReadFile(kQueue), "");
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "");
  // Deleting from an empty file changes nothing; no swap file is left behind.
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.root.ReadFile(kQueue), "");
  EXPECT_TRUE(TempFiles(rig, "C:\\TEMP").size() == 1) << "only STATUS stays in C:\\TEMP";
}

TEST(RozQueue, MissingFileReadsEmptyAndDeleteDoesNothing) {
  MessagingRig rig;
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "");
  EXPECT_EQ(rig.msg->ReadTopEntry(""), "");
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_FALSE(rig.root.Exists(kQueue));
}

TEST(RozQueue, BoundaryRules) {
  MessagingRig rig;
  // Lines before the first header are no part of the first entry (they come
  // back apart and are removed with it); a text line beginning with "---"
  // ends the entry; a header-only entry reads empty.
  rig.root.WriteFile(kQueue,
                     "stray\r\n" + RozHeader("x") +
                         "first\r\n"
                         "---not a header, but a boundary all the same\r\n"
                         "tail\r\n" +
                         RozHeader("y") + messaging::kEntryHeader + "z\n" +
                         "last line without end");
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "first\r\n");
  EXPECT_EQ(rig.msg->ReadTop(kQueue).junk, "stray\r\n");
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.root.ReadFile(kQueue),
            "---not a header, but a boundary all the same\r\n"
            "tail\r\n" +
                RozHeader("y") + RozHeader("z") + "last line without end\r\n");
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "tail\r\n");
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "");  // header only
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "last line without end\r\n");
  EXPECT_EQ(rig.msg->ReadTop(kQueue).header, messaging::kEntryHeader + std::string("z"));
}

TEST(RozQueue, EmptyTextLinesStay) {
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "a\r\n\r\nb\r\n"));
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "a\r\n\r\nb\r\n\r\n");
}

TEST(RozQueue, SwapNameFollowsTheRandomSequence) {
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "x"));  // settles the temporary folder
  ASSERT_EQ(rig.msg->RozTempDir(), "C:\\TEMP");
  auto& random = rig.env->random();
  auto hex = [](float r) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%lX", static_cast<unsigned long>(std::nearbyint(r * 4095.0f)));
    return std::string(buf);
  };
  random.Seed(7.25f);
  float r1 = random.Next();
  float r2 = random.Next();
  random.Seed(7.25f);
  std::string first = rig.msg->MakeSwapName(kQueue);
  EXPECT_EQ(first, "C:\\TEMP\\ROZ.q.POF.1." + hex(r1) + ".TMP");
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(C:\\TEMP\\ROZ\.q\.POF\.1\.[0-9A-F]{1,3}\.TMP)")))
      << first;
  // A name that exists already is passed over: the counter moves on.
  rig.root.WriteFile(first, "taken");
  random.Seed(7.25f);
  EXPECT_EQ(rig.msg->MakeSwapName(kQueue), "C:\\TEMP\\ROZ.q.POF.2." + hex(r2) + ".TMP");
}

TEST(RozQueue, SwapNameUsesTheStoredNameOfTheFile) {
  MessagingRig rig;
  rig.root.WriteFile("C:\\ORB\\CAROB\\Mixed.Case.POF", "x\r\n");
  EXPECT_TRUE(rig.msg->AppendEntry("C:\\ORB\\CAROB\\Mixed.Case.POF", "y"));
  std::string name = rig.msg->MakeSwapName("C:\\ORB\\CAROB\\MIXED.CASE.POF");
  EXPECT_EQ(name.rfind("C:\\TEMP\\ROZ.Mixed.Case.POF.1.", 0), 0u) << name;
}

TEST(RozQueue, TemporaryFolderFromFileLocIsUsedAsFound) {
  MessagingRig rig("C:\\ORB\\CAROB", "C:\\TEMP\\");
  rig.msg->ResolveInterfacePath("x");
  EXPECT_EQ(rig.msg->RozTempDir(), "C:\\TEMP\\");
}

TEST(RozQueue, TemporaryFolderFromTheEnvironment) {
  struct Case {
    const char *orb, *temp, *tmp;  // nullptr: unset
    std::string folder;
    const char* stored;  // the FileLoc afterwards; nullptr: not looked at
  } cases[] = {
      {"C:\\ORBTEMP", "C:\\OTHER", nullptr, "C:\\ORBTEMP", "Temporary path=C:\\ORBTEMP\r\n"},
      // A folder from TMP is stored too: storing depends on the key being
      // missing, not on where the folder came from.
      {nullptr, nullptr, "C:\\TMPDIR", "C:\\TMPDIR", "Temporary path=C:\\TMPDIR\r\n"},
      {nullptr, nullptr, nullptr, "C:\\ORB\\CAROB", nullptr},
  };
  for (const Case& c : cases) {
    MessagingRig rig;
    rig.root.WriteFile("C:\\FileLoc", "");
    // The environment variables are those of the test process; each case
    // sets and restores them.
    ScopedVariable orb("ORB", c.orb), temp("TEMP", c.temp), tmp("TMP", c.tmp);
    rig.msg->ResolveInterfacePath("x");
    EXPECT_EQ(rig.msg->RozTempDir(), c.folder);
    if (c.stored) {
      EXPECT_EQ(rig.root.ReadFile("C:\\FileLoc"), c.stored);
    }
  }
}

TEST(RozQueue, ResolveKeepsFullPathsAndPlacesBareNames) {
  MessagingRig rig;
  EXPECT_EQ(rig.msg->ResolveInterfacePath("D:\\x\\y.POF"), "D:\\x\\y.POF");
  EXPECT_EQ(rig.msg->ResolveInterfacePath("y.POF"), "C:\\ORB\\CAROB\\y.POF");
  EXPECT_EQ(rig.msg->ResolveInterfacePath("y.POF"), "C:\\ORB\\CAROB\\y.POF");
  EXPECT_EQ(rig.msg->ResolveInterfacePath("Y.POF"), "C:\\ORB\\CAROB\\Y.POF");
}

TEST(RozQueue, QueueWhoseSwapFileCannotBeMadeKeepsEveryEntry) {
  // The temporary folder does not exist, so no swap file can be made there.
  MessagingRig rig("C:\\ORB\\CAROB", "C:\\NOTEMP");
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "A"));
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "B"));
  const std::string before = rig.root.ReadFile(kQueue);
  EXPECT_FALSE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.root.ReadFile(kQueue), before);
  // Once the folder is there the same call works.
  rig.root.MakeFolder("C:\\NOTEMP");
  EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
  EXPECT_EQ(rig.msg->ReadTopEntry(kQueue), "B\r\n");
  EXPECT_TRUE(TempFiles(rig, "C:\\NOTEMP").empty());
}

// A program that appends without holding the queue may write to the file
// after it was read and before it is replaced; what it wrote is carried over
// too, and the claim file is gone afterwards.
TEST(RozQueue, LateAppendToTheOldFileIsNotLost) {
  // Calls `on_replace` before passing a ReplaceContentsHeld on, to act at
  // exactly that moment: the first pass over the old file is over.
  struct ReplaceHook : platform::EnvWrapper {
    using EnvWrapper::EnvWrapper;
    std::function<void()> on_replace;
    platform::Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                                         std::unique_ptr<platform::LockFile>* held) override {
      if (on_replace) on_replace();
      return EnvWrapper::ReplaceContentsHeld(path, bytes, held);
    }
  };
  for (bool two_entries : {true, false}) {
    MessagingRig<ReplaceHook> rig;
    EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "A"));
    if (two_entries) {
      EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "B"));
    }
    bool fired = false;
    rig.env->on_replace = [&] {
      if (fired) return;
      fired = true;
      rig.root.Append(kQueue, RozHeader("late") + "late\r\n");  // another program
    };
    EXPECT_TRUE(rig.msg->RemoveTopEntry(kQueue));
    EXPECT_TRUE(fired);
    std::string expected = RozHeader("late") + "late\r\n";
    if (two_entries) expected = RozHeader() + "B\r\n" + expected;
    EXPECT_EQ(rig.root.ReadFile(kQueue), expected);
    EXPECT_EQ(TempFiles(rig, kTempFolder), std::vector<std::string>{"STATUS"});  // no claim left
  }
}

TEST(RozQueue, TakeTopGivesBackWhatWasRemoved) {
  MessagingRig rig;
  rig.root.WriteFile(kQueue, "stray\r\n--- h1\r\nA\r\n--- h2\r\nB\r\n");
  messaging::QueueEntry taken;
  EXPECT_TRUE(rig.msg->TakeTop(kQueue, taken));
  EXPECT_EQ(taken.header, "--- h1");
  EXPECT_EQ(taken.text, "A\r\n");
  EXPECT_EQ(taken.junk, "stray\r\n");
  EXPECT_EQ(rig.root.ReadFile(kQueue), "--- h2\r\nB\r\n");
  EXPECT_TRUE(rig.msg->TakeTop(kQueue, taken));
  EXPECT_EQ(taken.text, "B\r\n");
  EXPECT_TRUE(rig.msg->TakeTop(kQueue, taken));
  EXPECT_EQ(taken, messaging::QueueEntry{});
}

#ifndef _WIN32
// A taker that dies right after it handed the top entry on to another queue,
// before it could mark the entry handled: the next claim takes the entry off
// when its bytes stand in the other queue where the dead taker noted them,
// and leaves it (to be handed on once more) when they do not.
TEST(RozClaim, AnEntryAKilledTakerHandedOnIsNotHandedOnTwice) {
  const std::string target = "C:\\ORB\\CAROB\\target.POF";
  struct Case {
    bool noted;           // the taker said it was handing the entries on
    bool taken_meanwhile; // the other queue's own taker emptied it since
    size_t moved;         // entries handed on: one, or a run in one write
    const char* top_after;
  };
  for (const Case& c : {Case{true, false, 1, "second\r\n"}, Case{true, true, 1, "first\r\n"},
                        Case{false, false, 1, "first\r\n"}, Case{true, false, 2, "third\r\n"}}) {
    SCOPED_TRACE(::testing::Message() << c.noted << c.taken_meanwhile << c.moved);
    MessagingRig rig;
    for (const char* text : {"first", "second", "third"}) {
      EXPECT_TRUE(rig.msg->AppendEntry(kQueue, text));
    }
    const pid_t taker = ::fork();
    if (taker == 0) {  // claims, hands on, and dies holding its claim
      const bool claimed = rig.msg->ClaimQueue(kQueue).ok();
      if (c.noted) rig.msg->HandingOn(0, c.moved);
      std::vector<messaging::QueueEntry> run = rig.msg->ClaimedEntries();
      run.resize(c.moved);
      const bool sent = c.moved == 1 ? rig.msg->AppendEntry(target, run[0].text).ok()
                                     : rig.msg->AppendEntries(target, run).ok();
      ::_exit(claimed && sent ? 0 : 1);
    }
    ASSERT_EQ(WaitExit(taker), 0);
    ASSERT_EQ(ParseQueue(rig.root.ReadFile(target)).size(), c.moved);
    if (c.taken_meanwhile) rig.root.WriteFile(target, "");
    ASSERT_TRUE(rig.msg->ClaimQueue(kQueue));
    EXPECT_EQ(rig.msg->ClaimedTop().text, c.top_after);
    EXPECT_TRUE(rig.msg->ReleaseClaim());
    EXPECT_EQ(TempFiles(rig, kTempFolder), std::vector<std::string>{"STATUS"});  // no claim left
  }
  // A planted dead claim whose notes point past the end of the other queue,
  // and name a run of entries longer than the bytes that stand there.
  MessagingRig rig;
  EXPECT_TRUE(rig.msg->AppendEntry(kQueue, "first"));
  EXPECT_TRUE(rig.msg->AppendEntry(target, "other"));
  const auto other = rig.env->FindFile(target);
  ASSERT_TRUE(other.has_value());
  const std::string bytes = rig.root.ReadFile(target);
  uint64_t fnv = 14695981039346656037ULL;  // FNV-1a of the bytes, as the note carries it
  for (unsigned char ch : bytes) fnv = (fnv ^ ch) * 1099511628211ULL;
  char checksum[17];
  std::snprintf(checksum, sizeof checksum, "%016llx", static_cast<unsigned long long>(fnv));
  const std::string identity = std::to_string(other->device) + ":" + std::to_string(other->inode);
  rig.root.WriteFile("C:\\TEMP\\ROZ.q.POF.1.TMP",
                     Lines({std::string("--- ROZ take of ") + kQueue, "--- file none",
                            "--- sent 0 " + identity + " 18446744073709551615 9 0 " + target,
                            "--- sent 0-18446744073709551615 " + identity + " 0 " +
                                std::to_string(bytes.size()) + " " + checksum + " " + target}));
  ASSERT_TRUE(rig.msg->ClaimQueue(kQueue));
  EXPECT_EQ(rig.msg->ClaimedTop().text, "first\r\n");
  EXPECT_TRUE(rig.msg->ReleaseClaim());
}
#endif

#ifndef _WIN32  // the taker is a POSIX program
// Claims as a network share shows them: a holder is never seen (kUnknown),
// locks are not seen everywhere, and a lock file that nobody holds here is
// not adopted, since another computer may hold it.
struct ClaimsOnAShare : platform::EnvWrapper {
  using EnvWrapper::EnvWrapper;
  platform::LockState ProbeLock(const std::string& path) override {
    const platform::LockState seen = EnvWrapper::ProbeLock(path);
    return seen == platform::LockState::kAbsent ? seen : platform::LockState::kUnknown;
  }
  bool LocksSeenEverywhere(const std::string&) override { return false; }
  platform::Status AdoptLock(const std::string& path,
                             std::unique_ptr<platform::LockFile>* hold) override {
    hold->reset();
    return platform::Status::FromErrno("cannot hold lock " + path, EWOULDBLOCK);
  }
};

// A taker process that claimed the queue and handed its top entry on is
// killed, or lives on. Where its hold cannot be seen, a claim that names an
// ended process of this computer is recovered (the entry it handed on is
// not handed on again); one whose maker lives, or was on another computer,
// stays held, and the queue as it was.
TEST(RozQueue, AnUnseenClaimIsRecoveredOnlyWhenItsMakerEndedHere) {
  struct Case {
    const char* what;
    const char* computer;  // the taker's computer name; "" for this one
    bool killed;
    bool recovered;
  };
  const Case cases[] = {
      {"maker here, ended", "", true, true},
      {"maker here, living", "", false, false},
      {"maker on another computer, ended", "elsewhere-host", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessagingRig<ClaimsOnAShare> rig;
    ASSERT_TRUE(rig.msg->AppendEntry(kQueue, "A"));
    ASSERT_TRUE(rig.msg->AppendEntry(kQueue, "B"));
    const std::string before = rig.root.ReadFile(kQueue);
    std::vector<std::string> argv = {kBinDir + "/messaging_test_taker", rig.root.path(), kQueue};
    if (*c.computer) argv.push_back(c.computer);
    Process taker(Launch{argv, {}, false, 60});
    ASSERT_EQ(taker.ReadLine(), "claimed") << taker.Err();
    if (c.killed) taker.Kill();
    bool busy = false;
    platform::Status claimed = rig.msg->ClaimQueue(kQueue, &busy);
    if (c.recovered) {
      ASSERT_TRUE(claimed) << claimed.message();
      EXPECT_EQ(rig.msg->ClaimedTop().text, "B\r\n");  // A is not handed on again
      EXPECT_TRUE(rig.msg->ReleaseClaim());
      EXPECT_EQ(rig.root.ReadFile(kQueue), RozHeader() + "B\r\n");
      EXPECT_EQ(TempFiles(rig, kTempFolder), std::vector<std::string>{"STATUS"});  // no claim left
    } else {
      EXPECT_FALSE(claimed);
      EXPECT_TRUE(busy);
      EXPECT_EQ(claimed.message(), "cannot claim " + kQueue + ": another program is taking from it");
      EXPECT_EQ(rig.root.ReadFile(kQueue), before);
      EXPECT_EQ(TempFiles(rig, kTempFolder).size(), 2u);  // STATUS and the claim
    }
  }
}

// Where holds cannot be seen, a claim that names this very process as its
// maker is waited for while a taker of this process holds it, and finished
// when none does: left behind by a release that could not finish its work,
// it would otherwise be waited for for ever.
TEST(RozQueue, ThisProcessWaitsForItsHeldClaimAndFinishesOneItLeft) {
  MessagingRig<ClaimsOnAShare> rig;
  ASSERT_TRUE(rig.msg->AppendEntry(kQueue, "A"));
  messaging::Messaging* first = rig.msg;
  messaging::Messaging* second = rig.AddMessaging().msg;
  ASSERT_TRUE(first->ClaimQueue(kQueue));
  bool busy = false;
  EXPECT_FALSE(second->ClaimQueue(kQueue, &busy));
  EXPECT_TRUE(busy);
  const std::string claim = std::string(kTempFolder) + "\\ROZ.q.POF.1.TMP";
  const std::string left = rig.root.ReadFile(claim);
  ASSERT_NE(left.find("--- maker " + std::to_string(::getpid()) + " "), std::string::npos) << left;
  ASSERT_TRUE(first->ReleaseClaim());
  rig.root.WriteFile(claim, left);
  platform::Status claimed = second->ClaimQueue(kQueue, &busy);
  ASSERT_TRUE(claimed) << claimed.message();
  EXPECT_EQ(second->ClaimedTop().text, "A\r\n");
  EXPECT_TRUE(second->ReleaseClaim());
  EXPECT_EQ(TempFiles(rig, kTempFolder), std::vector<std::string>{"STATUS"});
}
#endif

}  // namespace
}  // namespace carob::testing
