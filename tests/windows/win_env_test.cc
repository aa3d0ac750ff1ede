// What the Windows platform does by the system's own rules, with real
// processes: a swap file's living holder cannot be broken, a dead holder's
// can, an adopted hold keeps it from being broken and leaves it; a queue
// taken while a reader has it open; a program started with a window style.
// Beside them, the open files' closes, reads and grouped syncs.
#include <windows.h>
#include <tlhelp32.h>
#undef Yield
#undef MessageBox

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/text.h"

#include "tests/support/file_reads.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

const std::string kWriter = kBinDir + "/databank_test_writer";
const std::string kSwap = "C:\\TEMP\\DSP.data.k.dat.TMP";

TEST(WindowsLocks, LivingHolderIsNeverBrokenDeadHolderIsAndAnAdoptedHoldLeavesTheFile) {
  World w;
  auto env = w.NewEnv();
  Process holder({kWriter, w.root.path(), "holdforever", kSwap});
  ASSERT_EQ(holder.ReadLine(), "locked") << holder.Err();

  std::unique_ptr<platform::LockFile> lock;
  EXPECT_EQ(env->ProbeLock(kSwap), platform::LockState::kHeld);
  EXPECT_EQ(env->TryLock(kSwap, &lock).error(), EEXIST);
  EXPECT_EQ(env->BreakLock(kSwap).error(), EWOULDBLOCK);
  EXPECT_EQ(env->AdoptLock(kSwap, &lock).error(), EWOULDBLOCK);
  EXPECT_EQ(env->Delete(kSwap).error(), EWOULDBLOCK);
  EXPECT_TRUE(w.root.Exists(kSwap));
  EXPECT_TRUE(env->ProcessAlive(holder.pid()));

  holder.Kill();
  EXPECT_FALSE(env->ProcessAlive(holder.pid()));
  EXPECT_EQ(env->ProbeLock(kSwap), platform::LockState::kUnheld);
  ASSERT_TRUE(env->AdoptLock(kSwap, &lock));
  // Held again, by us: another program cannot break it meanwhile.
  auto other = w.NewEnv();
  EXPECT_EQ(other->ProbeLock(kSwap), platform::LockState::kHeld);
  EXPECT_EQ(other->BreakLock(kSwap).error(), EWOULDBLOCK);
  EXPECT_FALSE(lock->Write("x").ok());
  lock->Release();
  EXPECT_TRUE(w.root.Exists(kSwap));
  EXPECT_TRUE(other->BreakLock(kSwap));
  EXPECT_EQ(other->ProbeLock(kSwap), platform::LockState::kAbsent);

  // Our own lock: written while held, gone on release.
  ASSERT_TRUE(env->TryLock(kSwap, &lock));
  EXPECT_TRUE(lock->Write("old contents"));
  EXPECT_EQ(other->ProbeLock(kSwap), platform::LockState::kHeld);
  EXPECT_EQ(w.root.ReadFile(kSwap), "old contents");
  lock->Release();
  EXPECT_FALSE(w.root.Exists(kSwap));
}

TEST(WindowsFiles, AQueueIsReplacedWhileItsTakerAndAReaderHaveItOpen) {
  World w;
  auto env = w.NewEnv();
  const std::string queue = "C:\\TEMP\\q.POF";
  w.root.WriteFile(queue, "old");
  std::unique_ptr<platform::File> taker, reader;
  ASSERT_TRUE(env->OpenLocked(queue, platform::OpenMode::kRead, &taker));
  ASSERT_TRUE(env->Open(queue, platform::OpenMode::kRead, &reader));
  std::unique_ptr<platform::LockFile> rebuilt;
  ASSERT_TRUE(env->ReplaceContentsHeld(queue, "new", &rebuilt));
  EXPECT_TRUE(rebuilt->Write("+more"));
  EXPECT_EQ(w.root.ReadFile(queue), "new+more");
  std::string line;
  ASSERT_TRUE(reader->ReadLine(line));
  EXPECT_EQ(line, "old");  // the old file, still open, as it was
  rebuilt.reset();
  taker.reset();
  reader.reset();
  // Nothing left beside it: the old file went with its last reader.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator("C:\\TEMP")) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
  EXPECT_TRUE(env->ReplaceContents(queue, "plain"));
  EXPECT_EQ(w.root.ReadFile(queue), "plain");
}

TEST(WindowsFiles, CloseFlushesWhatWasWrittenOnceAndRepeatsItsAnswer) {
  World w;
  auto env = w.NewEnv();
  const std::string path = "C:\\TEMP\\log.txt";
  std::unique_ptr<platform::File> f;
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kAppend, &f));
  ASSERT_TRUE(f->Write("one\r\n"));
  ASSERT_TRUE(f->Write("two\r\n"));
  EXPECT_TRUE(f->Close());
  EXPECT_TRUE(f->Close());
  // Closed: nothing more goes through it.
  EXPECT_EQ(f->Write("three\r\n").error(), EBADF);
  f.reset();
  EXPECT_EQ(w.root.ReadFile(path), "one\r\ntwo\r\n");

  // A file only read is just closed.
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kRead, &f));
  std::string line;
  ASSERT_TRUE(f->ReadLine(line));
  EXPECT_EQ(line, "one");
  EXPECT_TRUE(f->Close());
  EXPECT_TRUE(f->Close());

  // Random access, and an append handle cut back.
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kReadWrite, &f));
  ASSERT_TRUE(f->WriteAt(0, 'O'));
  EXPECT_TRUE(f->Close());
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kAppend, &f));
  ASSERT_TRUE(f->Write("three\r\n"));
  ASSERT_TRUE(f->Truncate(5));
  EXPECT_TRUE(f->Close());
  f.reset();
  EXPECT_EQ(w.root.ReadFile(path), "One\r\n");
}

TEST(WindowsFiles, ReadsAtAnOffsetAndSizeSayHowTheyEnded) {
  World w;
  auto env = w.NewEnv();
  const std::string path = "C:\\TEMP\\data.txt";
  w.root.WriteFile(path, "0123456789");
  std::unique_ptr<platform::File> f;
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kRead, &f));
  int64_t size = -1;
  ASSERT_TRUE(f->Size(size));
  EXPECT_EQ(size, 10);
  ASSERT_NO_FATAL_FAILURE(ExpectReadsAt(*f, {{3, 4, "3456"}, {8, 100, "89"}, {10, 5, ""}, {50, 5, ""}}));
  std::string line;
  ASSERT_TRUE(f->ReadLine(line));
  EXPECT_EQ(line, "0123456789");
  EXPECT_FALSE(f->ReadLine(line));
  EXPECT_TRUE(f->status());
}

TEST(WindowsFiles, AFileCutBackAfterItWasOpenedEndsWhereItEndsNow) {
  World w;
  auto env = w.NewEnv();
  const std::string path = "C:\\TEMP\\cut.txt";
  w.root.WriteFile(path, "first\r\n" + std::string(200000, 'x') + "\r\n");
  std::unique_ptr<platform::File> reader, cutter;
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kRead, &reader));
  ASSERT_TRUE(env->Open(path, platform::OpenMode::kReadWrite, &cutter));
  ASSERT_TRUE(cutter->Truncate(7));
  std::string line;
  ASSERT_TRUE(reader->ReadLine(line));
  EXPECT_EQ(line, "first");
  EXPECT_FALSE(reader->ReadLine(line));
  EXPECT_TRUE(reader->status()) << reader->status().message();
  std::string all;
  EXPECT_TRUE(env->ReadAll(path, all));
  EXPECT_EQ(all, "first\r\n");
}

TEST(WindowsFiles, GroupedSyncsAreMadeAtTheSyncPoint) {
  World w;
  auto env = w.NewEnv();
  env->GroupSyncs(true);
  std::unique_ptr<platform::File> f;
  ASSERT_TRUE(env->Open("C:\\TEMP\\a.txt", platform::OpenMode::kAppend, &f));
  ASSERT_TRUE(f->Write("a\r\n"));
  EXPECT_TRUE(f->Close());
  ASSERT_TRUE(env->ReplaceContents("C:\\TEMP\\b.txt", "b\r\n"));
  ASSERT_TRUE(env->ReplaceContents("C:\\TEMP\\b.txt", "bb\r\n"));
  ASSERT_TRUE(env->Rename("C:\\TEMP\\b.txt", "C:\\TEMP\\c.txt"));
  // Gone before the sync point: nothing is left of it to sync.
  ASSERT_TRUE(env->ReplaceContents("C:\\TEMP\\d.txt", "d\r\n"));
  ASSERT_TRUE(env->Delete("C:\\TEMP\\d.txt"));
  EXPECT_TRUE(env->SyncGrouped());
  EXPECT_TRUE(env->SyncGrouped());
  EXPECT_EQ(w.root.ReadFile("C:\\TEMP\\a.txt"), "a\r\n");
  EXPECT_EQ(w.root.ReadFile("C:\\TEMP\\c.txt"), "bb\r\n");
  EXPECT_FALSE(w.root.Exists("C:\\TEMP\\b.txt"));

  ASSERT_TRUE(env->Open("C:\\TEMP\\a.txt", platform::OpenMode::kAppend, &f));
  ASSERT_TRUE(f->Write("more\r\n"));
  EXPECT_TRUE(f->Close());
  env->GroupSyncs(false);
  EXPECT_TRUE(env->SyncGrouped());
  EXPECT_EQ(w.root.ReadFile("C:\\TEMP\\a.txt"), "a\r\nmore\r\n");
  // Not grouped: the rename still never replaces a file.
  EXPECT_EQ(env->Rename("C:\\TEMP\\a.txt", "C:\\TEMP\\c.txt").error(), EEXIST);
  // Nothing left beside them.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator("C:\\TEMP")) files += e.is_regular_file();
  EXPECT_EQ(files, 2);
}

TEST(WindowsLocks, SyncFlushesOurOwnLockAndTheHeldReplacementButNotAnAdoptedHold) {
  World w;
  auto env = w.NewEnv();
  std::unique_ptr<platform::LockFile> lock;
  ASSERT_TRUE(env->TryLock(kSwap, &lock));
  ASSERT_TRUE(lock->Write("notes"));
  EXPECT_TRUE(lock->Sync());
  EXPECT_EQ(w.root.ReadFile(kSwap), "notes");
  lock.reset();  // dropped without a release: the file stays, unheld
  ASSERT_TRUE(env->AdoptLock(kSwap, &lock));
  EXPECT_EQ(lock->Sync().error(), EBADF);
  lock->Release();
  EXPECT_EQ(lock->Sync().error(), EBADF);

  const std::string queue = "C:\\TEMP\\q.POF";
  std::unique_ptr<platform::LockFile> rebuilt;
  ASSERT_TRUE(env->ReplaceContentsHeld(queue, "new", &rebuilt));
  ASSERT_TRUE(rebuilt->Write("+more"));
  EXPECT_TRUE(rebuilt->Sync());
  EXPECT_EQ(w.root.ReadFile(queue), "new+more");
}

// Ends every process whose executable lies in `folder`; how many it ended.
int EndProcessesIn(const std::string& folder) {
  int ended = 0;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
    HANDLE p = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                             entry.th32ProcessID);
    if (p == nullptr) continue;
    char path[MAX_PATH] = {};
    DWORD size = sizeof path;
    if (::QueryFullProcessImageNameA(p, 0, path, &size) &&
        platform::EqualsNoCase(std::string(path, size).substr(0, folder.size() + 1), folder + "\\")) {
      ::TerminateProcess(p, 1);
      ::WaitForSingleObject(p, 10000);
      ++ended;
    }
    ::CloseHandle(p);
  }
  ::CloseHandle(snapshot);
  return ended;
}

TEST(WindowsProcesses, StartProgramStartsTheRecordedExecutableWithoutWaiting) {
  Computer pc;
  // Recorded upper-cased, as the registry records programs; started
  // minimized without the focus.
  EXPECT_TRUE(pc.env->StartProgram("C:\\ORB\\CAROB\\CAROB.EXE", 6));
  EXPECT_TRUE(WaitUntil([&] { return pc.StatusValue("CAROB running") == "Yes"; }));
  EXPECT_EQ(EndProcessesIn("C:\\ORB\\CAROB"), 1);
  EXPECT_EQ(pc.env->StartProgram("C:\\ORB\\NONE\\NONE.EXE", 1).error(), ENOENT);
}

}  // namespace
}  // namespace carob::testing
