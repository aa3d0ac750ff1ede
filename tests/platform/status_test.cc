// The checked result: its wording for the operating system's causes and our
// own, and the causes the POSIX Env reports for common failures.
#include "platform/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/env.h"
#include "tests/support/world.h"

namespace carob::platform {
namespace {

using testing::MakeTestEnv;
using testing::TempRoot;

TEST(StatusTest, MessagesNameTheActionAndItsCause) {
  struct Case {
    Status status;
    int error;
    std::string message;
  };
  const Case cases[] = {
      {Status::Ok(), 0, ""},
      {Status::FromErrno("cannot write C:\\x\\y.dat", EROFS), EROFS,
       "cannot write C:\\x\\y.dat: read-only file system"},
      {Status::FromErrno("cannot write C:\\x\\y.dat", ENOSPC), ENOSPC,
       "cannot write C:\\x\\y.dat: no space left on device"},
      {Status::FromErrno("cannot rename C:\\a to C:\\b", EEXIST), EEXIST,
       "cannot rename C:\\a to C:\\b: file exists"},
      {Status::FromErrno("cannot open C:\\q", ENOENT), ENOENT,
       "cannot open C:\\q: no such file or directory"},
      {Status::FromErrno("cannot open C:\\q", 0), 0, "cannot open C:\\q: unknown error"},
      {Status::Failure("cannot set key", "the key holds a line break"), 0,
       "cannot set key: the key holds a line break"},
      {Status::FromErrno("cannot open C:\\x\\y.dat for writing", EACCES).As("cannot write C:\\x\\y.dat"),
       EACCES, "cannot write C:\\x\\y.dat: permission denied"},
      {Status::Ok().As("cannot write C:\\x"), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.status.ok(), c.message.empty());
    EXPECT_EQ(static_cast<bool>(c.status), c.message.empty());
    EXPECT_EQ(c.status.error(), c.error);
    EXPECT_EQ(c.status.message(), c.message);
  }
}

TEST(StatusTest, EnvFailuresCarryTheirCause) {
  TempRoot root;
  root.WriteFile("C:\\ORB\\k.dat", "a=b\r\n");
  root.WriteFile("C:\\ORB\\taken", "");
  root.MakeFolder("C:\\ORB\\Folder");
  auto env = MakeTestEnv(root);
  std::unique_ptr<File> file;
  std::unique_ptr<LockFile> lock;
  std::string bytes;
  struct Case {
    Status status;
    int error;
    std::string what;
  };
  const Case cases[] = {
      {env->Open("C:\\ORB\\none", OpenMode::kRead, &file), ENOENT,
       "cannot open C:\\ORB\\none for reading"},
      {env->Open("C:\\Missing\\k.dat", OpenMode::kAppend, &file), ENOENT,
       "cannot open C:\\Missing\\k.dat for writing"},
      {env->Open("C:\\ORB\\Folder", OpenMode::kRead, &file), EISDIR,
       "cannot open C:\\ORB\\Folder for reading"},
      {env->ReadAll("C:\\ORB\\none", bytes), ENOENT, "cannot read C:\\ORB\\none"},
      {env->Rename("C:\\ORB\\k.dat", "C:\\ORB\\taken"), EEXIST,
       "cannot rename C:\\ORB\\k.dat to C:\\ORB\\taken"},
      {env->Delete("C:\\ORB\\Folder"), EISDIR, "cannot delete C:\\ORB\\Folder"},
      {env->ReplaceContents("C:\\Missing\\k.dat", "x"), ENOENT, "cannot replace C:\\Missing\\k.dat"},
      {env->TryLock("C:\\ORB\\taken", &lock), EEXIST, "cannot create lock C:\\ORB\\taken"},
      {env->BreakLock("C:\\ORB\\none"), ENOENT, "cannot break lock C:\\ORB\\none"},
      {env->AdoptLock("C:\\ORB\\none", &lock), ENOENT, "cannot hold lock C:\\ORB\\none"},
      {env->StartProgram("C:\\ORB\\none.EXE", 0), ENOENT, "cannot start C:\\ORB\\none.EXE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.status);
    EXPECT_EQ(c.status.error(), c.error);
    EXPECT_EQ(c.status.what(), c.what);
  }
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(lock, nullptr);
  EXPECT_EQ(root.ReadFile("C:\\ORB\\k.dat"), "a=b\r\n");  // the refused rename moved nothing

  // A file opened for reading refuses writes, naming the file.
  ASSERT_TRUE(env->Open("C:\\ORB\\k.dat", OpenMode::kRead, &file));
  Status write = file->Write("x");
  EXPECT_EQ(write.error(), EBADF);
  EXPECT_EQ(write.what(), "cannot write C:\\ORB\\k.dat");
}

}  // namespace
}  // namespace carob::platform
