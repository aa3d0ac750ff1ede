#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "platform/env.h"
#include "tests/support/world.h"

namespace carob::platform {
namespace {

namespace fs = std::filesystem;
using testing::MakeTestEnv;
using testing::TempRoot;

// Polls for a file that a started program writes; a program that never
// writes it fails the test after a generous wait.
bool AwaitFile(const std::string& native) {
  for (int i = 0; i < 3000; ++i) {
    if (fs::exists(native)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void WriteScript(const std::string& native, const std::string& body, mode_t mode = 0755) {
  std::ofstream(native) << "#!/bin/sh\n" << body;
  ::chmod(native.c_str(), mode);
}

TEST(StartProgramTest, StartsARecordedExeDetachedWithoutWaiting) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  root.MakeFolder("C:\\ORB\\ZADOZO");
  const std::string folder = root.Native("C:\\ORB\\ZADOZO");
  // The script reports how it was started and then waits for a go-ahead
  // that the test gives only after StartProgram has returned.
  WriteScript(folder + "/zadozo",
              "readlink /proc/self/fd/0 > '" + folder + "/stdin.tmp'\n"
              "ps -o sid= -p $$ | tr -d ' ' > '" + folder + "/sid.tmp'\n"
              "echo $$ > '" + folder + "/pid.tmp'\n"
              "mv '" + folder + "/stdin.tmp' '" + folder + "/stdin'\n"
              "mv '" + folder + "/sid.tmp' '" + folder + "/sid'\n"
              "mv '" + folder + "/pid.tmp' '" + folder + "/pid'\n"
              "while [ ! -e '" + folder + "/go' ]; do sleep 0.05; done\n"
              "echo done > '" + folder + "/done.tmp'\n"
              "mv '" + folder + "/done.tmp' '" + folder + "/done'\n");

  ASSERT_TRUE(env->StartProgram("C:\\ORB\\ZADOZO\\ZADOZO.EXE", 6));
  ASSERT_TRUE(AwaitFile(folder + "/pid"));
  EXPECT_FALSE(fs::exists(folder + "/done"));  // still waiting for "go"
  ASSERT_TRUE(AwaitFile(folder + "/stdin"));
  EXPECT_EQ(root.ReadFile("C:\\ORB\\ZADOZO\\stdin"), "/dev/null\n");
  ASSERT_TRUE(AwaitFile(folder + "/sid"));
  std::string sid = root.ReadFile("C:\\ORB\\ZADOZO\\sid");
  std::string pid = root.ReadFile("C:\\ORB\\ZADOZO\\pid");
  // Its own session, away from ours.
  EXPECT_NE(sid, std::to_string(::getsid(0)) + "\n");
  std::ofstream(folder + "/go") << "";
  ASSERT_TRUE(AwaitFile(folder + "/done"));
  // The started program is not our child, so it leaves no zombie here.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(StartProgramTest, MatchesTheNameCaseBlindAndRefusesWhatCannotRun) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  root.MakeFolder("C:\\Apps\\Tool");
  const std::string folder = root.Native("C:\\Apps\\Tool");
  WriteScript(folder + "/Runner", "echo ran > '" + folder + "/ran'\n");
  ASSERT_TRUE(env->StartProgram("c:\\apps\\tool\\RUNNER.exe", 0));
  EXPECT_TRUE(AwaitFile(folder + "/ran"));

  EXPECT_FALSE(env->StartProgram("C:\\Apps\\Tool\\Missing.EXE", 6));
  EXPECT_FALSE(env->StartProgram("C:\\NoSuchFolder\\ZADOZO.EXE", 6));
  EXPECT_FALSE(env->StartProgram("", 6));
  WriteScript(folder + "/plain", "exit 0\n", 0644);  // not executable
  EXPECT_FALSE(env->StartProgram("C:\\Apps\\Tool\\plain.EXE", 6));
  EXPECT_FALSE(env->StartProgram("C:\\Apps\\Tool", 6));  // a folder
  // An executable whose interpreter is missing cannot be started either.
  std::ofstream(folder + "/broken") << "#!/no/such/interpreter\n";
  ::chmod((folder + "/broken").c_str(), 0755);
  EXPECT_FALSE(env->StartProgram("C:\\Apps\\Tool\\broken", 6));
}

// What a process tells of itself, and the stop it asks of another: a
// started shell that waits is stopped by SIGTERM; a process that is gone,
// or none at all, is ESRCH.
TEST(ProcessSelfTest, TellsHowItWasStartedAndStopsAnother) {
  TempRoot root;
  auto env = MakeTestEnv(root);
  EXPECT_NE(env->CommandLine().find("platform_test"), std::string::npos) << env->CommandLine();
  // Under a service (a CI runner, say) the service is named instead.
  const std::string how = env->StartedHow();
  EXPECT_TRUE(how.find("process " + std::to_string(::getppid())) != std::string::npos ||
              how.starts_with("the service ") || how.starts_with("the user service "))
      << how;

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  EXPECT_TRUE(env->ProcessAlive(child));
  ASSERT_TRUE(env->StopProcess(child)) << "a child of ours";
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  // Only "no such process" says ended; what cannot be told counts as living.
  const struct {
    int pid;
    bool alive;
  } lives[] = {{child, false}, {env->ProcessId(), true}, {1, true}, {0, true}, {-1, true}};
  for (const auto& l : lives) EXPECT_EQ(env->ProcessAlive(l.pid), l.alive) << l.pid;

  struct Case {
    int pid;
    int error;
  } cases[] = {{child, ESRCH}, {0, ESRCH}, {-1, ESRCH}};
  for (const Case& c : cases) {
    const Status stopped = env->StopProcess(c.pid);
    EXPECT_FALSE(stopped) << c.pid;
    EXPECT_EQ(stopped.error(), c.error) << c.pid;
    EXPECT_EQ(stopped.message().rfind("cannot stop process " + std::to_string(c.pid), 0), 0u)
        << stopped.message();
  }
}

}  // namespace
}  // namespace carob::platform
