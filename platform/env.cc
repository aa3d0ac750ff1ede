#include <cstdio>

#include "platform/env.h"

namespace carob::platform {

void Env::MessageBox(const std::string& text, const std::string& title) {
  if (box_hook_) {
    box_hook_(text, title);
    return;
  }
  // No window: the message goes to standard error and counts as answered.
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace carob::platform
