#include "native64/TargetSurvey.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "imgproc/ContourClustering.h"
#include "imgproc/TargetSearch.h"

namespace Oskelo::CV::Native64 {
namespace {

constexpr double kMaxGrey = 255.0;  // bright pixels after binarisation, as the search makes them

detail::BoxGeometry GeometryAt(const ImageProcessorSettings& s, double sizeScale) {
  return detail::ExpectedBoxGeometry(s.dotCount, s.gridRows, s.gridColumns, s.dotSpacing,
                                     s.dotDiameter, sizeScale);
}

// Judges the outer contour `outer` and its holes as the box search does: the dot window follows
// the outline's length, and the score runs over the dot-sized holes in hierarchy order.
SurveyedRegion JudgeRegion(const std::vector<std::vector<cv::Point>>& contours,
                           const std::vector<cv::Vec4i>& hierarchy, int outer,
                           const detail::BoxGeometry& geometry, int dotCount) {
  SurveyedRegion region;
  region.bounds = cv::boundingRect(contours[outer]);
  region.outlineLength = static_cast<int>(contours[outer].size());
  const double outlineLength = region.outlineLength;
  const detail::DotWindow window = detail::DotWindowFor(geometry, outlineLength);
  region.dotLengthLow = window.low;
  region.dotLengthHigh = window.high;
  detail::Score dotScore = 0;
  for (int hole = hierarchy[outer][2]; hole >= 0; hole = hierarchy[hole][0]) {
    ++region.holes;
    const double holeLength = static_cast<double>(contours[hole].size());
    if (!detail::DotLengthFits(window, holeLength)) continue;
    ++region.dotSizedHoles;
    dotScore = detail::AddDotScore(dotScore, holeLength, window);
  }
  region.outlineFits = detail::BoxLengthFits(geometry, outlineLength);
  region.qualifies = region.outlineFits && region.dotSizedHoles == dotCount &&
                     detail::BoxScore(geometry, outlineLength, dotScore) < detail::kNoScore;
  return region;
}

}  // namespace

TargetSurvey SurveyTargets(const ImageProcessorSettings& settings, const cv::Mat& image,
                           int threshold) {
  const cv::Mat& pixels = detail::ViewImage(image, "SurveyTargets").pixels;
  TargetSurvey survey;
  survey.threshold = threshold;
  const detail::BoxGeometry geometry = GeometryAt(settings, settings.sizeScale);
  survey.minOutlineLength = geometry.minBoxLength;
  survey.maxOutlineLength = geometry.maxBoxLength;
  survey.idealOutlineLength = geometry.idealBoxLength;
  survey.idealOutlineLengthAtUnitScale = GeometryAt(settings, 1.0).idealBoxLength;

  cv::Mat binary;
  cv::threshold(pixels, binary, threshold, kMaxGrey, cv::THRESH_BINARY);
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  cv::findContours(binary, contours, hierarchy, cv::RETR_CCOMP, settings.contourMethod);
  for (int c = 0; c < static_cast<int>(contours.size()); ++c) {
    if (hierarchy[c][2] < 0) continue;  // no holes
    survey.regions.push_back(JudgeRegion(contours, hierarchy, c, geometry, settings.dotCount));
  }
  std::stable_sort(survey.regions.begin(), survey.regions.end(),
                   [](const SurveyedRegion& a, const SurveyedRegion& b) {
                     return a.outlineLength > b.outlineLength;
                   });
  return survey;
}

}  // namespace Oskelo::CV::Native64
