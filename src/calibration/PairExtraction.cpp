#include "imgproc/TargetSearch.h"
#include "native64/Calibration.h"

namespace Oskelo::CV::Native64 {
namespace {

// The threshold sweep: 20, 25, ..., 215.
constexpr int kFirstThreshold = 20;
constexpr int kThresholdStep = 5;
constexpr int kThresholdEnd = 220;
// The forced whole-frame state: search the whole image at the threshold given.
constexpr int kForcedWholeFrameState = 4;

// One camera's image while it is searched at several thresholds. What the detector measures of
// the frame itself (the whole image's grey level) is measured once and reused.
class FrameSearch {
 public:
  FrameSearch(ImageProcessorSettings& settings, const unsigned char* image)
      : settings_(settings), image_(image) {}

  // The short-form search over the whole image, in the forced whole-frame state at `threshold`.
  bool AtThreshold(int threshold, std::vector<cv::Point_<double>>& targets) {
    settings_.thresholdState = kForcedWholeFrameState;
    settings_.threshold = threshold;
    return Search(targets);
  }

  // The short-form search with the settings as they are.
  bool Search(std::vector<cv::Point_<double>>& targets) {
    cv::Rect_<int> region = settings_.imageRect;  // both regions, as the short form passes them
    return detail::FindTargets(settings_, image_, targets, region, region, {}, false, &frame_);
  }

 private:
  ImageProcessorSettings& settings_;
  const unsigned char* image_;
  detail::FrameMeasurements frame_;
};

}  // namespace

bool Calibration::ExtractPair(const unsigned char* left, const unsigned char* right) {
  if (left == nullptr || right == nullptr) {
    CV_Error(cv::Error::StsNullPtr, "ExtractPair: an image buffer is null");
  }
  FrameSearch leftSearch(*settings, left);
  FrameSearch rightSearch(*settings, right);
  std::vector<cv::Point_<double>> leftFound, rightFound;
  std::vector<int> leftThresholds, rightThresholds;

  // Thresholds at which each camera's image shows the plate, ascending.
  if (settings->fixedThreshold) {
    if (leftSearch.Search(leftFound)) leftThresholds.push_back(settings->threshold);
    if (rightSearch.Search(rightFound)) rightThresholds.push_back(settings->threshold);
  } else {
    for (int t = kFirstThreshold; t < kThresholdEnd; t += kThresholdStep) {
      if (leftSearch.AtThreshold(t, leftFound)) leftThresholds.push_back(t);
      if (rightSearch.AtThreshold(t, rightFound)) rightThresholds.push_back(t);
    }
  }
  if (leftThresholds.empty() || rightThresholds.empty()) return false;

  // The final detections at each camera's middle successful threshold.
  leftFound.clear();
  rightFound.clear();
  const bool leftFinal = leftSearch.AtThreshold(leftThresholds[leftThresholds.size() / 2],
                                                leftFound);
  const bool rightFinal = rightSearch.AtThreshold(rightThresholds[rightThresholds.size() / 2],
                                                  rightFound);
  if (!leftFinal || !rightFinal || leftFound.empty() || rightFound.empty()) return false;
  leftTargets.push_back(leftFound);
  rightTargets.push_back(rightFound);
  return true;
}

}  // namespace Oskelo::CV::Native64
