#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "imgproc/TargetSearch.h"
#include "native64/ImageProcessorSettings.h"

// Pair extraction behind Calibration::ExtractPair and ExtractPairFromImages: the plate in both
// images of one stereo pair, found by a sweep of binarisation thresholds.
namespace Oskelo::CV::Native64::detail {

// Sweeps each camera's image through the thresholds 20, 25, ..., 215 in the forced whole-frame
// state (or searches once with the settings as they are, when fixedThreshold is set) and detects
// it again at its middle successful threshold (with the sweep's result there, which a second
// search would repeat). True, with both final ordered lists in
// `leftTargets` and `rightTargets`, when both final detections find targets; otherwise false, the
// lists then holding whatever the searches left. Both views must have imageRect's size.
bool ExtractPlatePair(ImageProcessorSettings& settings, const ImageView& left,
                      const ImageView& right, std::vector<cv::Point2d>& leftTargets,
                      std::vector<cv::Point2d>& rightTargets);

// The same sweep for one image: true, with the final ordered list in `targets` and its threshold in
// `finalThreshold`, when the final detection at the middle successful threshold finds targets.
bool FindTargetsBySweep(ImageProcessorSettings& settings, const ImageView& image,
                        std::vector<cv::Point2d>& targets, int& finalThreshold);

}  // namespace Oskelo::CV::Native64::detail
