#include "calibration/PairExtraction.h"

#include <map>

#include "imgproc/ThresholdStateMachine.h"
#include "native64/Calibration.h"
#include "native64/ImageDetection.h"

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

// The threshold sweep: 20, 25, ..., 215.
constexpr int kFirstThreshold = 20;
constexpr int kThresholdStep = 5;
constexpr int kThresholdEnd = 220;
// The forced whole-frame state: search the whole image at the threshold given.
constexpr int kForcedWholeFrameState = 4;
// The contour mode of the plate: a box with the dots as its holes.
constexpr int kBoxWithHolesMode = 2;

// One camera's image while it is searched at several thresholds. What the detector measures of
// the frame itself (the whole image's grey level) is measured once and reused.
class FrameSearch {
 public:
  FrameSearch(ImageProcessorSettings& settings, const ImageView& image, SearchBuffers& buffers)
      : settings_(settings), image_(image) {
    frame_.sharedBuffers = &buffers;
  }

  // The short-form search over the whole image, in the forced whole-frame state at `threshold`.
  // What a successful search finds and leaves in the settings is kept for Final.
  bool AtThreshold(int threshold, std::vector<cv::Point2d>& targets) {
    settings_.thresholdState = kForcedWholeFrameState;
    settings_.threshold = threshold;
    if (!Search(targets)) return false;
    found_[threshold] = {targets, settings_.threshold, settings_.meanGrey, settings_.gridMap};
    return true;
  }

  // AtThreshold again at a threshold where it found the plate. In the forced whole-frame state
  // the search reads nothing of the settings that the sweep changes except the state counter,
  // which only the state machine reads: so the targets, grey level, next threshold and grid map
  // are those found before, and only the state machine steps on from where it stands (a box
  // search's success, the plate's contour mode). Other modes, and a search that prints its
  // progress, are run again.
  bool Final(int threshold, std::vector<cv::Point2d>& targets) {
    const auto known = found_.find(threshold);
    if (settings_.debug || settings_.contourMode != kBoxWithHolesMode || known == found_.end()) {
      return AtThreshold(threshold, targets);
    }
    const Found& found = known->second;
    AdvanceOnSuccess(settings_);
    settings_.threshold = found.nextThreshold;
    settings_.meanGrey = found.meanGrey;
    settings_.gridMap = found.gridMap;
    targets = found.targets;
    return true;
  }

  // The short-form search with the settings as they are.
  bool Search(std::vector<cv::Point2d>& targets) {
    cv::Rect region = settings_.imageRect;  // both regions, as the short form passes them
    return FindTargets(settings_, image_, targets, region, region, {}, &frame_);
  }

 private:
  // A successful search: its targets and what it left in the settings.
  struct Found {
    std::vector<cv::Point2d> targets;
    int nextThreshold = 0;
    int meanGrey = 0;
    std::vector<std::vector<int>> gridMap;
  };

  ImageProcessorSettings& settings_;
  const ImageView& image_;
  FrameMeasurements frame_;
  std::map<int, Found> found_;  // by threshold
};

// The box search's buffers, kept per thread from one image to the next: a sweep's first,
// noisiest threshold would otherwise spend much of its time having fresh pages mapped.
SearchBuffers& ThreadSearchBuffers() {
  thread_local SearchBuffers buffers;
  return buffers;
}

}  // namespace

bool ExtractPlatePair(ImageProcessorSettings& settings, const ImageView& left,
                      const ImageView& right, std::vector<cv::Point2d>& leftTargets,
                      std::vector<cv::Point2d>& rightTargets) {
  SearchBuffers& buffers = ThreadSearchBuffers();
  FrameSearch leftSearch(settings, left, buffers);
  FrameSearch rightSearch(settings, right, buffers);
  std::vector<int> leftThresholds, rightThresholds;

  // Thresholds at which each camera's image shows the plate, ascending.
  if (settings.fixedThreshold) {
    if (leftSearch.Search(leftTargets)) leftThresholds.push_back(settings.threshold);
    if (rightSearch.Search(rightTargets)) rightThresholds.push_back(settings.threshold);
  } else {
    for (int t = kFirstThreshold; t < kThresholdEnd; t += kThresholdStep) {
      if (leftSearch.AtThreshold(t, leftTargets)) leftThresholds.push_back(t);
      if (rightSearch.AtThreshold(t, rightTargets)) rightThresholds.push_back(t);
    }
  }
  if (leftThresholds.empty() || rightThresholds.empty()) return false;

  // The final detections at each camera's middle successful threshold.
  leftTargets.clear();
  rightTargets.clear();
  const bool leftFinal = leftSearch.Final(leftThresholds[leftThresholds.size() / 2], leftTargets);
  const bool rightFinal =
      rightSearch.Final(rightThresholds[rightThresholds.size() / 2], rightTargets);
  return leftFinal && rightFinal && !leftTargets.empty() && !rightTargets.empty();
}

bool FindTargetsBySweep(ImageProcessorSettings& settings, const ImageView& image,
                        std::vector<cv::Point2d>& targets, int& finalThreshold) {
  FrameSearch search(settings, image, ThreadSearchBuffers());
  std::vector<int> thresholds;
  if (settings.fixedThreshold) {
    if (search.Search(targets)) thresholds.push_back(settings.threshold);
  } else {
    for (int t = kFirstThreshold; t < kThresholdEnd; t += kThresholdStep) {
      if (search.AtThreshold(t, targets)) thresholds.push_back(t);
    }
  }
  if (thresholds.empty()) return false;
  targets.clear();
  finalThreshold = thresholds[thresholds.size() / 2];
  return search.Final(finalThreshold, targets) && !targets.empty();
}

}  // namespace detail

namespace {

// Appends the pair when the plate is found in both views.
bool AppendPlatePair(Calibration& calibration, const detail::ImageView& left,
                     const detail::ImageView& right) {
  std::vector<cv::Point_<double>> leftFound, rightFound;
  if (!detail::ExtractPlatePair(*calibration.settings, left, right, leftFound, rightFound)) {
    return false;
  }
  calibration.leftTargets.push_back(leftFound);
  calibration.rightTargets.push_back(rightFound);
  return true;
}

}  // namespace

bool Calibration::ExtractPair(const unsigned char* left, const unsigned char* right) {
  if (left == nullptr || right == nullptr) {
    CV_Error(cv::Error::StsNullPtr, "ExtractPair: an image buffer is null");
  }
  // Both buffers are wrapped, and so the layout settings checked, before the sweep changes any.
  const detail::ImageView leftView = detail::WrapImageBuffer(left, *settings, false);
  const detail::ImageView rightView = detail::WrapImageBuffer(right, *settings, false);
  return AppendPlatePair(*this, leftView, rightView);
}

bool FindTargetsBySweep(ImageProcessor& detector, const cv::Mat& image,
                        std::vector<cv::Point_<double>>& targets, int* threshold) {
  const detail::ImageView view = detail::ViewImage(image, "FindTargetsBySweep");
  detector.settings->imageRect.width = image.cols;
  detector.settings->imageRect.height = image.rows;
  std::vector<cv::Point_<double>> found;
  int finalThreshold = -1;
  if (!detail::FindTargetsBySweep(*detector.settings, view, found, finalThreshold)) return false;
  targets = found;
  if (threshold != nullptr) *threshold = finalThreshold;
  return true;
}

bool ExtractPairFromImages(Calibration& calibration, const cv::Mat& left, const cv::Mat& right) {
  const detail::ImageView leftView = detail::ViewImage(left, "ExtractPairFromImages");
  const detail::ImageView rightView = detail::ViewImage(right, "ExtractPairFromImages");
  if (left.size() != right.size()) {
    CV_Error(cv::Error::StsUnmatchedSizes,
             cv::format("ExtractPairFromImages: the left image is %d x %d, the right %d x %d",
                        left.cols, left.rows, right.cols, right.rows));
  }
  calibration.settings->imageRect.width = left.cols;
  calibration.settings->imageRect.height = left.rows;
  return AppendPlatePair(calibration, leftView, rightView);
}

}  // namespace Oskelo::CV::Native64
