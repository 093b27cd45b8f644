#include "reports/Coverage.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "reports/TextFormat.h"

namespace dotcal {
namespace {

// The outer fifth begins at this share of the way from the centre to the image's border.
constexpr double kInnerShare = 0.8;
constexpr const char* kQuadrantNames[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};

// The quadrant of a point about the image's centre: 0 top-left, 1 top-right, 2 bottom-right,
// 3 bottom-left (image y down).
int Quadrant(const cv::Point2d& p, const cv::Point2d& centre) {
  const bool right = p.x >= centre.x, below = p.y >= centre.y;
  return below ? (right ? 2 : 3) : (right ? 1 : 0);
}

// Pixel centres run from 0 to size - 1; the image's border lies half a pixel beyond.
cv::Point2d Centre(cv::Size size) { return {0.5 * (size.width - 1), 0.5 * (size.height - 1)}; }

bool InOuterFifth(const cv::Point2d& p, cv::Size size) {
  const cv::Point2d c = Centre(size);
  return std::abs(p.x - c.x) > kInnerShare * 0.5 * size.width ||
         std::abs(p.y - c.y) > kInnerShare * 0.5 * size.height;
}

}  // namespace

Coverage MeasureCoverage(cv::Size imageSize, const std::vector<std::vector<cv::Point2d>>& views) {
  Coverage coverage;
  coverage.imageSize = imageSize;
  const cv::Point2d centre = Centre(imageSize);
  for (const std::vector<cv::Point2d>& view : views) {
    for (const cv::Point2d& dot : view) {
      coverage.dots.push_back(dot);
      if (InOuterFifth(dot, imageSize)) ++coverage.outerDots[Quadrant(dot, centre)];
    }
  }
  return coverage;
}

std::vector<std::string> CoverageWarnings(const Coverage& coverage, const std::string& camera) {
  std::vector<std::string> warnings;
  for (int q = 0; q < 4; ++q) {
    if (coverage.outerDots[q] > 0) continue;
    warnings.push_back(Format(
        "no dot of the %s camera fell in the outer fifth of its image toward the %s corner: the "
        "lens distortion is extrapolated there; add views with the plate near that corner",
        camera.c_str(), kQuadrantNames[q]));
  }
  return warnings;
}

cv::Mat DrawCoverage(const Coverage& coverage, double scale) {
  const cv::Size size(
      std::max(1, static_cast<int>(std::lround(coverage.imageSize.width * scale))),
      std::max(1, static_cast<int>(std::lround(coverage.imageSize.height * scale))));
  cv::Mat image(size, CV_8UC3, cv::Scalar(255, 255, 255));
  const cv::Point2d centre = Centre(coverage.imageSize);
  const double halfWidth = kInnerShare * 0.5 * coverage.imageSize.width;
  const double halfHeight = kInnerShare * 0.5 * coverage.imageSize.height;
  const auto toImage = [&](double x, double y) {
    return cv::Point(static_cast<int>(std::lround((x + 0.5) * scale - 0.5)),
                     static_cast<int>(std::lround((y + 0.5) * scale - 0.5)));
  };
  // The quadrants of the outer fifth without a dot, shaded red: each one the quadrant's part of
  // the image minus the inner rectangle.
  for (int q = 0; q < 4; ++q) {
    if (coverage.outerDots[q] > 0) continue;
    const bool right = q == 1 || q == 2, below = q >= 2;
    const cv::Rect quadrant(toImage(right ? centre.x : -0.5, below ? centre.y : -0.5),
                            toImage(right ? coverage.imageSize.width - 0.5 : centre.x,
                                    below ? coverage.imageSize.height - 0.5 : centre.y));
    cv::rectangle(image, quadrant, cv::Scalar(200, 200, 255), cv::FILLED);
  }
  cv::rectangle(image, toImage(centre.x - halfWidth, centre.y - halfHeight),
                toImage(centre.x + halfWidth, centre.y + halfHeight), cv::Scalar(255, 255, 255),
                cv::FILLED);
  cv::rectangle(image, toImage(centre.x - halfWidth, centre.y - halfHeight),
                toImage(centre.x + halfWidth, centre.y + halfHeight), cv::Scalar(128, 128, 128), 1);
  for (const cv::Point2d& dot : coverage.dots) {
    cv::circle(image, toImage(dot.x, dot.y), 1, cv::Scalar(160, 60, 0), cv::FILLED);
  }
  return image;
}

}  // namespace dotcal
