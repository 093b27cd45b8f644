#pragma once

#include "native64/ImageProcessorSettings.h"

// The state machine of the adaptive threshold (thresholdState and stateCounter of the settings):
// 0 tracking, 1 brightness retry, 2 Otsu retry, 3 whole-frame search, 4 forced whole frame.
namespace Oskelo::CV::Native64::detail {

// A box was found: back to tracking; the counter counts the success streak (at least 10, and
// back to 15 once it passes 1000 so that it never overflows).
void AdvanceOnSuccess(ImageProcessorSettings& settings);

// No box was found. A loss after a streak above 12 retries with brightness scaling for four calls,
// then with Otsu for four calls, then searches the whole frame (counter 0 resets the regions); a
// shorter streak goes to the whole-frame search at once. Otherwise the counter counts down.
void AdvanceOnFailure(ImageProcessorSettings& settings);

}  // namespace Oskelo::CV::Native64::detail
