// The controls' own state. The toolkit only watches it (through the on_*
// notices) and reports the user's edits; the program reads and writes it
// the same way with or without a window.
#include "ui/ui.h"

namespace carob::platform::ui {

void ListBox::Clear() {
  items_.clear();
  if (on_items_changed) on_items_changed();
}

void ListBox::AddItem(const std::string& item) {
  items_.push_back(item);
  if (on_items_changed) on_items_changed();
}

std::string ListBox::List(int index) const {
  if (index < 0 || index >= ListCount()) return std::string();
  return items_[static_cast<size_t>(index)];
}

void ListBox::Refresh() {
  if (on_refresh) on_refresh();
}

void ComboBox::SetText(const std::string& text) {
  text_ = text;
  // The toolkit mirrors the new text first, so a Change handler that reads
  // the shown text sees the same thing as Text().
  if (on_text_set) on_text_set();
  if (Change) Change();
}

void ComboBox::UserEdited(const std::string& text) {
  text_ = text;
  if (Change) Change();
}

void ComboBox::UserPicked(int index) {
  if (index < 0 || index >= static_cast<int>(items.size())) return;
  text_ = items[static_cast<size_t>(index)];
  if (on_text_set) on_text_set();
  if (Click) Click();
}

void MainFormControls::Place() const {
  frame.caption = "Input/Output";
  frame.place = {120, 120, 3135, 1215};
  input_label.caption = "Input:";
  input_label.place = {120, 360, 615, 255};
  input.place = {840, 360, 2175, 315};
  input.items = {"User", "Lexwright"};
  output_label.caption = "Output:";
  output_label.place = {120, 720, 615, 255};
  output.place = {840, 720, 2175, 315};
  output.items = {"User", "Lexwright"};
  button.caption = "Think1";
  button.place = {120, 1440, 1215, 495};
  words.place = {120, 2640, 1215, 1035};
  memory.place = {3360, 120, 3015, 5715};
}

FormDescription MainFormControls::Describe(std::string caption) const {
  FormDescription form;
  form.caption = std::move(caption);
  form.client_width = 7110;
  form.client_height = 6000;
  form.frame = &frame;
  form.frame_labels = {&input_label, &output_label};
  form.frame_combos = {&input, &output};
  form.buttons = {&button};
  form.lists = {&words, &memory};
  form.timers = {&timer};
  return form;
}

}  // namespace carob::platform::ui
