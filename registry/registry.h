// The application registry: the STATUS databank shared by every program of
// the family (where it lies, its size guard with the maintenance program
// "Zadozo", registration, application facts, the Local ID and the Pulse,
// running state and the starting of programs).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/interaction.h"
#include "platform/status.h"

namespace carob::registry {

// The maintenance program that shrinks the STATUS databank.
inline constexpr const char* kZadozo = "Zadozo";
// Above this size (in bytes) the STATUS databank is handed to "Zadozo".
inline constexpr int64_t kStatusWarnSize = 30720;
// The wait for "Zadozo" goes on while the STATUS databank has this size or more.
inline constexpr int64_t kStatusWaitSize = 51200;
// Started minimized, without taking the focus.
inline constexpr int32_t kZadozoWindowStyle = 6;
// How often a registration is tried before start-up goes on without it.
inline constexpr int kRegisterAttempts = 5;
// Pause between two registration attempts, in seconds.
inline constexpr double kRegisterRetryPause = 0.2;
// Pause of every turn of a wait loop, in seconds.
inline constexpr double kWaitStep = 0.05;

inline constexpr const char* kSizeWarningTitle = "ORB STATUS subsystem";
inline constexpr const char* kSizeWarningText =
    "The STATUS databank size has been determined to be too big (over 30k), which would "
    "otherwise cause this application to stop responding. \r\n"
    "\r\n"
    "This application will now wait until the error is repaired and then resume loading.\r\n"
    "\r\n"
    "Press OK to begin.";

// Whether the first registry operation runs the size guard. A tool that
// only reads or writes a few files of the family (and needs no running
// family) leaves the maintenance program alone.
enum class SizeGuard { kOn, kOff };

class Registry {
 public:
  // The size warning's message box and the yields of the wait for a
  // program to start go to `interaction` (the window's, when there is one).
  // Every wait ends early once `interaction` is closing (a close signal).
  Registry(platform::Env& env, databank::Databank& db,
           platform::Interaction& interaction = platform::NoWindow(),
           SizeGuard guard = SizeGuard::kOn);

  // Settles StatusBank from "C:\FileLoc" (writing the default when the key is
  // missing) and runs the size guard. Runs once per process, from the first
  // registry operation.
  void LocateStatusBank();

  // Records app as running, with its login date, time and path; tells why
  // the registration did not hold: the first write that failed in its last
  // attempt, or ok once the read-back shows it running.
  [[nodiscard]] platform::Status RegisterApplication(const std::string& app);
  void RegisterInformation(const std::string& app, const std::string& fact,
                           const std::string& value);
  void UnregisterApplication(const std::string& app);
  std::string GetLocalId();
  int32_t GetPulse();

  bool IsRunning(const std::string& app);
  bool IsInstalled(const std::string& app);
  void RunApplication(const std::string& app, int32_t window_style);
  // Starts an installed app that is not running and waits until it runs,
  // or until `done` (when given) reports true, or until the program is
  // asked to close.
  void EnsureRunning(const std::string& app, int32_t window_style,
                     const std::function<bool()>& done = nullptr);

  const std::string& StatusBank() const { return status_bank_; }

  // The name of the STATUS databank as LocateStatusBank would settle it, but
  // without writing anything and without the size guard (for tools that only
  // look). Does not change StatusBank.
  std::string FindStatusBank();

  // The executable path recorded under " path" for the running program.
  std::string ExecutablePath() const;

 private:
  void EnsureLocated();
  // Size of the STATUS databank's file; nullopt when it cannot be read.
  std::optional<int64_t> StatusSize();
  // One pass of the registration; true when the read-back shows it running.
  // `failure` receives the first write that failed.
  bool TryRegister(const std::string& app, platform::Status& failure);

  // The value of key in the STATUS databank ("" when it cannot be read;
  // `read` then tells why), and the checked write of one.
  std::string Recorded(std::string_view key, platform::Status* read = nullptr);
  [[nodiscard]] platform::Status Record(std::string_view key, std::string_view value);

  platform::Env& env_;
  databank::Databank& db_;
  platform::Interaction& interaction_;
  SizeGuard guard_;
  std::string status_bank_;
  int32_t last_pulse_ = 1000;  // the Pulse last read (the default before any)
};

// The interval the receive timer runs at for a Pulse, in milliseconds: the
// timer takes 1 to 65535, so a Pulse below 1 ms (a 0 included) runs at the
// default 1000 and a larger one at 65535.
int32_t TimerInterval(int32_t pulse);

// Reads the number at the start of text: blanks are ignored wherever they
// stand, then an optional sign, digits with an optional decimal point and an
// optional exponent. Reading stops at the first character that cannot go on
// with the number; text without a number reads 0.
double ReadLeadingNumber(std::string_view text);

// Rounds to the nearest whole number, halves to the even neighbour; nullopt
// when the result does not fit a 32-bit signed integer.
std::optional<int32_t> RoundToInt32(double value);

}  // namespace carob::registry
