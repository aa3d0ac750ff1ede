#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/env.h"
#include "tests/platform/platform_test_util.h"
#include "tests/support/world.h"

namespace carob::platform {
namespace {

namespace fs = std::filesystem;
using testing::MakeTestEnv;
using testing::ScopedEnvVar;
using testing::TempRoot;
using testing::Locked;
using testing::Opened;

std::unique_ptr<Env> EnvWithProgram(const TempRoot& root, const std::string& program_path) {
  EnvOptions o;
  o.orb_root = root.path();
  o.program_path = program_path;
  return NewPosixEnv(std::move(o));
}

TEST(PathMappingTest, WindowsPathsMapOntoTheRoot) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  const std::string r = root.path();
  EXPECT_EQ(env->ToNative("C:\\FileLoc"), r + "/c/FileLoc");
  EXPECT_EQ(env->ToNative("c:\\ORB\\CAROB\\CAROB.dat"), r + "/c/ORB/CAROB/CAROB.dat");
  EXPECT_EQ(env->ToNative("D:\\x"), r + "/d/x");
  EXPECT_EQ(env->ToNative("C:\\"), r + "/c");
  EXPECT_EQ(env->ToNative("C:\\a\\\\b\\"), r + "/c/a/b");
  EXPECT_EQ(env->ToNative("C:\\a\\..\\b"), r + "/c/b");
  // Drive Z is the native root.
  EXPECT_EQ(env->ToNative("Z:\\usr\\bin"), "/usr/bin");
  EXPECT_EQ(env->ToNative("z:\\tmp\\x"), "/tmp/x");
  EXPECT_EQ(env->ToNative("Z:\\"), "/");
  // Without a drive letter only the separators change.
  EXPECT_EQ(env->ToNative("\\tmp\\x"), "/tmp/x");
  EXPECT_EQ(env->ToNative("sub\\file.txt"), "sub/file.txt");
  EXPECT_EQ(env->ToNative("a\\..\\b\\"), "a/../b/");
  // A drive's path never leads out of the drive's folder.
  EXPECT_EQ(env->ToNative("C:\\..\\..\\etc\\passwd"), r + "/c/etc/passwd");
}

TEST(PathMappingTest, NativePathsAreWrittenWindowsStyle) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  const std::string r = root.path();
  EXPECT_EQ(env->ToWindows(r + "/c/FileLoc"), "C:\\FileLoc");
  EXPECT_EQ(env->ToWindows(r + "/c/ORB/CAROB"), "C:\\ORB\\CAROB");
  EXPECT_EQ(env->ToWindows(r + "/d/x/y.txt"), "D:\\x\\y.txt");
  EXPECT_EQ(env->ToWindows(r + "/c"), "C:\\");
  EXPECT_EQ(env->ToWindows(r + "/c/"), "C:\\");
  EXPECT_EQ(env->ToWindows("/usr/bin"), "Z:\\usr\\bin");
  EXPECT_EQ(env->ToWindows("/"), "Z:\\");
  // Folders of the root that are no drive letters are ordinary native paths.
  std::string expected = "Z:" + r + "/cc/x";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(env->ToWindows(r + "/cc/x"), expected);
  std::string other = env->ToWindows(r + "/cc/x");
  ASSERT_EQ(other.substr(0, 2), "Z:");
  EXPECT_EQ(env->ToNative(other), r + "/cc/x");
  // Both directions agree.
  for (const char* w : {"C:\\FileLoc", "E:\\a b\\c", "Z:\\opt\\x"}) {
    EXPECT_EQ(env->ToWindows(env->ToNative(w)), w);
  }
}

TEST(PathMappingTest, SymlinkedSpellingsOfTheRootAreRecognised) {
  TempRoot outer;
  const std::string real = outer.path() + "/real";
  const std::string link = outer.path() + "/link";
  fs::create_directories(real + "/c/ORB");
  fs::create_directory_symlink(real, link);
  {
    EnvOptions o;
    o.orb_root = link;
    auto env = NewPosixEnv(o);
    EXPECT_EQ(env->ToWindows(real + "/c/ORB"), "C:\\ORB");
    EXPECT_EQ(env->ToWindows(link + "/c/ORB/new.txt"), "C:\\ORB\\new.txt");
  }
  {
    EnvOptions o;
    o.orb_root = real;
    auto env = NewPosixEnv(o);
    EXPECT_EQ(env->ToWindows(link + "/c/ORB"), "C:\\ORB");
  }
}

TEST(PathMappingTest, RootDefaultsFollowTheEnvironment) {
  ScopedEnvVar no_root("ORB_ROOT", std::nullopt);
  {
    ScopedEnvVar xdg("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(NewPosixEnv()->ToNative("C:\\FileLoc"), "/data/home/orb/c/FileLoc");
  }
  {
    ScopedEnvVar xdg("XDG_DATA_HOME", std::nullopt);
    ScopedEnvVar home("HOME", "/home/someone");
    EXPECT_EQ(NewPosixEnv()->ToNative("C:\\FileLoc"), "/home/someone/.local/share/orb/c/FileLoc");
    EXPECT_EQ(NewPosixEnv()->ToWindows("/home/someone/.local/share/orb/c/x"), "C:\\x");
  }
  {
    ScopedEnvVar xdg("XDG_DATA_HOME", "");
    ScopedEnvVar home("HOME", "/h");
    EXPECT_EQ(NewPosixEnv()->ToNative("C:\\a"), "/h/.local/share/orb/c/a");
  }
  {
    ScopedEnvVar root("ORB_ROOT", "/srv/orb/");
    ScopedEnvVar xdg("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(NewPosixEnv()->ToNative("C:\\a"), "/srv/orb/c/a");
    // The option wins over the variable.
    EnvOptions o;
    o.orb_root = "/opt/orb";
    EXPECT_EQ(NewPosixEnv(o)->ToNative("C:\\a"), "/opt/orb/c/a");
  }
}

TEST(ProgramFolderTest, FolderShapes) {
  TempRoot root;
  const std::string r = root.path();
  auto env = EnvWithProgram(root, r + "/c/ORB/CAROB/carob");
  EXPECT_EQ(env->ProgramFolder(), "C:\\ORB\\CAROB");
  EXPECT_EQ(env->ProgramName(), "carob");

  EXPECT_EQ(EnvWithProgram(root, r + "/c/carob")->ProgramFolder(), "C:\\");
  EXPECT_EQ(EnvWithProgram(root, "/opt/x/carob")->ProgramFolder(), "Z:\\opt\\x");
  env = EnvWithProgram(root, "/carob.exe");
  EXPECT_EQ(env->ProgramFolder(), "Z:\\");
  EXPECT_EQ(env->ProgramName(), "carob");
  EXPECT_EQ(EnvWithProgram(root, "/opt/x/orb.tool.bin")->ProgramName(), "orb.tool");

  // Without an override the running executable (this test) is reported.
  EnvOptions o;
  o.orb_root = r;
  env = NewPosixEnv(o);
  EXPECT_EQ(env->ProgramName(), "platform_test");
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_EQ(env->ProgramFolder(), env->ToWindows(fs::path(self).parent_path().string()));
}

// An installed program's executable lies in the system's folders; the
// ".folder" file beside it names its program folder under the root.
TEST(ProgramFolderTest, FolderFileBesideTheExecutableNamesTheProgramFolder) {
  TempRoot root;
  root.WriteFile("C:\\usr\\lib\\carob.folder", "C:\\ORB\\CAROB\\\r\n");
  root.WriteFile("C:\\usr\\lib\\orb.folder", "ORB\\TOOLS\n");
  const std::string lib = root.Native("C:\\usr\\lib");

  auto env = EnvWithProgram(root, lib + "/carob");
  EXPECT_EQ(env->ProgramFolder(), "C:\\ORB\\CAROB");
  EXPECT_EQ(env->ProgramName(), "carob");
  EXPECT_TRUE(fs::is_directory(root.Native("C:\\ORB\\CAROB")));
  // A file naming no drive-letter path, or none at all: the executable's folder.
  EXPECT_EQ(EnvWithProgram(root, lib + "/orb")->ProgramFolder(), "C:\\usr\\lib");
  EXPECT_EQ(EnvWithProgram(root, lib + "/other")->ProgramFolder(), "C:\\usr\\lib");
}

TEST(EnvironmentTest, PathVariablesComeBackWindowsStyle) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  struct Case {
    const char* name;
    std::optional<std::string> value;
    const char* path;
  } cases[] = {
      {"TEMP", "/tmp/x", "Z:\\tmp\\x"},
      {"TMP", root.path() + "/c/Temp", "C:\\Temp"},
      {"ORB", "D:\\x", "D:\\x"},
      {"ORB", std::nullopt, ""},
      {"ORB", "", ""},
  };
  for (const Case& c : cases) {
    ScopedEnvVar v(c.name, c.value);
    EXPECT_EQ(env->GetPathVariable(c.name), c.path) << c.name << "=" << c.value.value_or("<none>");
    EXPECT_EQ(env->GetVariable(c.name), c.value.value_or("")) << c.name;
  }
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(env->HostName(), host);
  EXPECT_EQ(env->ProcessId(), static_cast<int>(::getpid()));
}

TEST(LookupTest, NamesMatchCaseBlindAndReportTheStoredName) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  root.WriteFile("C:\\ORB\\Data\\Know.dat", "the sky=blue\r\n");

  auto info = env->FindFile("c:\\orb\\DATA\\KNOW.DAT");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->stored_name, "Know.dat");
  EXPECT_EQ(info->path, "c:\\ORB\\Data\\Know.dat");
  EXPECT_EQ(info->size, 14);

  // Exact spelling is preferred when both exist.
  root.WriteFile("C:\\ORB\\Data\\KNOW.DAT", "other\r\n");
  info = env->FindFile("C:\\ORB\\Data\\KNOW.DAT");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->stored_name, "KNOW.DAT");
  EXPECT_EQ(info->size, 7);
  ASSERT_TRUE(env->Delete("C:\\ORB\\Data\\KNOW.DAT"));

  // Every operation on an existing file finds it the same way.
  std::string bytes;
  ASSERT_TRUE(env->ReadAll("C:\\orb\\data\\know.DAT", bytes));
  EXPECT_EQ(bytes, "the sky=blue\r\n");
  auto file = Opened(*env, "C:\\ORB\\DATA\\know.dat", OpenMode::kRead);
  ASSERT_NE(file, nullptr);
  file.reset();
  ASSERT_TRUE(env->AppendBytes("C:\\ORB\\DATA\\KNOW.dat", "x=y\r\n"));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Data\\Know.dat"), "the sky=blue\r\nx=y\r\n");
  EXPECT_FALSE(root.Exists("C:\\ORB\\Data\\KNOW.dat"));
  ASSERT_TRUE(env->ReplaceContents("c:\\orb\\data\\KNOW.DAT", "new\r\n"));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Data\\Know.dat"), "new\r\n");
  ASSERT_TRUE(env->Rename("C:\\ORB\\DATA\\KNOW.DAT", "C:\\ORB\\DATA\\Moved.dat"));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\Data\\Moved.dat"), "new\r\n");
  EXPECT_TRUE(env->FolderExists("c:\\orb\\data"));
  ASSERT_TRUE(env->Delete("C:\\orb\\data\\MOVED.DAT"));
  EXPECT_FALSE(root.Exists("C:\\ORB\\Data\\Moved.dat"));
  EXPECT_FALSE(env->FindFile("C:\\ORB\\Data\\Moved.dat").has_value());
  EXPECT_FALSE(env->Delete("C:\\ORB\\Data\\Moved.dat"));
}

TEST(LookupTest, OnlyOrdinaryFilesCount) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  root.MakeFolder("C:\\ORB\\Folder");
  root.WriteFile("C:\\ORB\\file.txt", "x");
  ASSERT_EQ(::mkfifo(root.Native("C:\\ORB\\pipe").c_str(), 0600), 0);

  EXPECT_FALSE(env->FindFile("C:\\ORB\\Folder").has_value());
  EXPECT_FALSE(env->FindFile("C:\\ORB\\pipe").has_value());
  EXPECT_FALSE(env->FindFile("C:\\ORB\\missing").has_value());
  EXPECT_TRUE(env->FindFile("C:\\ORB\\file.txt").has_value());
  EXPECT_EQ(Opened(*env, "C:\\ORB\\Folder", OpenMode::kRead), nullptr);
  EXPECT_EQ(Opened(*env, "C:\\ORB\\Folder", OpenMode::kAppend), nullptr);
  EXPECT_EQ(Opened(*env, "C:\\ORB\\pipe", OpenMode::kRead), nullptr);  // must not block
  std::string bytes;
  EXPECT_FALSE(env->ReadAll("C:\\ORB\\Folder", bytes));
  EXPECT_FALSE(env->Delete("C:\\ORB\\Folder"));
  EXPECT_TRUE(fs::is_directory(root.Native("C:\\ORB\\Folder")));

  EXPECT_TRUE(env->FolderExists("C:\\ORB\\Folder"));
  EXPECT_TRUE(env->FolderExists("C:\\ORB\\Folder\\"));
  EXPECT_FALSE(env->FolderExists("C:\\ORB\\file.txt"));
  EXPECT_FALSE(env->FolderExists("C:\\ORB\\nothing"));
  EXPECT_FALSE(env->FolderExists(""));
  EXPECT_FALSE(env->FindFile("").has_value());
  EXPECT_FALSE(env->Delete(""));
  // A path through a file is no folder and no file.
  EXPECT_FALSE(env->FindFile("C:\\ORB\\file.txt\\x").has_value());
}

TEST(LookupTest, DriveFolderIsMadeOnDemandButDeeperFoldersNever) {
  TempRoot root;
  auto env = MakeTestEnv(root, nullptr, "D:\\Prog");  // leaves C: absent
  ASSERT_FALSE(fs::exists(root.path() + "/c"));
  // A drive root exists even before anything is stored on it.
  EXPECT_TRUE(env->FolderExists("C:\\"));
  EXPECT_TRUE(env->FolderExists("E:"));
  EXPECT_FALSE(env->FindFile("C:\\FileLoc").has_value());

  // Nothing is made in a missing folder, not even the folder itself.
  EXPECT_FALSE(env->AppendBytes("C:\\Missing\\k.dat", "a=b\r\n"));
  EXPECT_EQ(Opened(*env, "C:\\Missing\\k.dat", OpenMode::kAppend), nullptr);
  EXPECT_FALSE(env->ReplaceContents("C:\\Missing\\k.dat", "a=b\r\n"));
  EXPECT_EQ(Locked(*env, "C:\\Missing\\k.lck"), nullptr);
  EXPECT_FALSE(fs::exists(root.path() + "/c/Missing"));

  // A file directly on the drive brings the drive folder.
  ASSERT_TRUE(env->AppendBytes("C:\\FileLoc", "Temporary path=C:\\TEMP\r\n"));
  EXPECT_EQ(root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\TEMP\r\n");
  ASSERT_TRUE(env->ReplaceContents("F:\\fresh", "x"));
  EXPECT_EQ(root.ReadFile("F:\\fresh"), "x");
}

}  // namespace
}  // namespace carob::platform
