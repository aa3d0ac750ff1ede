// The application registry: the STATUS databank shared by every program of
// the family (where it lies, its size guard with the maintenance program
// "Zadozo", registration, application facts, the Local ID and the Pulse,
// running state and the starting of programs).
#pragma once

#include <cstdint>
#include <string>

#include "databank/databank.h"
#include "platform/env.h"

namespace carob::registry {

class Registry {
 public:
  Registry(platform::Env& env, databank::Databank& db);

  void LocateStatusBank();

  void RegisterApplication(const std::string& app);
  void RegisterInformation(const std::string& app, const std::string& fact,
                           const std::string& value);
  void UnregisterApplication(const std::string& app);
  std::string GetLocalId();
  int32_t GetPulse();

  bool IsRunning(const std::string& app);
  bool IsInstalled(const std::string& app);
  void RunApplication(const std::string& app, int32_t window_style);
  void EnsureRunning(const std::string& app, int32_t window_style);

  const std::string& StatusBank() const { return status_bank_; }

 private:
  platform::Env& env_;
  databank::Databank& db_;
  std::string status_bank_;
};

}  // namespace carob::registry
