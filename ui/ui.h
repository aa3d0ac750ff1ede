// The window toolkit seam. The program describes its window with these
// controls; a toolkit shows them (a real window) or runs them without a
// display (headless). The controls keep their state as plain data, so the
// program does not care which mode it runs in.
//
// Positions and sizes are in twips (15 twips a pixel).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/interaction.h"

namespace carob::platform::ui {

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;  // twips
};

// A list box that keeps its items in the order added.
class ListBox {
 public:
  Rect place;
  void Clear();
  void AddItem(const std::string& item);
  int ListCount() const { return static_cast<int>(items_.size()); }
  // The item at a position from 0; "" outside the list.
  std::string List(int index) const;
  // Repaints now (when shown).
  void Refresh();
  const std::vector<std::string>& items() const { return items_; }
  // Set by the toolkit: told after every change of the items.
  std::function<void()> on_items_changed;
  std::function<void()> on_refresh;

 private:
  std::vector<std::string> items_;
};

// A combo box: free text plus a drop-down list of items.
class ComboBox {
 public:
  Rect place;
  std::vector<std::string> items;
  const std::string& Text() const { return text_; }
  // Sets the text from the program (fires Change, as an edit would).
  void SetText(const std::string& text);
  // Called by the toolkit: the user edited the text (one call a keystroke).
  void UserEdited(const std::string& text);
  // Called by the toolkit: the user picked item `index` from the list.
  void UserPicked(int index);
  // The program's handlers.
  std::function<void()> Change;
  std::function<void()> Click;
  // Set by the toolkit: told when the program sets the text.
  std::function<void()> on_text_set;

 private:
  std::string text_;
};

class Button {
 public:
  Rect place;
  std::string caption;
  std::function<void()> Click;
};

// A caption at a place: a label, or the frame that groups controls.
class Label {
 public:
  Rect place;
  std::string caption;
};
using Frame = Label;

// A timer: Interval in milliseconds (0 stops it); Tick runs every Interval
// milliseconds while enabled. A change of Interval takes effect from the
// next tick on.
class Timer {
 public:
  int Interval = 1000;
  bool Enabled = true;
  std::function<void()> Tick;
};

// The whole window: caption, client area and controls. Controls in `frame`
// are placed relative to the frame.
struct FormDescription {
  std::string caption;
  int client_width = 0, client_height = 0;  // twips
  Frame* frame = nullptr;
  std::vector<Label*> frame_labels;
  std::vector<ComboBox*> frame_combos;
  std::vector<Button*> buttons;
  std::vector<ListBox*> lists;
  std::vector<Timer*> timers;
};

// The controls of CAROB's main window, named in the order of its layout: the
// one layout of carob and of the toolkit's probe program.
struct MainFormControls {
  Frame& frame;
  Label& input_label;
  ComboBox& input;
  Label& output_label;
  ComboBox& output;
  Button& button;
  ListBox& words;
  ListBox& memory;
  Timer& timer;

  // Puts the controls at their places, with their captions and the combo
  // boxes' items (the timer is left as it is).
  void Place() const;
  // The form of them with the given caption.
  FormDescription Describe(std::string caption) const;
};

// Events the program handles besides the controls' own.
struct FormEvents {
  std::function<void()> Load;
  std::function<void()> Unload;
  // SIGUSR1: a click on the form's first button.
  // SIGTERM, SIGINT, SIGHUP: the window closes (Unload runs, Run returns);
  // a message box that is open then counts as answered.
  // Run takes these signals from its start on, and the timers run from
  // the window's creation. Load's yields (and its message boxes) handle the
  // window's events: a tick that falls due, a click, a close request (which
  // Closing() then reports, so that Load's waits end; Run returns once Load
  // has). Signals that arrive outside a yield are acted on after Load.
};

// The toolkit is the program's Interaction: its yields and message boxes
// are the window's.
class Toolkit : public Interaction {
 public:
  virtual ~Toolkit() = default;
  // True when a real window is shown.
  virtual bool HasWindow() const = 0;
  // Creates the window, runs Load, then the event loop until the window
  // closes (by the user or by a signal); runs Unload and returns.
  virtual int Run(FormDescription& form, FormEvents& events) = 0;
  // Lets the event loop handle its pending events and returns. A tick
  // never starts inside another tick's yield; a click may arrive in any
  // yield (the button's Click runs nested, and may ignore it).
  void Yield() override = 0;
  // Modal message box with a warning icon and one OK button.
  void MessageBox(const std::string& text, const std::string& title) override = 0;
  // Shows a short status (a failed pass, for example) without adding
  // controls: in the caption with a window, on standard error without.
  virtual void ShowStatus(const std::string& text) = 0;
  // Closes the window from the program: once the running handler has
  // returned, the event loop ends, Unload runs and Run returns.
  virtual void Close() = 0;
  // Closing(): true once a close was asked for (by the user, the program
  // or a close signal) while Run runs; long work stops at its next step.
};

// A real window when a display can be opened, headless otherwise.
std::unique_ptr<Toolkit> NewToolkit();
std::unique_ptr<Toolkit> NewHeadlessToolkit();

inline int TwipsToPixels(int twips) { return (twips + 7) / 15; }

}  // namespace carob::platform::ui
