#include "reports/Overlay.h"

#include <algorithm>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <string>

namespace dotcal {
namespace {

// Circle radius as a share of the distance to the nearest neighbouring dot (a dot's radius is a
// quarter of its spacing on the targets here), and its bounds in pixels.
constexpr double kRadiusShare = 0.4;
constexpr double kMinRadiusPx = 4.0;
constexpr double kMaxRadiusPx = 40.0;
// Font scale per pixel of dot spacing: a three-digit label (about 60 px wide at scale 1) then
// spans less than one spacing. With its bounds.
constexpr double kFontScalePerSpacingPx = 1.0 / 70.0;
constexpr double kMinFontScale = 0.3;
constexpr double kMaxFontScale = 1.5;
constexpr int kSubpixelBits = 4;  // circles drawn at 1/16 pixel
const cv::Scalar kCircleColour(0, 200, 0), kFirstColour(0, 0, 255), kLabelColour(0, 230, 255);
const cv::Scalar kOutlineColour(0, 0, 0);  // labels are outlined to read on bright and dark ground

double NearestNeighbourDistance(const std::vector<cv::Point2d>& dots) {
  double nearest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < dots.size(); ++i) {
    for (std::size_t j = i + 1; j < dots.size(); ++j) {
      nearest = std::min(nearest, cv::norm(dots[i] - dots[j]));
    }
  }
  return nearest;
}

}  // namespace

cv::Mat DrawDots(const cv::Mat& grey, const std::vector<cv::Point2d>& dots) {
  cv::Mat image;
  cv::cvtColor(grey, image, cv::COLOR_GRAY2BGR);
  if (dots.empty()) return image;
  const double spacing = NearestNeighbourDistance(dots);
  const double radius = std::clamp(kRadiusShare * spacing, kMinRadiusPx, kMaxRadiusPx);
  const double fontScale =
      std::clamp(kFontScalePerSpacingPx * spacing, kMinFontScale, kMaxFontScale);
  const int thickness = radius > 15.0 ? 2 : 1;
  constexpr double kShift = 1 << kSubpixelBits;
  for (std::size_t i = 0; i < dots.size(); ++i) {
    const cv::Point centre(cvRound(dots[i].x * kShift), cvRound(dots[i].y * kShift));
    cv::circle(image, centre, cvRound(radius * kShift), i == 0 ? kFirstColour : kCircleColour,
               thickness, cv::LINE_AA, kSubpixelBits);
    const cv::Point label(cvRound(dots[i].x + 0.75 * radius), cvRound(dots[i].y - 0.75 * radius));
    cv::putText(image, std::to_string(i), label, cv::FONT_HERSHEY_SIMPLEX, fontScale,
                kOutlineColour, thickness + 2, cv::LINE_AA);
    cv::putText(image, std::to_string(i), label, cv::FONT_HERSHEY_SIMPLEX, fontScale, kLabelColour,
                thickness, cv::LINE_AA);
  }
  return image;
}

}  // namespace dotcal
