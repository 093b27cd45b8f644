#include "imgproc/Centroids.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace Oskelo::CV::Native64::detail {

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
  if (power < 0) return 1.0 / IntegerPower(base, -power);
  double result = 1.0;
  for (; power > 0; power >>= 1, base *= base) {
    if (power & 1) result *= base;
  }
  return result;
}

cv::Point2d RefineCentroid(const cv::Rect& rect, const cv::Mat& image, int margin, int power,
                           const cv::Point& origin) {
  CV_Assert(image.type() == CV_8UC1);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (image.empty()) return {kNaN, kNaN};

  // Window [x0, x1) x [y0, y1); the background samples sit at x0/x1 and y0/y1.
  const int x0 = rect.x - margin, y0 = rect.y - margin;
  const int x1 = rect.x + rect.width + margin, y1 = rect.y + rect.height + margin;

  const auto sample = [&image](int y, int x) {
    y = std::clamp(y, 0, image.rows - 1);
    x = std::clamp(x, 0, image.cols - 1);
    return static_cast<int>(image.at<std::uint8_t>(y, x));
  };
  const int u = std::max({sample(y0, x0), sample(y0, x1), sample(y1, x0), sample(y1, x1)});

  const int cx0 = std::max(x0, 0), cx1 = std::min(x1, image.cols);
  const int cy0 = std::max(y0, 0), cy1 = std::min(y1, image.rows);
  // Weights of every depth below u, computed once: the window holds many pixels of equal value.
  double weightOfDepth[256];
  for (int depth = 1; depth <= u; ++depth) weightOfDepth[depth] = IntegerPower(depth, power);

  double sx = 0.0, sy = 0.0, sw = 0.0;
  for (int y = cy0; y < cy1; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y);
    for (int x = cx0; x < cx1; ++x) {
      const int v = row[x];
      if (v >= u) continue;
      const double weight = weightOfDepth[u - v];
      sx += x * weight;
      sy += y * weight;
      sw += weight;
    }
  }
  if (sw == 0.0) return {kNaN, kNaN};
  return {origin.x + sx / sw, origin.y + sy / sw};
}

}  // namespace Oskelo::CV::Native64::detail
