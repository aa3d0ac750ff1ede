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

}  // namespace carob::platform::ui
