#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "detection/TargetShape.h"
#include "native64/Native64.h"

namespace dotcal {

// Finds the target in a still image the way the calibration finds its plate: the binarisation
// threshold is swept over the grey range and the middle of the thresholds at which every dot was
// found is taken. `image`: 8-bit grey with packed rows. On success `dots` holds the centres in
// grid order (pixels); otherwise it is emptied.
bool DetectTarget(const cv::Mat& image, const TargetShape& shape, std::vector<cv::Point2d>& dots);

// Follows one target through the frames of one camera with the tracking form of FindTargets: the
// threshold and the search region carry over from frame to frame. The first search takes Otsu's
// threshold over the whole image; the brightness of the first target found becomes the reference
// against which later frames scale the threshold. When the target has moved out of the search
// region, the same frame is searched once more over the whole image at the threshold that found
// it last (the brightness scaling of the lost search may have moved the threshold far off).
class TargetFollower {
 public:
  TargetFollower(const TargetShape& shape, cv::Size imageSize);

  // Searches the next frame (8-bit grey, packed rows, of the follower's size). True, with the dot
  // centres in grid order, when every dot of the target was found.
  bool Next(const cv::Mat& image, std::vector<cv::Point2d>& dots);

 private:
  bool Search(const cv::Mat& image, std::vector<cv::Point2d>& dots);

  Oskelo::CV::Native64::ImageProcessor detector_;
  cv::Rect roi_;         // where the next search looks
  cv::Rect targetRect_;  // the region whose brightness steers the threshold
  std::size_t dotCount_;
  bool seen_ = false;      // the target has been found at least once
  int lastThreshold_ = 0;  // the threshold after the last success: midway between dots and box
};

}  // namespace dotcal
