#include "platform/ui.h"

namespace carob::platform::ui {
std::unique_ptr<Toolkit> NewToolkit() { return NewHeadlessToolkit(); }
}  // namespace carob::platform::ui
