#include "native64/Cone.h"

namespace Oskelo::CV::Native64 {

// Default rotation order of the angles: Rx * Ry * Rz.
constexpr int kDefaultEulerOrder = 1;

Cone::Cone()
    : eulerOrder(kDefaultEulerOrder),
      fitMethod(0),
      markerTracks(),
      markerOffsets(),
      pivot(0.0, 0.0, 0.0),
      reservedValue(1.0) {}

Cone::Cone(const Cone& other) = default;
Cone& Cone::operator=(const Cone& other) = default;
Cone::~Cone() = default;

}  // namespace Oskelo::CV::Native64
