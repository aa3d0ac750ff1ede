#include "platform/interaction.h"

#include <cstdio>

#include "platform/signals.h"

namespace carob::platform {
namespace {

class NoWindowInteraction : public Interaction {
 public:
  void Yield() override {}
  void MessageBox(const std::string& text, const std::string& title) override {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
  }
};

}  // namespace

bool Interaction::Closing() { return StopRequested(); }

Interaction& NoWindow() {
  static NoWindowInteraction interaction;
  return interaction;
}

}  // namespace carob::platform
