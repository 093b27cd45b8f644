#include "imgproc/PointSetLayout.h"

namespace Oskelo::CV::Native64::detail {
namespace {

// cv::mean works on at most four channels.
constexpr int kMinCoordinates = 2;
constexpr int kMaxCoordinates = 4;

}  // namespace

void RequireCondition(bool holds, const char* condition) {
  if (!holds) CV_Error(cv::Error::StsAssert, condition);
}

cv::Mat PointSetAsRow(const cv::Mat& set) {
  if (set.channels() > 1) return set.clone().reshape(0, 1);
  // Points stored as columns: the coordinate count is the smaller dimension.
  cv::Mat rows = set.rows < set.cols ? cv::Mat(set.t()) : set.clone();
  return rows.reshape(rows.cols, 1);
}

void RequireCoordinateCount(int D) {
  if (D < kMinCoordinates || D > kMaxCoordinates) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("point sets need 2 to 4 coordinates per point, got %d", D));
  }
}

}  // namespace Oskelo::CV::Native64::detail
