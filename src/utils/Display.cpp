#include "utils/Display.h"

#include <cstdlib>
#include <initializer_list>

namespace Oskelo::CV::Native64::detail {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

}  // namespace Oskelo::CV::Native64::detail
