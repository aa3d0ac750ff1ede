// orb over a disk that fails under it: reads that fail or end too soon,
// closes that report a lost write, syncs and renames that fail, made by the
// preloaded fault library (tests/support/fault_preload.c) in the real
// program. Whatever fails, a queue or databank is afterwards byte for byte
// what it was, or exactly what the command was to make of it, and the exit
// code says which; nothing is lost, doubled or cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/disk_fault.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

const char kReads[] = "read,pread";

// ---------------------------------------------------------------------------
// The fault library itself, seen through programs that make one kind of call.

// What the probe printed for one call after another (see fault_probe.c),
// with the file "hello world" read four bytes at a time.
TEST(FaultLibrary, FailsExactlyTheCallsItIsToldTo) {
  struct Case {
    const char* name;
    std::vector<std::string> probe;  // after the probe's path; "F" is the file
    DiskFault fault;
    std::string out;
    int failed;      // calls the log names as failed
    char mode = 0;   // the mode the log gives every call; 0: not looked at
  };
  const std::vector<Case> cases = {
      {"nothing fails while it traces", {"read", "F", "4"}, {"read", "f.txt", 0, 0}, "4 4 3 0\n", 0},
      {"one read fails, the next goes on", {"read", "F", "4"}, {"read", "f.txt", 1, 1}, "4 EIO 4 3 0\n", 1},
      {"every read fails", {"read", "F", "4"}, {"read", "f.txt", 0, -1},
       "EIO EIO EIO EIO EIO EIO EIO EIO\n", 8},
      {"two early ends of file", {"read", "F", "4"}, {"read", "f.txt", 1, 2, "EOF"}, "4 0 0 4 3 0\n", 2},
      {"a positioned read fails with a chosen error", {"pread", "F", "4"},
       {"pread", "f.txt", 2, 1, "EDQUOT"}, "4 4 EDQUOT 3 0\n", 1},
      {"positioned reads end too soon from then on", {"pread", "F", "4"}, {"pread", "f.txt", 2, -1, "EOF"},
       "4 4 0 0 0 0 0 0\n", 6},
      {"a number names the error", {"read", "F", "4"}, {"read", "f.txt", 0, 1, "28"}, "ENOSPC 4 4 3 0\n", 1},
      {"another file is left alone", {"read", "F", "4"}, {"read", "other.txt", 0, -1}, "4 4 3 0\n", 0},
      {"another call is left alone", {"read", "F", "4"}, {"pread,close", "f.txt", 0, -1}, "4 4 3 0\n", 0},
      {"a close that fails still closes", {"close", "F"}, {"close", "f.txt", 0, -1}, "EIO closed\n", 1},
      {"a close that fails with the quota", {"close", "F"}, {"close", "f.txt", 0, -1, "EDQUOT"},
       "EDQUOT closed\n", 1},
      {"fsync fails", {"fsync", "F"}, {"fsync", "f.txt", 0, -1, "ENOSPC"}, "ENOSPC\n", 1},
      {"fdatasync fails as fsync", {"fdatasync", "F"}, {"fsync", "f.txt", 0, -1}, "EIO\n", 1, 'w'},
      {"fdatasync fails alone", {"fdatasync", "F"}, {"fdatasync", "f.txt", 0, -1}, "EIO\n", 1},
      {"fsync is not fdatasync", {"fsync", "F"}, {"fdatasync", "f.txt", 0, -1}, "0\n", 0},
      {"a folder's fsync is traced as a folder's", {"fsync", "D"}, {"fsync", "carob-test-", 0, 0},
       "0\n", 0, 'd'},
      {"a folder's fsync fails", {"fsync", "D"}, {"fsync", "carob-test-", 0, -1}, "EIO\n", 1, 'd'},
      {"a rename fails and moves nothing", {"rename", "F", "G"}, {"rename", "g.txt", 0, -1}, "EIO\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot dir;
    const std::string file = dir.path() + "/f.txt", moved = dir.path() + "/g.txt";
    std::ofstream(file, std::ios::binary) << "hello world";
    std::vector<std::string> argv{kFaultProbe};
    for (const std::string& a : c.probe) {
      argv.push_back(a == "F" ? file : a == "G" ? moved : a == "D" ? dir.path() : a);
    }
    FaultedRun run = RunWithDiskFault({argv, {}}, c.fault);
    EXPECT_EQ(run.ran.code, 0) << run.ran.err;
    EXPECT_EQ(run.ran.out, c.out);
    EXPECT_EQ(run.Failed(), c.failed);
    EXPECT_TRUE(c.mode == 0 || !run.calls.empty());
    for (const FaultCall& call : run.calls) {
      EXPECT_NE(call.path.find(c.fault.path), std::string::npos);
      EXPECT_TRUE(c.mode == 0 || call.mode == c.mode) << call.mode << " " << call.path;
    }
    EXPECT_EQ(ReadNative(file), "hello world");
    EXPECT_FALSE(std::filesystem::exists(moved));
  }
}

// ---------------------------------------------------------------------------
// The family's files.

const char kQueue[] = "C:\\ORB\\Q\\q.POF";
const char kQueueFile[] = "/ORB/Q/q.POF";  // a piece of its real path
const char kBank[] = "C:\\data\\k.dat";
const char kBankFile[] = "/data/k.dat";
const char kBankReplacement[] = "/data/.k.dat.";  // the new databank built beside it

// Ten entries of two lines each, as the family appends them.
std::vector<std::string> TenEntries() {
  std::vector<std::string> out;
  for (int i = 1; i <= 10; ++i) {
    char n[8];
    std::snprintf(n, sizeof n, "%02d", i);
    out.push_back(RozEntry(std::string("entry ") + n + "\r\nsecond line of " + n,
                           std::string("12-07-2026 08:29:") + n));
  }
  return out;
}

// The entries from the `from`th on, as the file holds them.
std::string Joined(const std::vector<std::string>& entries, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < entries.size(); ++i) out += entries[i];
  return out;
}

// What `orb take` prints of an entry: its lines after the header.
std::string TextOf(const std::string& entry) { return entry.substr(entry.find("\r\n") + 2); }

// A databank of ten keys.
std::string TenKeys() {
  std::string out;
  for (int i = 1; i <= 10; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "key%02d=value %02d\r\n", i, i);
    out += line;
  }
  return out;
}

// A fresh family root holding the queue and the databank; orb is run from
// the build folder.
struct Family {
  Family() {
    root.WriteFile("C:\\FileLoc", "Temporary path=C:\\TEMP\r\n");
    root.MakeFolder(kTempFolder);
    root.WriteFile(kQueue, Joined(TenEntries()));
    root.WriteFile(kBank, TenKeys());
  }
  Launch Orb(std::vector<std::string> args) const {
    args.insert(args.begin(), kBinDir + "/orb");
    return InRoot(root, std::move(args));
  }
  // The names in the databank's folder: only the databank, when no new
  // file was left beside it.
  std::set<std::string> BankFolder() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root.Native("C:\\data"))) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  TempRoot root;
};

// The matching calls `orb args` makes on a fresh family where nothing fails.
std::vector<FaultCall> Traced(const std::vector<std::string>& args, const DiskFault& fault) {
  Family f;
  return TraceCalls(f.Orb(args), fault);
}

// `fault` placed on the first close of a descriptor open for writing.
DiskFault AtTheWrittenClose(const std::vector<std::string>& args, DiskFault fault) {
  fault.skip = -1;
  for (const FaultCall& c : Traced(args, fault)) {
    if (c.mode == 'w') {
      fault.skip = c.n;
      break;
    }
  }
  fault.times = 1;
  return fault;
}

std::string Describe(const DiskFault& f) {
  return f.calls + " of " + f.path + ": " + f.error + " after " + std::to_string(f.skip) + ", " +
         (f.times < 0 ? std::string("from then on") : std::to_string(f.times) + " time(s)");
}

// Whether the fault of `run` fired; a failure is added when it never did.
bool Fired(const FaultedRun& run) {
  if (run.Failed() > 0) return true;
  ADD_FAILURE() << "the fault never fired";
  return false;
}

// ---------------------------------------------------------------------------
// orb take: the top entry is printed and gone, or neither.

TEST(OrbTakeOnAFailingDisk, PrintsAndRemovesTheTopEntryOrDoesNeither) {
  const std::vector<std::string> entries = TenEntries();
  const std::string queue = Joined(entries);
  const size_t reads = Traced({"take", kQueue}, {kReads, kQueueFile}).size();
  ASSERT_GE(reads, 2u) << "a take reads the queue at least to find the entry and to rebuild it";
  std::vector<DiskFault> faults;
  for (int k = 0; k < static_cast<int>(reads); ++k) {
    faults.push_back({kReads, kQueueFile, k, -1, "EIO"});
    faults.push_back({kReads, kQueueFile, k, 1, "EIO"});
    faults.push_back({kReads, kQueueFile, k, 2, "EOF"});
  }
  faults.push_back({kReads, kQueueFile, 0, -1, "EOF"});
  std::string all;
  for (const std::string& e : entries) all += TextOf(e);

  for (const DiskFault& fault : faults) {
    SCOPED_TRACE(Describe(fault));
    Family f;
    FaultedRun run = RunWithDiskFault(f.Orb({"take", kQueue}), fault);
    if (!Fired(run)) continue;
    const std::string after = f.root.ReadFile(kQueue);
    if (run.ran.code == 0) {
      EXPECT_EQ(run.ran.out, TextOf(entries[0]));
      EXPECT_EQ(after, Joined(entries, 1)) << "exit 0, yet the queue is not the other nine entries";
    } else {
      EXPECT_EQ(run.ran.code, 1);
      EXPECT_EQ(run.ran.out, "") << "an entry was printed by a take that failed";
      EXPECT_TRUE(run.ran.err.starts_with("orb take: ") && run.ran.err.size() > 12) << run.ran.err;
      EXPECT_EQ(after, queue) << "a failed take changed the queue";
    }
    // On a sound disk again, takes hand out the rest in order, each once.
    std::string taken = run.ran.code == 0 ? run.ran.out : "";
    for (int i = 0; i <= 10; ++i) {
      Ran t = testing::Run(f.Orb({"take", kQueue}));
      EXPECT_EQ(t.code, 0) << t.err;
      if (t.out.empty()) break;
      taken += t.out;
    }
    EXPECT_EQ(taken, all);
    EXPECT_EQ(f.root.ReadFile(kQueue), "");
  }
}

// ---------------------------------------------------------------------------
// Reads that are refused: every command that reads a file it cannot read
// fails with exit 1 and the cause, prints nothing as an answer and leaves
// the file as it was.

TEST(OrbReadsOnAFailingDisk, ARefusedReadExitsOneWithTheCause) {
  struct Case {
    std::vector<std::string> args;
    std::string file;       // a piece of the real path of the file whose reads fail
    std::string err_start;  // what standard error starts with
  };
  const std::string status_file = "/TEMP/STATUS";
  const std::vector<Case> cases = {
      {{"query", kBank, "key01"}, kBankFile, "orb query: cannot read C:\\data\\k.dat: "},
      {{"remove", kBank, "key01"}, kBankFile, "orb remove: cannot write C:\\data\\k.dat: "},
      {{"take", kQueue}, kQueueFile, "orb take: "},
      {{"post", kQueue, "one more"}, kQueueFile, "orb post: cannot append to C:\\ORB\\Q\\q.POF: "},
      {{"status"}, status_file, "orb status: cannot read the STATUS databank C:\\TEMP\\STATUS ("},
      // The console's interface file holds what is left from an earlier
      // session: it is read before anything is sent.
      {{"talk", "--wait", "0"}, kQueueFile, "orb talk: cannot read what arrives for you: "},
  };
  for (const char* error : {"EACCES", "EIO"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[0] + std::string(", ") + error);
      Family f;
      f.root.WriteFile(kStatusPath, "CAROB running=No\r\n");
      f.root.WriteFile("C:\\FileLoc", std::string("Temporary path=C:\\TEMP\r\nUser interface=") + kQueue +
                                           "\r\n");
      FaultedRun run = RunWithDiskFault(f.Orb(c.args), {kReads, c.file, 0, -1, error});
      if (!Fired(run)) continue;
      EXPECT_EQ(run.ran.code, 1) << run.ran.err;
      EXPECT_EQ(run.ran.out, "");
      EXPECT_TRUE(run.ran.err.starts_with(c.err_start)) << run.ran.err;
      const std::string cause = error == std::string("EACCES") ? "permission denied" : "input/output error";
      EXPECT_NE(run.ran.err.find(cause), std::string::npos) << run.ran.err;
      EXPECT_EQ(f.root.ReadFile(kQueue), Joined(TenEntries()));
      EXPECT_EQ(f.root.ReadFile(kBank), TenKeys());
    }
  }
}

// ---------------------------------------------------------------------------
// orb dispatch: an entry is handed on exactly once, or still waits.

const char kInput[] = "C:\\ORB\\TOOLS\\RORU PO.input.POF";
const char kInputFile[] = "/RORU PO.input.POF";
const std::vector<std::string> kDestinations = {
    "C:\\ORB\\CAROB\\CAROB.interface.POF",            // delivered
    "C:\\ORB\\TOOLS\\RORU PO.input.pending.POF",      // waiting for Lexwright
    "C:\\ORB\\TOOLS\\RORU PO.input.undeliverable.POF",  // for an unknown computer
};

// A computer whose dispatcher is "hostA" with its input file and CAROB's
// interface file recorded, and ten entries waiting: most for CAROB, some
// for an application with no interface yet, some for an unknown computer.
struct DispatchFamily {
  DispatchFamily() : orb(Install(root, "orb", "C:\\ORB\\TOOLS")) {
    root.WriteFile("C:\\FileLoc", FileLocWithStatus() + Lines({std::string("RORU PO Input=") + kInput,
                                                                "CAROB interface=" + kDestinations[0]}));
    root.WriteFile(kStatusPath, Lines({"Pulse=50", "Local ID=hostA"}));
    root.MakeFolder("C:\\ORB\\CAROB");
    for (int i = 1; i <= 10; ++i) {
      const std::string to = i % 5 == 0 ? "DO Lexwright:" : i % 5 == 3 ? "SENDTO [hostZ] CAROB:" : "DO CAROB:";
      entries.push_back(RozEntry("SET SOURCE = hostB\r\n" + to + Mark(i)));
    }
    root.WriteFile(kInput, Joined(entries));
  }
  static std::string Mark(int i) { return "message-" + std::to_string(100 + i); }
  Launch Dispatch() const { return InRoot(root, {orb, "dispatch", "--once"}); }
  // How often entry `i` stands in the queues it goes to.
  int Handed(int i) const {
    int n = 0;
    for (const std::string& q : kDestinations) {
      for (const QueueEntry& e : ParseQueue(root.ReadFile(q))) {
        n += !e.lines.empty() && e.lines.back().ends_with(Mark(i));
      }
    }
    return n;
  }
  TempRoot root;
  const std::string orb;
  std::vector<std::string> entries;
};

TEST(OrbDispatchOnAFailingDisk, HandsEachEntryOnOnceOrLeavesItWaiting) {
  const size_t reads = [] {
    DispatchFamily d;
    return TraceCalls(d.Dispatch(), {kReads, kInputFile}).size();
  }();
  ASSERT_GE(reads, 3u);
  std::vector<DiskFault> faults;
  // After the first read of the input, from then on or once, at every read
  // of the first entries' turns and a few later ones.
  for (int k = 1; k < static_cast<int>(reads); k += k < 8 ? 1 : 5) {
    faults.push_back({kReads, kInputFile, k, -1, "EIO"});
    faults.push_back({kReads, kInputFile, k, 1, "EIO"});
    if (k < 8) faults.push_back({kReads, kInputFile, k, 2, "EOF"});
  }
  for (const DiskFault& fault : faults) {
    SCOPED_TRACE(Describe(fault));
    DispatchFamily d;
    FaultedRun run = RunWithDiskFault(d.Dispatch(), fault);
    if (!Fired(run)) continue;
    EXPECT_TRUE(run.ran.code == 0 || run.ran.code == 1) << run.ran.code << " " << run.ran.err;
    // The input holds whole entries from some one on, unchanged.
    const std::string left = d.root.ReadFile(kInput);
    size_t first_left = d.entries.size() + 1;
    for (size_t m = 0; m <= d.entries.size(); ++m) {
      if (left == Joined(d.entries, m) || (m == d.entries.size() && left == "<missing>")) first_left = m;
    }
    EXPECT_LE(first_left, d.entries.size()) << "the input is no longer whole entries of it:\n" << left;
    for (int i = 1; i <= 10; ++i) {
      const bool waiting = static_cast<size_t>(i - 1) >= first_left;
      EXPECT_LE(d.Handed(i), 1) << d.Mark(i) << " was handed on twice";
      EXPECT_TRUE(waiting || d.Handed(i) > 0) << d.Mark(i) << " was lost";
    }
    // A turn on a sound disk finishes the work: each entry handed on once.
    Ran again = testing::Run(d.Dispatch());
    EXPECT_EQ(again.code, 0) << again.err;
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(d.Handed(i), 1) << d.Mark(i);
    EXPECT_EQ(d.root.ReadFile(kInput), "");
  }
}

// ---------------------------------------------------------------------------
// orb talk: the console's lines.

// A line whose append to the dispatcher's input fails with an I/O error (a
// share's client stumbles now and then; the failed append left the file as
// it was) is kept and sent again, once; a file that refuses it otherwise
// loses it, as told. The faults fall on the sync of the written input.
TEST(OrbTalkOnAFailingDisk, ALineIsSentAgainAfterAnIOErrorAndOnlyOnce) {
  struct Case {
    const char* name;
    DiskFault fault;
    int code;
    std::vector<std::string> sent;
    std::string err;
  };
  const std::string cannot = "orb talk: cannot send your lines: cannot append to C:\\TEMP\\in.POF: ";
  const std::vector<Case> cases = {
      {"an I/O error, once", {"fdatasync", "in.POF", 0, 1, "EIO"}, 0, {"DO CAROB:one", "DO CAROB:two"},
       cannot + "input/output error; trying again\n"},
      {"I/O errors for a while", {"fdatasync", "in.POF", 0, 6, "EIO"}, 0, {"DO CAROB:one", "DO CAROB:two"},
       cannot + "input/output error; trying again\n"},
      {"a full quota", {"fdatasync", "in.POF", 0, 1, "EDQUOT"}, 1, {"DO CAROB:two"},
       cannot + "disk quota exceeded\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Computer c;
    c.AddStatus("Local ID", "hostA");
    c.AddStatus("RORU PO running", "Yes");
    c.AddStatus("CAROB running", "Yes");
    c.AddFileLoc("RORU PO Input", "C:\\TEMP\\in.POF");
    TempRoot scratch;
    Process talk(WithDiskFault(InRoot(c.root, {c.orb, "talk"}, true), k.fault,
                               scratch.path() + "/fault.log"));
    auto sent = [&] {
      std::vector<std::string> texts;
      for (const EntryLines& e : c.Entries("C:\\TEMP\\in.POF")) {
        if (!e.empty()) texts.push_back(e.back());
      }
      return texts;
    };
    // The second line is given once the first has gone or failed: lines
    // held together go out in one append, and fail together.
    talk.Feed("one\n");
    EXPECT_TRUE(WaitUntil([&] { return !sent().empty() || !talk.Err().empty(); }, 30));
    talk.Feed("two\n");
    // Nobody takes the entries: the console is stopped once they are there,
    // written by an append whose sync passed (a failing one holds its
    // entries in the file for a moment before it takes them back out).
    auto synced = [&] {
      for (const FaultCall& f : ReadFaultLog(scratch.path() + "/fault.log")) {
        if (f.call == "fdatasync" && !f.failed && f.path.find("in.POF") != std::string::npos) return true;
      }
      return false;
    };
    EXPECT_TRUE(WaitUntil([&] { return synced() && sent().size() >= k.sent.size(); }, 30)) << talk.Err();
    talk.Signal(SIGTERM);
    EXPECT_EQ(talk.Wait(60), k.code) << talk.Err();
    EXPECT_EQ(talk.Err(), k.err);
    EXPECT_EQ(sent(), k.sent);
  }
}

// ---------------------------------------------------------------------------
// orb set and orb post: a write that meets a failure leaves the file as it was.

struct Command {
  const char* name;
  std::vector<std::string> args;
};
const Command kInPlace{"a value of the same length, written in place", {"set", kBank, "key05", "other 05"}};
const Command kRebuilt{"a longer value, the databank rebuilt", {"set", kBank, "key05", "a much longer value"}};
const Command kAppended{"a new key, appended", {"set", kBank, "key11", "value 11"}};
const Command kPosted{"an entry posted", {"post", kQueue, "one more entry"}};

void ExpectRefusedAndUnchanged(const Command& command, const DiskFault& fault, std::string err_start = "");

// A databank that is there but cannot be read is no databank without the
// key: orb query exits 1 with the cause, and prints no answer.
TEST(OrbQueryOnAFailingDisk, AReadThatFailsIsNoEmptyAnswer) {
  struct Case {
    DiskFault fault;
    int code;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {{kReads, kBankFile, 0, 0}, 0, "value 05\n", ""},
      {{kReads, kBankFile, 0, -1, "EACCES"}, 1, "",
       "orb query: cannot read C:\\data\\k.dat: permission denied\n"},
      {{kReads, kBankFile, 0, -1, "EIO"}, 1, "",
       "orb query: cannot read C:\\data\\k.dat: input/output error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.fault));
    Family f;
    FaultedRun run = RunWithDiskFault(f.Orb({"query", kBank, "key05"}), c.fault);
    EXPECT_FALSE(run.calls.empty()) << "the databank was never read";
    EXPECT_EQ(run.ran.code, c.code) << run.ran.err;
    EXPECT_EQ(run.ran.out, c.out);
    EXPECT_EQ(run.ran.err, c.err);
    EXPECT_EQ(f.root.ReadFile(kBank), TenKeys());
  }
}

// The databank cannot be read whole: nothing is written.
TEST(OrbSetOnAFailingDisk, ADatabankThatCannotBeReadIsNotWritten) {
  for (const Command& command : {kInPlace, kRebuilt, kAppended}) {
    SCOPED_TRACE(command.name);
    const std::vector<FaultCall> reads = Traced(command.args, {kReads, kBankFile});
    EXPECT_FALSE(reads.empty()) << "the databank was never read";
    std::vector<DiskFault> faults;
    for (const FaultCall& r : reads) {
      faults.push_back({kReads, kBankFile, r.n, -1, "EIO"});
      faults.push_back({kReads, kBankFile, r.n, 1, "EIO"});
      // An end of file twice where bytes stand (once is a short read).
      if (r.result > 0) faults.push_back({kReads, kBankFile, r.n, 2, "EOF"});
    }
    for (const DiskFault& fault : faults) {
      ExpectRefusedAndUnchanged(command, fault, "orb set: cannot write C:\\data\\k.dat: ");
    }
  }
}

// A write made under `fault` is refused (exit 1, the cause named: its error
// starts with `err_start`, by default "orb VERB: cannot ") and both files
// are byte for byte what they were, with no new databank left beside the
// old one.
void ExpectRefusedAndUnchanged(const Command& command, const DiskFault& fault, std::string err_start) {
  SCOPED_TRACE(std::string(command.name) + ", " + Describe(fault));
  if (err_start.empty()) err_start = "orb " + command.args[0] + ": cannot ";
  Family f;
  FaultedRun run = RunWithDiskFault(f.Orb(command.args), fault);
  if (!Fired(run)) return;
  EXPECT_EQ(run.ran.code, 1) << run.ran.err;
  EXPECT_TRUE(run.ran.err.starts_with(err_start)) << run.ran.err;
  EXPECT_EQ(f.root.ReadFile(kBank), TenKeys());
  EXPECT_EQ(f.root.ReadFile(kQueue), Joined(TenEntries()));
  EXPECT_EQ(f.BankFolder(), std::set<std::string>{"k.dat"});
}

// A close that fails says the bytes written may never reach the disk (a
// network file system or a full quota tells so only there): the write is
// refused and undone. So is one whose new databank cannot take its name.
TEST(OrbWritesOnAFailingDisk, AWriteWhoseCloseFailsLeavesTheFileAsItWas) {
  struct Case {
    Command command;
    DiskFault fault;
    bool at_written_close;  // placed on the close of the descriptor written
  };
  std::vector<Case> cases;
  for (const char* error : {"EIO", "EDQUOT"}) {
    cases.push_back({kAppended, {"close", kBankFile, 0, 1, error}, true});
    cases.push_back({kInPlace, {"close", kBankFile, 0, 1, error}, true});
    cases.push_back({kRebuilt, {"close", kBankReplacement, 0, -1, error}, false});
    cases.push_back({kPosted, {"close", kQueueFile, 0, 1, error}, true});
  }
  // Every close of the file fails, that of a reading descriptor too.
  cases.push_back({kAppended, {"close", kBankFile, 0, -1, "EIO"}, false});
  cases.push_back({kPosted, {"close", kQueueFile, 0, -1, "EIO"}, false});
  cases.push_back({kRebuilt, {"rename", kBankFile, 0, -1, "EIO"}, false});
  for (const Case& c : cases) {
    DiskFault fault = c.fault;
    if (c.at_written_close) {
      fault = AtTheWrittenClose(c.command.args, c.fault);
      if (fault.skip < 0) {
        ADD_FAILURE() << c.command.name << ": no descriptor of it was written and closed";
        continue;
      }
    }
    ExpectRefusedAndUnchanged(c.command, fault);
  }
}

// The same when the written bytes cannot be synced to the disk.
TEST(OrbWritesOnAFailingDisk, AWriteThatCannotBeSyncedLeavesTheFileAsItWas) {
  const std::vector<std::pair<Command, DiskFault>> cases = {
      {kRebuilt, {"fsync", kBankReplacement, 0, -1, "EIO"}},
      {kAppended, {"fsync", kBankFile, 0, -1, "ENOSPC"}},
      {kInPlace, {"fsync", kBankFile, 0, -1, "EIO"}},
      {kPosted, {"fsync", kQueueFile, 0, -1, "EDQUOT"}},
  };
  for (const auto& [command, fault] : cases) ExpectRefusedAndUnchanged(command, fault);
}

// ---------------------------------------------------------------------------
// Where a write's bytes are made durable, traced on a sound disk: the file
// written is synced, a new file before it takes the databank's name and
// its folder after that; a new databank's folder is synced too. No write
// pays for more than two syncs.

// The index in `calls` of the first one from `from` on that `is` picks, or -1.
int FirstOf(const std::vector<FaultCall>& calls, const std::function<bool(const FaultCall&)>& is,
            int from = 0) {
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i < calls.size(); ++i) {
    if (is(calls[i])) return static_cast<int>(i);
  }
  return -1;
}

TEST(OrbWritesOnASoundDisk, SyncTheBytesBeforeTheirNameAndTheFolderAfterIt) {
  const Command kRemoved{"a key removed, the databank rebuilt", {"remove", kBank, "key05"}};
  const Command kMade{"a new databank made", {"set", "C:\\data\\new.dat", "key01", "value 01"}};
  struct Case {
    Command command;
    const char* synced;  // a piece of the written file's path
    bool renamed;        // a new file built beside the databank takes its name
    bool made;           // the databank is made by the write: its folder is synced
    const char* key;
    std::optional<std::string> value;  // what the databank then holds under key
  };
  const std::vector<Case> cases = {
      {kAppended, kBankFile, false, false, "key11", "value 11"},
      {kInPlace, kBankFile, false, false, "key05", "other 05"},
      {kRebuilt, kBankReplacement, true, false, "key05", "a much longer value"},
      {kRemoved, kBankReplacement, true, false, "key05", std::nullopt},
      {kMade, "/data/new.dat", false, true, "key01", "value 01"},
  };
  auto is_sync = [](const FaultCall& c) { return c.call == "fsync" || c.call == "fdatasync"; };
  auto is_folder_sync = [&](const FaultCall& c) {
    return is_sync(c) && c.mode == 'd' && c.path.ends_with("/data");
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.name);
    Family f;
    const DiskFault traced{"fsync,fdatasync,rename", "", 0, 0};
    FaultedRun run = RunWithDiskFault(f.Orb(c.command.args), traced);
    ASSERT_EQ(run.ran.code, 0) << run.ran.err;
    EXPECT_EQ(BankValue(f.root.ReadFile(c.command.args[1]), c.key), c.value);
    std::string trace;
    for (const FaultCall& x : run.calls) trace += x.call + " " + x.mode + " " + x.path + "\n";
    SCOPED_TRACE(trace);

    const auto syncs = std::ranges::count_if(run.calls, is_sync);
    EXPECT_GE(syncs, 1);
    EXPECT_LE(syncs, 2) << "a single write syncs more than twice";
    const int data = FirstOf(run.calls, [&](const FaultCall& x) {
      return is_sync(x) && x.mode == 'w' && x.path.find(c.synced) != std::string::npos;
    });
    EXPECT_GE(data, 0) << "the written bytes were never synced";
    const int renamed =
        FirstOf(run.calls, [](const FaultCall& x) { return x.call.starts_with("rename"); });
    EXPECT_TRUE(!c.made || FirstOf(run.calls, is_folder_sync) >= 0)
        << "the new databank's name was not synced";
    if (!c.renamed) {
      EXPECT_EQ(renamed, -1) << "the databank was rebuilt";
      continue;
    }
    ASSERT_GE(renamed, 0) << "no new file took the databank's name";
    const std::string& moved = run.calls[renamed].path;
    EXPECT_TRUE(moved.find(kBankReplacement) != std::string::npos && moved.ends_with(kBankFile))
        << moved;
    if (data >= 0) {
      EXPECT_LT(data, renamed) << "the new file took the name before its bytes were synced";
      EXPECT_EQ(moved.substr(0, moved.find(" -> ")), run.calls[data].path)
          << "a file other than the new one was synced";
    }
    // The folder's sync that makes the new name durable comes after it.
    EXPECT_GE(FirstOf(run.calls, is_folder_sync, renamed + 1), 0)
        << "the databank's folder was not synced after the rename";
  }
}

}  // namespace
}  // namespace carob::testing
