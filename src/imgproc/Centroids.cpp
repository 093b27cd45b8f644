#include "imgproc/Centroids.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace Oskelo::CV::Native64::detail {
namespace {

constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53: doubles hold integers exactly

// Weighted sums over the window of the pixels darker than u, each weighing (u - v)^power.
void WeighDoubles(const cv::Mat& image, const cv::Rect& window, int u, int power, double& sx,
                  double& sy, double& sw) {
  double weightOfDepth[256];
  for (int depth = 1; depth <= u; ++depth) weightOfDepth[depth] = IntegerPower(depth, power);
  for (int y = window.y; y < window.y + window.height; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y);
    for (int x = window.x; x < window.x + window.width; ++x) {
      const int v = row[x];
      if (v >= u) continue;
      const double weight = weightOfDepth[u - v];
      sx += x * weight;
      sy += y * weight;
      sw += weight;
    }
  }
}

// The same sums in integers, row by row; the caller ensures that they stay below 2^53.
void WeighIntegers(const cv::Mat& image, const cv::Rect& window, int u, int power, double& sx,
                   double& sy, double& sw) {
  std::int64_t weightOfDepth[256];
  for (int depth = 1; depth <= u; ++depth) {
    weightOfDepth[depth] = static_cast<std::int64_t>(IntegerPower(depth, power));
  }
  std::int64_t totalX = 0, totalY = 0, totalW = 0;
  for (int y = window.y; y < window.y + window.height; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y);
    std::int64_t rowX = 0, rowW = 0;
    for (int x = window.x; x < window.x + window.width; ++x) {
      const int v = row[x];
      if (v >= u) continue;
      const std::int64_t weight = weightOfDepth[u - v];
      rowX += x * weight;
      rowW += weight;
    }
    totalX += rowX;
    totalY += y * rowW;
    totalW += rowW;
  }
  sx = static_cast<double>(totalX);
  sy = static_cast<double>(totalY);
  sw = static_cast<double>(totalW);
}

// Widest window whose row sums WeighSquaresNarrow keeps in 32 bits: a row's sum of offset times
// weight stays below 128 * 127 * 255^2 < 2^31.
constexpr int kNarrowWindow = 128;

// The integer sums for power 2 in a window at most kNarrowWindow wide, without branches: each
// row's sums are taken in 32 bits from the column offset within the window, in a loop the
// compiler vectorises (cloned for AVX2, twice as wide), and added to 64-bit totals. The same
// integers as WeighIntegers.
__attribute__((target_clones("avx2", "default"))) void WeighSquaresNarrow(const cv::Mat& image,
                                                                          const cv::Rect& window,
                                                                          int u, double& sx,
                                                                          double& sy, double& sw) {
  std::int64_t totalX = 0, totalY = 0, totalW = 0;
  for (int y = window.y; y < window.y + window.height; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y) + window.x;
    std::int32_t rowOffsetW = 0, rowW = 0;
    for (int i = 0; i < window.width; ++i) {
      const int depth = std::max(u - static_cast<int>(row[i]), 0);
      const int weight = depth * depth;
      rowOffsetW += i * weight;
      rowW += weight;
    }
    totalX += static_cast<std::int64_t>(window.x) * rowW + rowOffsetW;
    totalY += static_cast<std::int64_t>(y) * rowW;
    totalW += rowW;
  }
  sx = static_cast<double>(totalX);
  sy = static_cast<double>(totalY);
  sw = static_cast<double>(totalW);
}

}  // namespace

cv::Point2d ContourMean(const std::vector<cv::Point>& contour) {
  double sx = 0.0, sy = 0.0;
  for (const cv::Point& p : contour) {
    sx += p.x;
    sy += p.y;
  }
  const double n = static_cast<double>(contour.size());
  return {sx / n, sy / n};  // 0 / 0 is NaN for an empty contour
}

double IntegerPower(double base, int power) {
  // The exponent's magnitude as unsigned, so that INT_MIN has one too.
  unsigned magnitude = power < 0 ? 0u - static_cast<unsigned>(power) : static_cast<unsigned>(power);
  double result = 1.0;
  for (; magnitude > 0; magnitude >>= 1, base *= base) {
    if (magnitude & 1u) result *= base;
  }
  return power < 0 ? 1.0 / result : result;
}

cv::Point2d RefineCentroid(const cv::Rect& rect, const cv::Mat& image, int margin, int power,
                           const cv::Point& origin) {
  CV_Assert(image.type() == CV_8UC1);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (image.empty()) return {kNaN, kNaN};

  // Window [x0, x1) x [y0, y1); the background samples sit at x0/x1 and y0/y1. In 64 bits, so
  // that a margin of any size only widens (or, negative, empties) the window.
  const long long x0 = static_cast<long long>(rect.x) - margin;
  const long long y0 = static_cast<long long>(rect.y) - margin;
  const long long x1 = static_cast<long long>(rect.x) + rect.width + margin;
  const long long y1 = static_cast<long long>(rect.y) + rect.height + margin;

  const auto sample = [&image](long long y, long long x) {
    y = std::clamp<long long>(y, 0, image.rows - 1);
    x = std::clamp<long long>(x, 0, image.cols - 1);
    return static_cast<int>(image.at<std::uint8_t>(static_cast<int>(y), static_cast<int>(x)));
  };
  const int u = std::max({sample(y0, x0), sample(y0, x1), sample(y1, x0), sample(y1, x1)});

  // The window clipped to the image (empty when it misses the image or is turned inside out).
  const int left = static_cast<int>(std::clamp<long long>(x0, 0, image.cols));
  const int top = static_cast<int>(std::clamp<long long>(y0, 0, image.rows));
  const int right = static_cast<int>(std::clamp<long long>(x1, 0, image.cols));
  const int bottom = static_cast<int>(std::clamp<long long>(y1, 0, image.rows));
  const cv::Rect window =
      right > left && bottom > top ? cv::Rect(left, top, right - left, bottom - top) : cv::Rect();
  // A window without pixels weighs nothing (and would not bound the weights checked below).
  if (window.empty()) return {kNaN, kNaN};
  // With integer weights whose sums stay below 2^53, double sums are exact whatever the order, and
  // integer sums per row give the same values faster; otherwise sum in doubles pixel by pixel.
  const double largestSum =
      IntegerPower(u, power) * window.area() * std::max({image.cols, image.rows, 1});
  double sx = 0.0, sy = 0.0, sw = 0.0;
  if (power == 2 && window.width <= kNarrowWindow && largestSum < kExactIntegerLimit) {
    WeighSquaresNarrow(image, window, u, sx, sy, sw);
  } else if (power >= 0 && largestSum < kExactIntegerLimit) {
    WeighIntegers(image, window, u, power, sx, sy, sw);
  } else {
    WeighDoubles(image, window, u, power, sx, sy, sw);
  }
  if (sw == 0.0) return {kNaN, kNaN};
  return {origin.x + sx / sw, origin.y + sy / sw};
}

}  // namespace Oskelo::CV::Native64::detail
