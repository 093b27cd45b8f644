#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "native64/Native64.h"
#include "native64/TargetSurvey.h"

namespace dotcal {

// The detector accepts a target only while the length of its bright region's outline lies within
// a window (0.5 to 2 times an ideal length) that is tied to the numeric value of dotSpacing and
// scaled by sizeScale: the same plate described in metres, or seen from nearer, would be missed.
// The tool therefore measures the outline in the image and sets sizeScale for the user.

// The outline of the target in `image`, as the sizeScale that would put it at the ideal length:
// the longest bright region that shows the target's number of dot-sized holes (dot sizes are
// judged relative to the outline, so the search for it does not depend on the scale), at the
// image's Otsu threshold or, failing that, at thresholds spread over the grey range. Nothing when
// no region qualifies. `settings` describes the target; the image is 8-bit grey of any size.
std::optional<double> MeasureOutlineScale(
    const Oskelo::CV::Native64::ImageProcessorSettings& settings, const cv::Mat& image);

// The sizeScale for a group of images (both images of a pair) whose outlines measure `measured`:
// 1 (the detector's nominal window) when every outline lies well inside the window there,
// otherwise the value nearest 1 at which they all do; when no value serves all of them, the one
// midway between the extremes. With no measurement, 1.
double ChooseSizeScale(const std::vector<double>& measured);

}  // namespace dotcal
