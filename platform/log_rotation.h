// The family's logs start afresh at a program's start; the previous log may
// be kept beside the new one under the name "<log>.x" (one generation only).
#pragma once

#include <string>

#include "platform/env.h"

namespace carob::platform {

// The name a log's previous generation is kept under ("carob.log.x").
std::string PreviousLogName(const std::string& log);

// Starts the log at `log` afresh: with `keep_previous` it moves to
// PreviousLogName(log), in place of the generation kept there before;
// otherwise it is deleted. A log that cannot be moved or deleted stays as
// it is (its lines go on after the old ones); nothing is reported.
void StartLogAfresh(Env& env, const std::string& log, bool keep_previous);

}  // namespace carob::platform
