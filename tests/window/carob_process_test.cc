// The real carob program, headless, in a temporary ORB root: it starts,
// takes sentences from its interface file, answers through the dispatcher's
// input file, runs the thinking passes on SIGUSR1 and signs off on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/environment.h"
#include "tests/window/window_fixture.h"


namespace carob::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kPatience = std::chrono::seconds(60);

// The program copied into the root's program folder and started there.
class CarobProcess {
 public:
  explicit CarobProcess(const TempRoot& root) {
    const std::string exe = root.Native(kProgramFolder) + "/carob";
    std::filesystem::create_directories(root.Native(kProgramFolder));
    std::filesystem::copy_file(std::string(CAROB_BIN_DIR) + "/carob", exe,
                               std::filesystem::copy_options::overwrite_existing);
    stderr_path_ = root.path() + "/carob.stderr";

    std::vector<std::string> vars = ChildEnvironment(
        {{"ORB_ROOT", root.path()}}, {"DISPLAY", "WAYLAND_DISPLAY", "ORB", "TEMP", "TMP"});
    std::vector<char*> envp = CStrings(vars);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string arg0 = exe;
    char* argv[] = {arg0.data(), nullptr};
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~CarobProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  void Signal(int sig) { ::kill(pid_, sig); }

  std::string Stderr() const {
    std::ifstream in(stderr_path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Polls until `done` holds or patience runs out; false on timeout or when
  // the program ended meanwhile.
  template <typename Done>
  bool WaitFor(Done done) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < until) {
      if (done()) return true;
      if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
      if (exited_) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool WaitForStderr(const std::string& text) {
    return WaitFor([&] { return Stderr().find(text) != std::string::npos; });
  }

  // Waits for the program to end; its exit code, or -1 (killed, or no end).
  int WaitForExit() {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (!exited_ && std::chrono::steady_clock::now() < until) {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited_ || !WIFEXITED(status_)) return -1;
    return WEXITSTATUS(status_);
  }

 private:
  std::string stderr_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

class CarobProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeFolder("C:\\Temp");
    root_.MakeFolder("C:\\ORB\\RORU");
    root_.WriteFile("C:\\FileLoc", BaseFileLoc());
    // A quick receive loop keeps the test short.
    root_.WriteFile(kStatusPath, "Pulse=50\r\n");
  }

  std::string Status(const std::string& key) {
    auto env = MakeTestEnv(root_, MakeManualClock());
    databank::Databank db(*env);
    return db.Query(std::string(kStatusPath), std::string(key));
  }

  std::vector<SentEntry> Sent() const {
    if (!root_.Exists(kDispatcherPath)) return {};
    return ParseRozEntries(root_.ReadFile(kDispatcherPath));
  }

  bool SentBody(const std::string& body) const {
    for (const SentEntry& e : Sent()) {
      if (e.body == body) return true;
    }
    return false;
  }

  TempRoot root_;
};

TEST_F(CarobProcessTest, ConversesThinksAndSignsOff) {
  // Queued before the start: the first tick registers the interface file,
  // the next ones take one entry each.
  root_.WriteFile(kInterfacePath,
                  RozEntry("SET SOURCE = 10.0.0.7\r\nthe sky be blue") +
                      RozEntry("SET SOURCE = 10.0.0.7\r\nWhat colour is the sky?"));
  CarobProcess carob(root_);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), HasSubstr("C:\\ORB\\CAROB"));
  EXPECT_EQ(Status("CAROB running"), "Yes");

  // Waits for the whole entry: a read may meet an append half done.
  ASSERT_TRUE(carob.WaitFor([&] { return SentBody("SENDTO [10.0.0.7] :the sky=blue"); }))
      << carob.Stderr();
  std::vector<SentEntry> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header.rfind("--- Entry by ROZ Default on ", 0), 0u) << sent[0].header;
  EXPECT_EQ(sent[0].source_line.rfind("SET SOURCE = ", 0), 0u) << sent[0].source_line;
  EXPECT_EQ(sent[0].body, "SENDTO [10.0.0.7] :the sky=blue");
  EXPECT_EQ(root_.ReadFile(kKnowledgePath), "the sky=blue\r\n");
  EXPECT_THAT(carob.Stderr(), Not(HasSubstr("the sky"))) << "no line per sentence";

  carob.Signal(SIGUSR1);
  ASSERT_TRUE(carob.WaitForStderr("thinking passes finished")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), HasSubstr("click received"));
  EXPECT_EQ(root_.ReadFile(kKnowledgePath), "the sky=blue\r\nblue=the sky\r\n");
  EXPECT_TRUE(root_.Exists("C:\\ORB\\CAROB\\Database_IO.log"));

  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
  EXPECT_EQ(Status("CAROB running"), "No");
  EXPECT_THAT(carob.Stderr(), HasSubstr("stopped"));
}

TEST_F(CarobProcessTest, FailedPassKeepsTheProgramRunning) {
  CarobProcess carob(root_);
  ASSERT_TRUE(carob.started());
  ASSERT_TRUE(carob.WaitForStderr("started")) << carob.Stderr();

  carob.Signal(SIGUSR1);  // no knowledge file yet
  ASSERT_TRUE(carob.WaitForStderr("failed")) << carob.Stderr();
  EXPECT_THAT(carob.Stderr(), Not(HasSubstr("thinking passes finished")));

  // Still receiving: the identification request is answered. The entry is
  // moved into place whole, as the dispatcher's appends are.
  root_.WriteFile("C:\\ORB\\CAROB\\incoming.tmp", RozEntry("SET SOURCE = 10.0.0.9\r\n ? "));
  std::filesystem::rename(root_.Native("C:\\ORB\\CAROB\\incoming.tmp"),
                          root_.Native(kInterfacePath));
  EXPECT_TRUE(carob.WaitFor(
      [&] { return SentBody("SENDTO [10.0.0.9] User:Talkweave v100\r\nCAROB: aSentence"); }))
      << root_.ReadFile(kDispatcherPath) << carob.Stderr();

  carob.Signal(SIGTERM);
  EXPECT_EQ(carob.WaitForExit(), 0) << carob.Stderr();
  EXPECT_EQ(Status("CAROB running"), "No");
}

}  // namespace
}  // namespace carob::testing
