#include "detection/TargetDetection.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::ImageProcessor;

// The threshold sweep of the calibration: 20 to 215 in steps of 5 grey levels.
constexpr int kSweepFirst = 20;
constexpr int kSweepLast = 215;
constexpr int kSweepStep = 5;
// Threshold state that searches the whole image at the threshold given.
constexpr int kWholeImageState = 4;
// Threshold state that takes Otsu's threshold over the grey region.
constexpr int kOtsuState = 2;

}  // namespace

bool DetectTarget(const cv::Mat& image, const TargetShape& shape, std::vector<cv::Point2d>& dots) {
  ImageProcessor detector;
  ConfigureDetector(*detector.settings, shape, image.size());
  std::vector<std::vector<cv::Point2d>> found;  // one list per successful threshold, ascending
  for (int threshold = kSweepFirst; threshold <= kSweepLast; threshold += kSweepStep) {
    cv::Rect roi = detector.settings->imageRect, targetRect = roi;
    detector.settings->thresholdState = kWholeImageState;
    detector.settings->threshold = threshold;
    std::vector<cv::Point2d> targets;
    if (detector.FindTargets(image.data, targets, roi, targetRect, {}, true) &&
        targets.size() == static_cast<std::size_t>(shape.dots)) {
      found.push_back(std::move(targets));
    }
  }
  dots.clear();
  if (found.empty()) return false;
  // A detection at a fixed threshold over the whole image does not depend on earlier calls, so
  // the middle success is the result of detecting again at its threshold.
  dots = found[found.size() / 2];
  return true;
}

TargetFollower::TargetFollower(const TargetShape& shape, cv::Size imageSize)
    : dotCount_(static_cast<std::size_t>(shape.dots)) {
  ConfigureDetector(*detector_.settings, shape, imageSize);
  detector_.settings->thresholdState = kOtsuState;
  roi_ = detector_.settings->imageRect;
  targetRect_ = roi_;
}

bool TargetFollower::Next(const cv::Mat& image, std::vector<cv::Point2d>& dots) {
  dots.clear();
  if (Search(image, dots)) return true;
  if (!seen_) return false;
  // Lost: the target may have moved beyond the search region. Look over the whole frame at the
  // threshold that found it last.
  detector_.settings->thresholdState = kWholeImageState;
  detector_.settings->threshold = lastThreshold_;
  roi_ = detector_.settings->imageRect;
  targetRect_ = roi_;
  return Search(image, dots);
}

bool TargetFollower::Search(const cv::Mat& image, std::vector<cv::Point2d>& dots) {
  std::vector<cv::Point2d> targets;
  const bool found = detector_.FindTargets(image.data, targets, roi_, targetRect_, {}, true);
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
