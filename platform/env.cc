#include "platform/env.h"

namespace carob::platform {

}  // namespace carob::platform
