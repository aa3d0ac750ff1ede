// An Interaction a test scripts: its yields and message boxes run what the
// test gives; unset, they behave as a program without a window.
#pragma once

#include <functional>
#include <string>

#include "platform/interaction.h"

namespace carob::testing {

struct ScriptedInteraction : platform::Interaction {
  std::function<void()> on_yield;
  std::function<void(const std::string& text, const std::string& title)> on_message_box;

  void Yield() override {
    if (on_yield) {
      on_yield();
    } else {
      platform::NoWindow().Yield();
    }
  }
  void MessageBox(const std::string& text, const std::string& title) override {
    if (on_message_box) {
      on_message_box(text, title);
    } else {
      platform::NoWindow().MessageBox(text, title);
    }
  }
};

}  // namespace carob::testing
