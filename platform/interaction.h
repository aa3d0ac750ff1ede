// What the layers above platform/ ask of the person in front of the machine:
// a chance for the window to handle its events during long work, and a
// modal warning. The window toolkit (ui/ui.h) is one; a program
// without a window uses NoWindow().
#pragma once

#include <string>

namespace carob::platform {

class Interaction {
 public:
  virtual ~Interaction() = default;
  // Lets the window handle its pending events and returns.
  virtual void Yield() = 0;
  // A modal message box with a warning icon and one OK button; returns when
  // answered.
  virtual void MessageBox(const std::string& text, const std::string& title) = 0;
  // True once the program has been asked to close: a long wait or a walk
  // over many lines stops at its next step. Without a window that is a
  // close signal caught (platform/signals.h).
  virtual bool Closing();
};

// The interaction of a program without a window: Yield returns at once, and
// a message box is written to standard error as "title: text" and a line end,
// counting as answered at once. Never fails; shared by every caller.
Interaction& NoWindow();

}  // namespace carob::platform
