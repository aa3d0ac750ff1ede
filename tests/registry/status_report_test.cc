// The person-readable view of the STATUS databank.
#include <gtest/gtest.h>

#include "registry/status_report.h"
#include "databank/databank.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

using registry::FormatStatusReport;
using registry::GroupStatusLines;
using registry::ReadStatusReport;
using registry::StatusReport;

std::vector<std::string> Labels(const registry::StatusApplication& app) {
  std::vector<std::string> out;
  for (const auto& f : app.facts) out.push_back(f.label + "=" + f.value);
  return out;
}

TEST(StatusReport, GroupsKeysByApplicationAndKeepsGeneralKeysApart) {
  StatusReport r = GroupStatusLines({
      "Pulse=250",
      "CAROB ID=Talkweave v100",
      "CAROB running=Yes",
      "Lex path=C:\\LEX\\LEX.EXE",
      "Lex Tools running=No ",
      "Lex Tools path=C:\\LT\\LT.EXE",
      "CAROB path=C:\\ORB\\CAROB\\CAROB.EXE",
      "carob last login date=12-07-2026",
      "Lex Tools colour=blue",
      "Local ID=PC7",
      "stray=value",
      "no equals sign here",
      "=orphan",
      "CAROB running=No",   // a later line of a key does not count
      "Lex ID=",            // an empty value stands for an absent key
  });
  EXPECT_EQ(r.local_id, "PC7");
  EXPECT_EQ(r.pulse, "250");
  ASSERT_EQ(r.applications.size(), 3u);
  EXPECT_EQ(r.applications[0].name, "CAROB");
  EXPECT_TRUE(r.applications[0].running);
  EXPECT_EQ(Labels(r.applications[0]),
            (std::vector<std::string>{"running=Yes", "path=C:\\ORB\\CAROB\\CAROB.EXE",
                                      "last login date=12-07-2026", "ID=Talkweave v100"}));
  EXPECT_EQ(r.applications[1].name, "Lex");
  EXPECT_FALSE(r.applications[1].running);
  EXPECT_EQ(Labels(r.applications[1]), (std::vector<std::string>{"path=C:\\LEX\\LEX.EXE"}));
  // The longer name owns its keys even though "Lex" is a prefix of it.
  EXPECT_EQ(r.applications[2].name, "Lex Tools");
  EXPECT_EQ(Labels(r.applications[2]),
            (std::vector<std::string>{"running=No", "path=C:\\LT\\LT.EXE", "colour=blue"}));
  ASSERT_EQ(r.other.size(), 1u);
  EXPECT_EQ(r.other[0].label, "stray");
}

TEST(StatusReport, AnEmptyDatabankSaysSo) {
  RegistryWorld w;
  w.root.WriteFile(kStatusPath, "");
  StatusReport r = ReadStatusReport(*w.env, *w.db, *w.reg);
  EXPECT_TRUE(r.readable);
  EXPECT_EQ(FormatStatusReport(r),
            "STATUS databank: C:\\TEMP\\STATUS\n"
            "Local ID: (not recorded)\n"
            "Pulse: (not recorded)\n"
            "\n"
            "No applications recorded.\n");
}

}  // namespace
}  // namespace carob::testing
