// `orb status` as a real process over a temporary ORB root.
#include <gtest/gtest.h>

#include <filesystem>

#include "databank/databank.h"
#include "registry/registry.h"
#include "registry/run_lock.h"
#include "tests/support/process.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

TEST(OrbStatus, PrintsTheRegistryGroupedAndChangesNothing) {
  RegistryWorld w;
  w.WriteStatus({"Local ID=PC7", "Pulse=250", "Lexwright running=No ",
                 "Lexwright path=C:\\LEX\\LEX.EXE"});
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  w.reg->RegisterInformation("CAROB", "ID", "Talkweave v100");
  w.reg->RegisterInformation("Lexwright", "Mood", "calm");
  const std::string fileloc = w.root.ReadFile("C:\\FileLoc");
  const std::string status = w.Status();

  Ran run = RunOrb(w.root, {"status"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "STATUS databank: C:\\TEMP\\STATUS\n"
            "Local ID: PC7\n"
            "Pulse: 250\n"
            "\n"
            "Lexwright (not running)\n"
            "  running: No\n"
            "  path:    C:\\LEX\\LEX.EXE\n"
            "  Mood:    calm\n"
            "\n"
            "CAROB (running)\n"
            "  running:         Yes\n"
            "  path:            C:\\ORB\\CAROB\\carob.EXE\n"
            "  last login date: 12-07-2026\n"
            "  last login time: 08:29:45\n"
            "  ID:              Talkweave v100\n");
  EXPECT_EQ(w.root.ReadFile("C:\\FileLoc"), fileloc);
  EXPECT_EQ(w.Status(), status);
}

// A program killed outright stays recorded running; its run lock, left
// unheld, tells that it is not.
TEST(OrbStatus, MarksWhatIsRecordedRunningButHoldsNoRunLock) {
  RegistryWorld w;
  w.WriteStatus({"RORU PO running=Yes", "CAROB running=Yes", "Lexwright running=Yes"});
  std::unique_ptr<platform::LockFile> killed, living;
  ASSERT_TRUE(w.env->TryLock("C:\\TEMP\\STATUS.RORU PO.lock", &killed));
  ASSERT_TRUE(killed->Write(registry::RunLockRecord(*w.env)));
  killed.reset();  // the file stays, nobody holds it
  ASSERT_TRUE(w.env->TryLock("C:\\TEMP\\STATUS.CAROB.lock", &living));
  ASSERT_TRUE(living->Write(registry::RunLockRecord(*w.env)));

  Ran run = RunOrb(w.root, {"status"});
  EXPECT_EQ(run.code, 0) << run.err;
  for (const char* shown :
       {"\nRORU PO (recorded running, but not running: its run lock is not held)\n",
        "\nCAROB (running)\n", "\nLexwright (running)\n"}) {
    EXPECT_NE(run.out.find(shown), std::string::npos) << shown << run.out;
  }
  living->Release();
}

TEST(OrbStatus, DoesNotGuardTheSizeOrStartAnything) {
  RegistryWorld w;
  std::string big = Lines({"Zadozo running=No", "Zadozo path=C:\\ORB\\ZADOZO\\ZADOZO.EXE"});
  while (big.size() < 60000) big += "filler" + std::to_string(big.size()) + "=" + std::string(80, 'x') + "\r\n";
  w.root.WriteFile(kStatusPath, big);
  // A Zadozo that would leave a mark if it were started.
  w.root.WriteFile("C:\\ORB\\ZADOZO\\zadozo",
                   "#!/bin/sh\ntouch '" + w.root.Native("C:\\TEMP\\zadozo-ran") + "'\n");
  std::filesystem::permissions(w.root.Native("C:\\ORB\\ZADOZO\\zadozo"),
                               std::filesystem::perms::owner_all);
  Ran run = RunOrb(w.root, {"status"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("Zadozo (not running)\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(w.root.Exists("C:\\TEMP\\zadozo-ran"));
}

// Wrong usage exits 2; a family where nothing has run yet is told so
// (exit 0, nothing made); a STATUS that is there but cannot be read fails
// with the cause.
TEST(OrbStatus, WrongUsageAFreshFamilyAndAnUnreadableDatabank) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool folder_at_status;  // a folder stands where STATUS would lie
    int code;
    std::string out, err;   // err: its start
  };
  const std::vector<Case> cases = {
      {"wrong usage", {"status", "extra"}, false, 2, "",
       "orb status: extra operand 'extra'\nTry 'orb help status'.\n"},
      {"nothing has run yet", {"status"}, false, 0,
       "Nothing has run yet in this family: there is no STATUS databank C:\\TEMP\\STATUS (", ""},
      {"a folder in its place", {"status"}, true, 1, "",
       "orb status: cannot read the STATUS databank C:\\TEMP\\STATUS ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryWorld w;
    if (c.folder_at_status) w.root.MakeFolder(kStatusPath);
    Ran run = RunOrb(w.root, c.args);
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_TRUE(run.out.starts_with(c.out)) << run.out;
    EXPECT_EQ(run.out.empty(), c.out.empty()) << run.out;
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
    if (c.code == 1) {
      EXPECT_NE(run.err.find("): "), std::string::npos) << "no cause after the file: " << run.err;
    }
    if (!c.folder_at_status) {
      EXPECT_FALSE(w.root.Exists(kStatusPath));
    }
  }
}

}  // namespace
}  // namespace carob::testing
