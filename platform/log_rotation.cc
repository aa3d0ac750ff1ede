#include "platform/log_rotation.h"

namespace carob::platform {

std::string PreviousLogName(const std::string& log) { return log + ".x"; }

void StartLogAfresh(Env& env, const std::string& log, bool keep_previous) {
  if (keep_previous) {
    const std::string previous = PreviousLogName(log);
    if (env.FindFile(previous)) (void)env.Delete(previous);  // then the rename fails
    if (env.FindFile(log)) (void)env.Rename(log, previous);  // then the log is appended to
  } else if (env.FindFile(log)) {
    (void)env.Delete(log);  // then appended to
  }
}

}  // namespace carob::platform
