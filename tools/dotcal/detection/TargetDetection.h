#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetShape.h"
#include "native64/ImageDetection.h"
#include "native64/Native64.h"

namespace dotcal {

// The outcome of looking for a target in one still image.
struct Detection {
  bool found = false;
  std::vector<cv::Point2d> dots;  // centres in grid order, pixels (empty when not found)
  double sizeScale = 1.0;         // the detector's sizeScale used
  int threshold = -1;             // the threshold of the final detection (-1: none)
  std::string reason;             // when not found: why, in words a user can act on
};

// Finds the target in a still image the way the calibration finds its plate (FindTargetsBySweep):
// the binarisation threshold is swept over the grey range and the middle of the thresholds at
// which every dot was found is taken. `image`: 8-bit grey of any size. The first form chooses sizeScale from the image
// (SizeScale.h); the second uses the one given.
Detection DetectTarget(const cv::Mat& image, const TargetShape& shape);
Detection DetectTarget(const cv::Mat& image, const TargetShape& shape, double sizeScale);

// Follows one target through the frames of one camera with the tracking form of the detection:
// the threshold and the search region carry over from frame to frame. The first search takes
// Otsu's threshold over the whole image; the brightness of the first target found becomes the
// reference against which later frames scale the threshold. When the target has moved out of the
// search region, the same frame is searched once more over the whole image at the threshold that
// found it last (the brightness scaling of the lost search may have moved the threshold far off).
// sizeScale is measured from the frame whenever the whole image is searched.
class TargetFollower {
 public:
  explicit TargetFollower(const TargetShape& shape);

  // Searches the next frame (8-bit grey, of one size for the whole sequence). True, with the dot
  // centres in grid order, when every dot of the target was found.
  bool Next(const cv::Mat& image, std::vector<cv::Point2d>& dots);

  double SizeScale() const { return detector_.settings->sizeScale; }

 private:
  bool Search(const cv::Mat& image, std::vector<cv::Point2d>& dots);
  void MeasureScale(const cv::Mat& image);

  Oskelo::CV::Native64::ImageProcessor detector_;
  cv::Rect roi_;         // where the next search looks (empty: the whole image)
  cv::Rect targetRect_;  // the region whose brightness steers the threshold
  std::size_t dotCount_;
  bool seen_ = false;      // the target has been found at least once
  int lastThreshold_ = 0;  // the threshold after the last success: midway between dots and box
};

}  // namespace dotcal
