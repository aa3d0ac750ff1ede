// The toolkit with a real window, drawn with FLTK on an open X display.
#pragma once

#include <memory>

#include "ui/ui.h"

namespace carob::platform::ui {

// Assumes the display is open already (see NewToolkit).
std::unique_ptr<Toolkit> NewFltkToolkit();

}  // namespace carob::platform::ui
