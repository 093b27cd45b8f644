#include "detection/SizeScale.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace dotcal {
namespace {

using Oskelo::CV::Native64::SurveyTargets;
using Oskelo::CV::Native64::TargetSurvey;

// Thresholds tried after Otsu's, nearest to it first: the detector's sweep range (20 to 215) in
// steps of 20, coarse because a plate stays visible over a wide band of thresholds.
constexpr int kFirstThreshold = 20;
constexpr int kLastThreshold = 215;
constexpr int kThresholdStep = 20;
// The outline window spans 0.5 to 2 times the ideal length; outlines are kept this factor inside
// its ends, because the outline grows and shrinks a little with the threshold and differs between
// the two cameras.
constexpr double kWindowLow = 0.5;
constexpr double kWindowHigh = 2.0;
constexpr double kSafety = 1.25;

std::optional<double> ScaleOfTarget(const TargetSurvey& survey, int dotCount) {
  for (const auto& region : survey.regions) {  // longest first
    if (region.dotSizedHoles == dotCount) {
      return region.outlineLength / survey.idealOutlineLengthAtUnitScale;
    }
  }
  return std::nullopt;
}

std::vector<int> ThresholdsToTry(const cv::Mat& image) {
  cv::Mat binary;
  const int otsu = static_cast<int>(cv::threshold(image, binary, 0, 255, cv::THRESH_OTSU));
  std::vector<int> thresholds = {otsu};
  for (int t = kFirstThreshold; t <= kLastThreshold; t += kThresholdStep) thresholds.push_back(t);
  std::stable_sort(thresholds.begin() + 1, thresholds.end(),
                   [otsu](int a, int b) { return std::abs(a - otsu) < std::abs(b - otsu); });
  return thresholds;
}

}  // namespace

std::optional<double> MeasureOutlineScale(
    const Oskelo::CV::Native64::ImageProcessorSettings& settings, const cv::Mat& image) {
  for (int threshold : ThresholdsToTry(image)) {
    const std::optional<double> scale =
        ScaleOfTarget(SurveyTargets(settings, image, threshold), settings.dotCount);
    if (scale) return scale;
  }
  return std::nullopt;
}

double ChooseSizeScale(const std::vector<double>& measured) {
  if (measured.empty()) return 1.0;
  const auto [smallest, largest] = std::minmax_element(measured.begin(), measured.end());
  // Every outline r / k must lie within [low, high]: k from largest / high to smallest / low.
  const double low = kWindowLow * kSafety, high = kWindowHigh / kSafety;
  const double from = *largest / high, to = *smallest / low;
  if (from > to) return std::sqrt(*smallest * *largest);
  return std::clamp(1.0, from, to);
}

}  // namespace dotcal
