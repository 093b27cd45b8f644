#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "native64/Native64.h"
#include "native64/TargetSurvey.h"

namespace dotcal {

// Why the threshold sweep found no target in `image`, in words a user can act on: no bright region
// with holes at any threshold; the region that comes closest and how many holes of dot size it
// has against the number expected; a region with the right number whose outline lies outside
// the length this target at this scale allows; or a region that qualifies but whose dots could
// not be put in grid order. `settings` describes the target, sizeScale included.
std::string ExplainMiss(const Oskelo::CV::Native64::ImageProcessorSettings& settings,
                        const cv::Mat& image);

}  // namespace dotcal
