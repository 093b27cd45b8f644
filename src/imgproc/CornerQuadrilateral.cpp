#include "imgproc/CornerQuadrilateral.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "utils/FlooredMod.h"

namespace Oskelo::CV::Native64::detail {
namespace {

constexpr double kCoarseEpsilonPx = 5.0;  // first simplification of the hull
constexpr double kFineEpsilonPx = 2.0;    // retry when the first one leaves fewer than 4 vertices
constexpr std::size_t kCornerCount = 4;

// |p - q|^2 with the squares and their sum in single precision.
double SquaredDistance(const cv::Point2f& p, const cv::Point2f& q) {
  const float dx = p.x - q.x;
  const float dy = p.y - q.y;
  const float dx2 = dx * dx;
  const float dy2 = dy * dy;
  const float sum = dx2 + dy2;
  return sum;
}

std::vector<cv::Point2f> FiniteSinglePrecisionCopy(const std::vector<cv::Point2d>& points) {
  std::vector<cv::Point2f> copy;
  copy.reserve(points.size());
  for (const cv::Point2d& p : points) {
    const cv::Point2f q(static_cast<float>(p.x), static_cast<float>(p.y));
    if (std::isfinite(q.x) && std::isfinite(q.y)) copy.push_back(q);
  }
  return copy;
}

std::vector<cv::Point2f> Simplified(const std::vector<cv::Point2f>& hull, double epsilonPx) {
  std::vector<cv::Point2f> polygon;
  cv::approxPolyDP(hull, polygon, epsilonPx, true);
  return polygon;
}

}  // namespace

double VertexFlatness(const cv::Point2f& previous, const cv::Point2f& vertex,
                      const cv::Point2f& next) {
  const double a2 = SquaredDistance(previous, vertex);
  const double b2 = SquaredDistance(next, vertex);
  const double c2 = SquaredDistance(previous, next);
  const double a = std::sqrt(a2);
  const double b = std::sqrt(b2);
  if (a == 0.0 || b == 0.0) return 0.0;
  const double cosine = std::clamp((c2 - b2 - a2) / (-2.0 * b * a), -1.0, 1.0);
  return std::sin(std::acos(cosine)) * b;
}

void RemoveFlattestVertices(std::vector<cv::Point2f>& polygon) {
  while (polygon.size() > kCornerCount) {
    const int n = static_cast<int>(polygon.size());
    std::vector<double> flatness(polygon.size());
    for (int i = 0; i < n; ++i) {
      flatness[i] =
          VertexFlatness(polygon[FlooredMod(i - 1, n)], polygon[i], polygon[FlooredMod(i + 1, n)]);
    }
    // A one-row matrix, so the position is the column of the reported index pair.
    int minIdx[2] = {-1, -1};
    cv::minMaxIdx(cv::Mat(1, n, CV_64F, flatness.data()), nullptr, nullptr, minIdx);
    const int flattest = minIdx[1];
    if (flattest < 0 || flattest >= n) return;  // no comparable value: leave it, no 4 corners
    polygon.erase(polygon.begin() + flattest);
  }
}

std::vector<cv::Point2f> CornerQuadrilateral(const std::vector<cv::Point2d>& points,
                                             OutlineRetry retry) {
  std::vector<cv::Point2f> hull;
  const std::vector<cv::Point2f> cloud = FiniteSinglePrecisionCopy(points);
  if (!cloud.empty()) cv::convexHull(cloud, hull, false, true);
  // Simplification only removes vertices: a smaller hull cannot give four corners.
  if (hull.size() < kCornerCount) return hull;

  std::vector<cv::Point2f> polygon = Simplified(hull, kCoarseEpsilonPx);
  if (polygon.size() < kCornerCount && retry == OutlineRetry::kFinerEpsilon) {
    polygon = Simplified(hull, kFineEpsilonPx);
  }
  RemoveFlattestVertices(polygon);
  return polygon;
}

}  // namespace Oskelo::CV::Native64::detail
