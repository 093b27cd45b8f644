#include "calibration/TargetSorting.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "imgproc/CornerQuadrilateral.h"
#include "native64/Calibration.h"

namespace Oskelo::CV::Native64 {
namespace detail {
namespace {

using Container = Calibration::Container;

bool AllFinite(const std::vector<cv::Point2d>& points) {
  return std::all_of(points.begin(), points.end(), [](const cv::Point2d& p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
  });
}

// Upper-left, upper-right, lower-left, lower-right: the two upper corners are the two with the
// smallest y, each pair ordered by x.
std::array<cv::Point2f, 4> ImageCorners(std::vector<cv::Point2f> quad) {
  std::sort(quad.begin(), quad.end(),
            [](const cv::Point2f& a, const cv::Point2f& b) { return a.y < b.y; });
  const auto byX = [](const cv::Point2f& a, const cv::Point2f& b) { return a.x < b.x; };
  std::sort(quad.begin(), quad.begin() + 2, byX);
  std::sort(quad.begin() + 2, quad.end(), byX);
  return {quad[0], quad[1], quad[2], quad[3]};
}

// First and last point of the first row, first and last point of the last row.
std::array<cv::Point2f, 4> PlateCorners(const std::vector<cv::Point3d>& nominal, cv::Size grid) {
  const int w = grid.width;
  const int n = grid.width * grid.height;
  const auto planar = [&nominal](int i) {
    return cv::Point2f(static_cast<float>(nominal[i].x), static_cast<float>(nominal[i].y));
  };
  return {planar(0), planar(w - 1), planar(n - w), planar(n - 1)};
}

}  // namespace

std::vector<cv::Point2d> SortAgainstPlate(const std::vector<cv::Point2d>& points,
                                          const std::vector<cv::Point3d>& nominal,
                                          cv::Size gridSize) {
  std::vector<cv::Point2d> ordered;
  if (gridSize.width < 1 || gridSize.height < 1) return ordered;
  const std::size_t nodes =
      static_cast<std::size_t>(gridSize.width) * static_cast<std::size_t>(gridSize.height);
  if (points.size() < nodes || nominal.size() < nodes || !AllFinite(points)) return ordered;

  const std::vector<cv::Point2f> quad = CornerQuadrilateral(points, OutlineRetry::kNone);
  if (quad.size() != 4) return ordered;

  const std::array<cv::Point2f, 4> imageCorners = ImageCorners(quad);
  const std::array<cv::Point2f, 4> plateCorners = PlateCorners(nominal, gridSize);
  const cv::Mat plateFromImage =
      cv::getPerspectiveTransform(imageCorners.data(), plateCorners.data());

  std::vector<cv::Point2d> mapped;
  cv::perspectiveTransform(points, mapped, plateFromImage);
  std::vector<Container> records(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) records[i] = {points[i], mapped[i]};

  // Rows by plate y, then each row by plate x.
  std::sort(records.begin(), records.end(), [](const Container& a, const Container& b) {
    return a.patternPoint.y < b.patternPoint.y;
  });
  ordered.reserve(nodes);
  for (int r = 0; r < gridSize.height; ++r) {
    const auto rowBegin = records.begin() + static_cast<std::ptrdiff_t>(r) * gridSize.width;
    const auto rowEnd = rowBegin + gridSize.width;
    std::sort(rowBegin, rowEnd, [](const Container& a, const Container& b) {
      return a.patternPoint.x < b.patternPoint.x;
    });
    for (auto it = rowBegin; it != rowEnd; ++it) ordered.push_back(it->imagePoint);
  }
  return ordered;
}

}  // namespace detail

void Calibration::SortTargets(const std::vector<cv::Point_<double>>& points,
                              std::vector<cv::Point_<double>>& ordered,
                              const std::vector<cv::Point3_<double>>& nominal,
                              cv::Size_<int> gridSize) const {
  ordered = detail::SortAgainstPlate(points, nominal, gridSize);
}

}  // namespace Oskelo::CV::Native64
