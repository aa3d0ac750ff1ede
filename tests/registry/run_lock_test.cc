// Run locks over real files and the system's own locks: what tells a living
// holder from one that was killed, and how a program that runs whoever else
// does takes the lock.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "registry/run_lock.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

TEST(RunLock, TellsAKilledHolderFromALivingOneAndTakesOverWhatNobodyHolds) {
  enum class Before {
    kNothing,        // no lock file
    kLivingNamed,    // held and named by a living holder
    kKilledNamed,    // named, its holder gone without removing it
    kKilledUnnamed,  // made and left before its holder named itself
  };
  struct Case {
    const char* name;
    Before before;
    bool abandoned;  // what RunLockAbandoned answers
    bool taken;      // whether HoldRunLock then gets the lock
  } cases[] = {
      {"no lock file", Before::kNothing, false, true},
      {"a living holder", Before::kLivingNamed, false, false},
      {"a killed holder", Before::kKilledNamed, true, true},
      {"a holder killed before it named itself", Before::kKilledUnnamed, false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    RegistryWorld w;
    w.WriteStatus({"Local ID=PC7", "RORU PO running=Yes"});
    platform::Env& env = *w.env;
    const std::string path = registry::RunLockPath(*w.db, *w.reg, "RORU PO");
    ASSERT_EQ(path, "C:\\TEMP\\STATUS.RORU PO.lock");

    std::unique_ptr<platform::LockFile> before;
    if (k.before != Before::kNothing) {
      ASSERT_TRUE(env.TryLock(path, &before));
      if (k.before != Before::kKilledUnnamed) {
        ASSERT_TRUE(before->Write(registry::RunLockRecord(env)));
      }
      // Gone without Release(): the file stays, nobody holds it.
      if (k.before != Before::kLivingNamed) before.reset();
    }
    EXPECT_EQ(registry::RunLockAbandoned(env, *w.db, *w.reg, "RORU PO"), k.abandoned);

    std::string why;
    std::unique_ptr<platform::LockFile> held = registry::HoldRunLock(env, path, &why);
    EXPECT_EQ(held != nullptr, k.taken) << why;
    if (k.taken) {
      EXPECT_EQ(why, "");
      EXPECT_EQ(registry::ReadRunLock(env, path).process, env.ProcessId());
      EXPECT_FALSE(registry::RunLockAbandoned(env, *w.db, *w.reg, "RORU PO"));
      held->Release();
      EXPECT_FALSE(w.root.Exists(path)) << "a clean stop leaves no lock";
    } else {
      EXPECT_NE(why.find("another process holds its run lock (process " +
                         std::to_string(env.ProcessId()) + " on this computer"),
                std::string::npos)
          << why;
      EXPECT_TRUE(w.root.Exists(path));
    }
  }
}

}  // namespace
}  // namespace carob::testing
