// A messaging layer over a temporary ORB root whose "C:\FileLoc" names the
// temporary folder and the STATUS databank, which records Local ID 10.0.0.9.
#pragma once

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {

// The layers over a `Wrapper` of the world's real Env (a test's own, to
// watch or act on some calls; by default one that only forwards).
template <class Wrapper = platform::EnvWrapper>
struct MessagingRig : World {
  explicit MessagingRig(const std::string& program_folder = kProgramFolder,
                        const std::string& temp_path = kTempFolder)
      : World({.program_folder = program_folder, .fileloc = FileLocWithStatus(temp_path)}),
        env(Wrap<Wrapper>()) {
    WriteStatus({"Local ID=10.0.0.9"});
    AddMessaging();
  }

  Wrapper* env;
};

}  // namespace carob::testing
