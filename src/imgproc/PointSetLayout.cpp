#include "imgproc/PointSetLayout.h"

namespace Oskelo::CV::Native64::detail {
namespace {

// The fits and registrations are written for circles up to 4-D hyperspheres.
constexpr int kMinCoordinates = 2;
constexpr int kMaxCoordinates = 4;

}  // namespace

void RequireCondition(bool holds, const char* condition, const char* function, const char* file,
                      int line) {
  if (!holds) cv::error(cv::Error::StsAssert, condition, function, file, line);
}

cv::Mat PointsAsRows(const cv::Mat& set) {
  if (set.channels() > 1) return set.reshape(1, static_cast<int>(set.total()));
  // Points stored as columns: the coordinate count is the smaller dimension.
  return set.rows < set.cols ? cv::Mat(set.t()) : set;
}

void RequireCoordinateCount(int D, const char* function, const char* file, int line) {
  if (D < kMinCoordinates || D > kMaxCoordinates) {
    cv::error(cv::Error::StsBadSize,
              cv::format("point sets need 2 to 4 coordinates per point, got %d", D), function, file,
              line);
  }
}

}  // namespace Oskelo::CV::Native64::detail
