// `orb status` as a real process over a temporary ORB root.
#include <gtest/gtest.h>

#include <filesystem>

#include "databank/databank.h"
#include "registry/registry.h"
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

TEST(OrbStatus, WrongUsageAndAMissingDatabank) {
  RegistryWorld w;
  Ran usage = RunOrb(w.root, {"status", "extra"});
  EXPECT_EQ(usage.code, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "orb status: extra operand 'extra'\nTry 'orb help status'.\n");

  Ran missing = RunOrb(w.root, {"status"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("C:\\TEMP\\STATUS"), std::string::npos) << missing.err;
  EXPECT_FALSE(w.root.Exists(kStatusPath));
}

}  // namespace
}  // namespace carob::testing
