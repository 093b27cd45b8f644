#include "detection/TargetDetection.h"

#include "detection/MissReason.h"
#include "detection/SizeScale.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::FindTargetsInImage;
using Oskelo::CV::Native64::ImageProcessor;

// Threshold state that searches the whole image at the threshold given.
constexpr int kWholeImageState = 4;
// Threshold state that takes Otsu's threshold over the grey region.
constexpr int kOtsuState = 2;

cv::Rect WholeImage(const cv::Mat& image) { return {0, 0, image.cols, image.rows}; }

}  // namespace

Detection DetectTarget(const cv::Mat& image, const TargetShape& shape) {
  ImageProcessor detector;
  ConfigureDetector(*detector.settings, shape);
  const std::optional<double> measured = MeasureOutlineScale(*detector.settings, image);
  return DetectTarget(image, shape,
                      ChooseSizeScale(measured ? std::vector{*measured} : std::vector<double>{}));
}

Detection DetectTarget(const cv::Mat& image, const TargetShape& shape, double sizeScale) {
  ImageProcessor detector;
  ConfigureDetector(*detector.settings, shape);
  detector.settings->sizeScale = sizeScale;
  Detection detection;
  detection.sizeScale = sizeScale;
  std::vector<cv::Point2d> dots;
  if (Oskelo::CV::Native64::FindTargetsBySweep(detector, image, dots, &detection.threshold) &&
      dots.size() == static_cast<std::size_t>(shape.dots)) {
    detection.found = true;
    detection.dots = std::move(dots);
    return detection;
  }
  detection.threshold = -1;
  detection.reason = ExplainMiss(*detector.settings, image);
  return detection;
}

TargetFollower::TargetFollower(const TargetShape& shape)
    : dotCount_(static_cast<std::size_t>(shape.dots)) {
  ConfigureDetector(*detector_.settings, shape);
  detector_.settings->thresholdState = kOtsuState;
}

bool TargetFollower::Next(const cv::Mat& image, std::vector<cv::Point2d>& dots) {
  dots.clear();
  if (!seen_) {
    // Not found yet: every frame is searched whole, so measure the target's outline in it.
    MeasureScale(image);
    roi_ = targetRect_ = WholeImage(image);
    return Search(image, dots);
  }
  if (Search(image, dots)) return true;
  // Lost: the target may have moved beyond the search region, or nearer or farther. Look over the
  // whole frame at the threshold that found it last.
  MeasureScale(image);
  detector_.settings->thresholdState = kWholeImageState;
  detector_.settings->threshold = lastThreshold_;
  roi_ = targetRect_ = WholeImage(image);
  return Search(image, dots);
}

void TargetFollower::MeasureScale(const cv::Mat& image) {
  const std::optional<double> measured = MeasureOutlineScale(*detector_.settings, image);
  if (measured) detector_.settings->sizeScale = ChooseSizeScale({*measured});
}

bool TargetFollower::Search(const cv::Mat& image, std::vector<cv::Point2d>& dots) {
  std::vector<cv::Point2d> targets;
  const bool found = FindTargetsInImage(detector_, image, targets, roi_, targetRect_, {});
  if (!found || targets.size() != dotCount_) return false;
  if (!seen_) {
    // Later frames scale the threshold by their target's brightness relative to this one.
    detector_.settings->referenceGrey = detector_.settings->meanGrey;
    seen_ = true;
  }
  lastThreshold_ = detector_.settings->threshold;
  dots = std::move(targets);
  return true;
}

}  // namespace dotcal
