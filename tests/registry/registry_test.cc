// The STATUS registry over real databank files: where the STATUS databank
// lies, registration and its keys, facts, the Local ID, the Pulse, running
// state and the starting of programs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/text.h"
#include "databank/databank.h"
#include "registry/registry.h"
#include "tests/support/world.h"
#include "tests/support/process.h"
#include "tests/support/refusing_reads.h"

namespace carob::testing {
namespace {

using registry::kRegisterAttempts;
using registry::kRegisterRetryPause;

double Seconds(platform::Env& env) { return env.Now().seconds_since_midnight; }

// ---------------------------------------------------------------- location

TEST(StatusLocation, MissingKeyDefaultsToTempDirAndIsRecorded) {
  RegistryWorld w;
  w.reg->GetLocalId();
  EXPECT_EQ(w.reg->StatusBank(), "C:\\TEMP\\STATUS");
  EXPECT_EQ(w.root.ReadFile("C:\\FileLoc"),
            "Temporary path=C:\\TEMP\r\nSTATUS=C:\\TEMP\\STATUS\r\n");
}

TEST(StatusLocation, RecordedKeyIsUsedAndNeverRewritten) {
  const std::string fileloc = "Temporary path=C:\\TEMP\r\nSTATUS =  C:\\SHARED\\REG  \r\n";
  RegistryWorld w({.fileloc = fileloc});
  w.root.MakeFolder("C:\\SHARED");
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  EXPECT_EQ(w.reg->StatusBank(), "C:\\SHARED\\REG");
  EXPECT_EQ(w.root.ReadFile("C:\\FileLoc"), fileloc);
  EXPECT_NE(w.root.ReadFile("C:\\SHARED\\REG").find("CAROB running=Yes\r\n"), std::string::npos);
  EXPECT_FALSE(w.root.Exists(kStatusPath));
}

TEST(StatusLocation, FindStatusBankWritesNothing) {
  RegistryWorld w;
  EXPECT_EQ(w.reg->FindStatusBank(), "C:\\TEMP\\STATUS");
  EXPECT_EQ(w.root.ReadFile("C:\\FileLoc"), "Temporary path=C:\\TEMP\r\n");
  EXPECT_TRUE(w.reg->StatusBank().empty());
}

// ------------------------------------------------------------ registration

TEST(Registration, FirstRegistrationWritesTheFourKeys) {
  RegistryWorld w;
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  EXPECT_EQ(w.Status(), Lines({"CAROB running=Yes", "CAROB last login date=12-07-2026",
                               "CAROB last login time=08:29:45",
                               "CAROB path=C:\\ORB\\CAROB\\carob.EXE"}));
  EXPECT_TRUE(w.reg->IsRunning("CAROB"));
  EXPECT_TRUE(w.reg->IsInstalled("CAROB"));
}

// The " path" value is the running program's, whatever name registers: its
// folder and name as they stand on the disk, then ".EXE" in upper case (the
// extension the program has, if any, goes).
TEST(Registration, PathIsTheRunningProgramWithAnUpperCaseExtension) {
  struct Case {
    std::string folder, exe, app, recorded;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Apps\\Bot", "talker", "Other", "C:\\Apps\\Bot\\talker.EXE"},
           {"C:\\Apps\\Bot", "Talker.exe", "CAROB", "C:\\Apps\\Bot\\Talker.EXE"},
           {"C:\\APPS\\bot", "TALKER", "CAROB", "C:\\APPS\\bot\\TALKER.EXE"},
           {"C:\\Apps\\Bot", "my.talker.Exe", "CAROB", "C:\\Apps\\Bot\\my.talker.EXE"},
           // A program at a drive root gets one "\" between drive and name.
           {"C:\\", "talker", "CAROB", "C:\\talker.EXE"},
       }) {
    SCOPED_TRACE(c.folder + " " + c.exe);
    RegistryWorld w({.program_folder = c.folder, .exe = c.exe});
    EXPECT_TRUE(w.reg->RegisterApplication(c.app));
    EXPECT_EQ(w.reg->ExecutablePath(), c.recorded);
    EXPECT_NE(w.Status().find(c.app + " path=" + c.recorded + "\r\n"), std::string::npos)
        << w.Status();
    EXPECT_TRUE(w.reg->IsInstalled(c.app));
  }
}

TEST(Registration, UnregisterOverwritesInPlaceAndKeepsTheRecord) {
  RegistryWorld w;
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  w.reg->UnregisterApplication("CAROB");
  // "No" fills the room of "Yes": one blank after it, the line keeps its place.
  EXPECT_EQ(w.Status(), Lines({"CAROB running=No ", "CAROB last login date=12-07-2026",
                               "CAROB last login time=08:29:45",
                               "CAROB path=C:\\ORB\\CAROB\\carob.EXE"}));
  EXPECT_FALSE(w.reg->IsRunning("CAROB"));
  EXPECT_TRUE(w.reg->IsInstalled("CAROB"));

  // A later start flips it back and records the new login.
  RegistryWorld again({.clock = MakeManualClock(9, 0, 1)});
  again.WriteStatus({"CAROB running=No ", "CAROB last login date=12-07-2026",
                     "CAROB last login time=08:29:45", "CAROB path=C:\\ORB\\CAROB\\carob.EXE"});
  EXPECT_TRUE(again.reg->RegisterApplication("CAROB"));
  EXPECT_EQ(again.Status(), Lines({"CAROB running=Yes", "CAROB last login date=12-07-2026",
                                   "CAROB last login time=09:00:01",
                                   "CAROB path=C:\\ORB\\CAROB\\carob.EXE"}));
}

TEST(Registration, InformationIsStoredUnderNameBlankFact) {
  RegistryWorld w;
  EXPECT_TRUE(w.reg->RegisterApplication("CAROB"));
  w.reg->RegisterInformation("CAROB", "ID", "Talkweave v100");
  w.reg->RegisterInformation("CAROB", "Author", "Kado Vel of Brindle");
  EXPECT_NE(w.Status().find("\r\nCAROB ID=Talkweave v100\r\nCAROB Author=Kado Vel of Brindle\r\n"),
            std::string::npos)
      << w.Status();
}

TEST(Registration, UnwritableStatusDatabankGivesUpAfterAFewAttempts) {
  // The STATUS databank lies in a folder that does not exist.
  {
    RegistryWorld w({.fileloc = "Temporary path=C:\\TEMP\r\nSTATUS=C:\\GONE\\STATUS\r\n"});
    double before = Seconds(*w.env);
    EXPECT_FALSE(w.reg->RegisterApplication("CAROB"));
    EXPECT_NEAR(Seconds(*w.env) - before, (kRegisterAttempts - 1) * kRegisterRetryPause, 1e-6);
    EXPECT_FALSE(w.root.Exists("C:\\GONE"));
    EXPECT_FALSE(w.reg->IsRunning("CAROB"));
    // The rest of start-up still works.
    w.reg->RegisterInformation("CAROB", "ID", "x");
    EXPECT_EQ(w.reg->GetLocalId(), "");
  }
  // The STATUS name is a folder.
  {
    RegistryWorld w;
    w.root.MakeFolder(kStatusPath);
    double before = Seconds(*w.env);
    EXPECT_FALSE(w.reg->RegisterApplication("CAROB"));
    EXPECT_NEAR(Seconds(*w.env) - before, (kRegisterAttempts - 1) * kRegisterRetryPause, 1e-6);
    EXPECT_TRUE(std::filesystem::is_directory(w.root.Native(kStatusPath)));
  }
}

// ------------------------------------------------------- Local ID and Pulse

TEST(LocalId, ReadAfreshAndNeverWritten) {
  RegistryWorld w;
  EXPECT_EQ(w.reg->GetLocalId(), "");
  EXPECT_FALSE(w.root.Exists(kStatusPath));

  w.WriteStatus({"Pulse=1000"});
  EXPECT_EQ(w.reg->GetLocalId(), "");
  EXPECT_EQ(w.Status(), Lines({"Pulse=1000"}));

  w.WriteStatus({"Pulse=1000", "local id =  PC7 "});
  EXPECT_EQ(w.reg->GetLocalId(), "PC7");
  w.WriteStatus({"Pulse=1000", "Local ID=Workshop-2"});
  EXPECT_EQ(w.reg->GetLocalId(), "Workshop-2");
}

TEST(Pulse, DefaultIsWrittenOnlyForMissingEmptyNonNumericOrZero) {
  struct Case {
    std::vector<std::string> status;
  };
  const std::vector<Case> cases = {
      {{"CAROB running=Yes"}},                  // missing
      {{"CAROB running=Yes", "Pulse="}},        // empty
      {{"CAROB running=Yes", "Pulse=   "}},     // blanks only
      {{"CAROB running=Yes", "Pulse=fast"}},    // not a number
      {{"CAROB running=Yes", "Pulse=0"}},       // zero
      {{"CAROB running=Yes", "Pulse=-0.0e5"}},  // zero in another dress
      {{"CAROB running=Yes", "Pulse=+ .x"}},    // sign and point, no digit
  };
  for (const Case& c : cases) {
    RegistryWorld w;
    w.WriteStatus(c.status);
    EXPECT_EQ(w.reg->GetPulse(), 1000) << c.status.back();
    const std::string after = w.Status();
    EXPECT_NE(after.find("Pulse=1000"), std::string::npos) << c.status.back() << " -> " << after;
    EXPECT_EQ(after.find("CAROB running=Yes\r\n"), 0u) << after;
    // The next reading finds the stored default and writes nothing more.
    EXPECT_EQ(w.reg->GetPulse(), 1000);
    EXPECT_EQ(w.Status(), after);
  }
}

// A STATUS that cannot be read for a moment keeps the Pulse last read (the
// default before any) and is never written over with the default.
TEST(Pulse, AStatusThatCannotBeReadKeepsTheLastPulseAndIsNotWritten) {
  for (bool read_before : {true, false}) {
    World w;
    auto* env = w.Wrap<RefusingReads>();
    env->error = EIO;
    w.AddRegistry();
    w.WriteStatus({"Pulse=250", "Local ID=PC1"});
    if (read_before) {
      EXPECT_EQ(w.reg->GetPulse(), 250);
    }
    w.WriteStatus({"Pulse=250", "Local ID=PC2"});  // another stamp: the caches do not answer
    const std::string stored = w.Status();
    env->refused = "\\STATUS";
    EXPECT_EQ(w.reg->GetPulse(), read_before ? 250 : 1000) << read_before;
    EXPECT_EQ(w.Status(), stored) << read_before;
    env->refused.clear();
    EXPECT_EQ(w.reg->GetPulse(), 250) << read_before;
  }
}

TEST(Pulse, TimerIntervalKeepsToTheTimersRange) {
  const std::vector<std::pair<int32_t, int32_t>> cases = {
      {INT32_MIN, 1000}, {-40, 1000}, {0, 1000},         {1, 1},
      {250, 250},        {65535, 65535}, {65536, 65535}, {INT32_MAX, 65535}};
  for (const auto& [pulse, interval] : cases) {
    EXPECT_EQ(registry::TimerInterval(pulse), interval) << pulse;
  }
}

TEST(Pulse, StoredValuesAreReadRoundedAndNotRewritten) {
  struct Case {
    std::string stored;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"250", 250},         {"2.5", 2},          {"3.5", 4},         {" 1 2 5 ", 125},
      {"-40", -40},         {"1e3", 1000},       {"-2.5", -2},       {"750ms", 750},
      {"1.5e2x", 150},      {"65535", 65535},    {"+300", 300},      {"2147483647", 2147483647},
      {"3000000000", 0},    {"1e40", 0},         {"-2147483649", 0}, {"2147483647.5", 0},
  };
  for (const Case& c : cases) {
    RegistryWorld w;
    w.WriteStatus({"Pulse=" + c.stored, "Local ID=PC1"});
    const std::string before = w.Status();
    EXPECT_EQ(w.reg->GetPulse(), c.expected) << "stored [" << c.stored << "]";
    EXPECT_EQ(w.Status(), before) << "stored [" << c.stored << "]";
  }
}

// ------------------------------------------------------------ running state

TEST(RunningState, OnlyYesInAnyCaseAndBlanksCountsAsRunning) {
  RegistryWorld w;
  w.WriteStatus({"A running=Yes", "B running=YES", "C running=  yes ", "D running=No",
                 "E running=", "F running=Y", "G running=yes!", "H running=\tyes",
                 "I running=Yes Yes"});
  for (const char* name : {"A", "b", "C"}) EXPECT_TRUE(w.reg->IsRunning(name)) << name;
  // "H": a tab is not a blank.
  for (const char* name : {"D", "E", "F", "G", "H", "I", "Nobody"}) {
    EXPECT_FALSE(w.reg->IsRunning(name)) << name;
  }
}

TEST(RunningState, InstalledMeansANonBlankPathWhetherOrNotTheFileExists) {
  RegistryWorld w;
  w.WriteStatus({"A path=C:\\NOWHERE\\A.EXE", "B path=", "C path=    ", "D running=Yes",
                 "E path=x"});
  for (const char* name : {"A", "e"}) EXPECT_TRUE(w.reg->IsInstalled(name)) << name;
  for (const char* name : {"B", "C", "D", "Nobody"}) EXPECT_FALSE(w.reg->IsInstalled(name)) << name;
}

// A helper program that leaves a mark: a shell script stored as "name" in
// the folder, recorded as "NAME.EXE".
void WriteScript(const TempRoot& root, const std::string& windows_path, const std::string& body) {
  root.WriteFile(windows_path, "#!/bin/sh\n" + body);
  ::chmod(root.Native(windows_path).c_str(), 0755);
}


TEST(Launching, RunApplicationStartsTheRecordedProgramWithoutWaiting) {
  RegistryWorld w;
  const std::string mark = w.root.Native("C:\\TEMP\\started");
  const std::string gate = w.root.Native("C:\\TEMP\\gate");
  // The helper waits for a gate that only opens after RunApplication has
  // returned: a launcher that waited for it would never come back.
  WriteScript(w.root, "C:\\ORB\\TOOLS\\marker",
              "i=0\nwhile [ ! -e '" + gate + "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
              "[ -e '" + gate + "' ] && echo \"$0\" > '" + mark + "'\n");
  w.WriteStatus({"Marker path=C:\\ORB\\TOOLS\\MARKER.EXE"});
  w.reg->RunApplication("Marker", 6);
  w.root.WriteFile("C:\\TEMP\\gate", "");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(mark); }));
}

TEST(Launching, UnstartablePathsAreIgnored) {
  RegistryWorld w;
  w.root.WriteFile("C:\\ORB\\TOOLS\\plain.txt", "not a program");
  w.WriteStatus({"A path=C:\\NOWHERE\\A.EXE", "B path=C:\\ORB\\TOOLS\\PLAIN.TXT",
                 "C path=C:\\ORB\\TOOLS"});
  const std::string before = w.Status();
  w.reg->RunApplication("A", 6);
  w.reg->RunApplication("B", 6);
  w.reg->RunApplication("C", 6);
  w.reg->RunApplication("Nobody", 6);
  EXPECT_EQ(w.Status(), before);
  EXPECT_FALSE(w.reg->IsRunning("A"));
}

TEST(Launching, EnsureRunningReturnsAtOnceWhenNotInstalledOrFlaggedRunning) {
  RegistryWorld w;
  int yields = 0;
  w.ui.on_yield = [&] { ++yields; };
  // "B" is flagged running although nothing of it runs: the flag is trusted.
  w.WriteStatus({"A running=No", "B running=Yes", "B path=C:\\NOWHERE\\B.EXE"});
  double before = Seconds(*w.env);
  w.reg->EnsureRunning("A", 6);
  w.reg->EnsureRunning("B", 6);
  w.reg->EnsureRunning("Nobody", 6);
  EXPECT_EQ(yields, 0);
  EXPECT_EQ(Seconds(*w.env), before);
}

TEST(Launching, EnsureRunningYieldsUntilTheProgramRecordsItselfRunning) {
  RegistryWorld w;
  // Recorded as not running after an earlier stop ("No" padded to the room
  // of "Yes"); the path cannot be started, so only the flag ends the wait.
  w.WriteStatus({"Helper running=No ", "Helper path=C:\\NOWHERE\\HELPER.EXE"});
  int yields = 0;
  w.ui.on_yield = [&] {
    // Another program registers during the third second of the wait. The
    // flag changes in place, so the file keeps its length.
    if (++yields == 50) w.WriteStatus({"Helper running=Yes", "Helper path=C:\\NOWHERE\\HELPER.EXE"});
  };
  double before = Seconds(*w.env);
  w.reg->EnsureRunning("Helper", 6);
  EXPECT_GE(yields, 50);
  EXPECT_GE(Seconds(*w.env) - before, 2.0);
  EXPECT_TRUE(w.reg->IsRunning("Helper"));
}

}  // namespace
}  // namespace carob::testing
