#pragma once

namespace Oskelo::CV::Native64::detail {

// Whether a display is there to show debugging windows on (DISPLAY or WAYLAND_DISPLAY is set).
// Without one the GUI toolkit cannot open a window and a wait for a key would never end.
bool DisplayAvailable();

}  // namespace Oskelo::CV::Native64::detail
