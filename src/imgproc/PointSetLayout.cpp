#include "imgproc/PointSetLayout.h"

namespace Oskelo::CV::Native64::detail {
namespace {

// The fits and registrations are written for circles up to 4-D hyperspheres.
constexpr int kMinCoordinates = 2;
constexpr int kMaxCoordinates = 4;

}  // namespace

void RequireCondition(bool holds, const char* condition) {
  if (!holds) CV_Error(cv::Error::StsAssert, condition);
}

cv::Mat PointsAsRows(const cv::Mat& set) {
  if (set.channels() > 1) return set.reshape(1, static_cast<int>(set.total()));
  // Points stored as columns: the coordinate count is the smaller dimension.
  return set.rows < set.cols ? cv::Mat(set.t()) : set;
}

void RequireCoordinateCount(int D) {
  if (D < kMinCoordinates || D > kMaxCoordinates) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("point sets need 2 to 4 coordinates per point, got %d", D));
  }
}

}  // namespace Oskelo::CV::Native64::detail
