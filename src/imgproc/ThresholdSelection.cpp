#include "imgproc/ThresholdSelection.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

namespace Oskelo::CV::Native64::detail {
namespace {

constexpr int kMaxGrey = 255;
// Exponent that softens the threshold scaling for regions darker than the reference, so that a
// dimming target lowers the threshold less than proportionally.
constexpr float kDarkeningExponent = 1.4f;
// Corners of the 3 x 3 centre neighbourhood around the middle pixel of a dot patch.
constexpr int kCentreRadius = 1;

}  // namespace

bool MeanGrey(const cv::Mat& img, int& mean) {
  CV_Assert(img.type() == CV_8UC1);
  const long long count = static_cast<long long>(img.rows) * img.cols;
  if (count == 0) return false;
  // The sum of 8-bit values is an integer far below 2^53, so OpenCV's vectorised double sum holds
  // it exactly; the mean equals that of a 32-bit integer sum wherever that one does not overflow
  // (up to 8 421 504 pixels of 255), and stays sound beyond.
  const auto sum = static_cast<std::int64_t>(cv::sum(img)[0]);
  mean = static_cast<int>(sum / static_cast<std::int64_t>(count));
  return true;
}

int OtsuThreshold(const cv::Mat& img, std::size_t pixelCount) {
  CV_Assert(img.type() == CV_8UC1);
  pixelCount = std::min(pixelCount, img.total());
  if (pixelCount == 0) return kMaxGrey;

  std::array<std::int32_t, 256> hist{};
  std::size_t left = pixelCount;
  for (int r = 0; r < img.rows && left > 0; ++r) {
    const std::uint8_t* row = img.ptr<std::uint8_t>(r);
    const int n = static_cast<int>(std::min<std::size_t>(left, static_cast<std::size_t>(img.cols)));
    for (int c = 0; c < n; ++c) ++hist[row[c]];
    left -= static_cast<std::size_t>(n);
  }

  const double scale = 1.0 / static_cast<double>(pixelCount);
  double mu = 0.0;
  for (int i = 0; i < 256; ++i) mu += i * static_cast<double>(hist[i]);
  mu *= scale;

  double q1 = 0.0, mu1 = 0.0, bestSigma = 0.0;
  int bestLevel = kMaxGrey;
  for (int i = 0; i < 256; ++i) {
    const double p = hist[i] * scale;
    mu1 *= q1;
    q1 += p;
    const double q2 = 1.0 - q1;
    // Skip splits that leave one class (practically) empty.
    if (std::min(q1, q2) < FLT_EPSILON || std::max(q1, q2) > 1.0 - FLT_EPSILON) continue;
    mu1 = (mu1 + i * p) / q1;
    const double mu2 = (mu - q1 * mu1) / q2;
    const double sigma = q1 * q2 * (mu1 - mu2) * (mu1 - mu2);
    if (sigma > bestSigma) {
      bestSigma = sigma;
      bestLevel = i;
    }
  }
  return bestLevel;
}

std::vector<double> CentroidThresholdLevels(const cv::Mat& patch) {
  CV_Assert(patch.type() == CV_8UC1);
  const int w = patch.cols, h = patch.rows;
  if (w == 0 || h == 0) return {};

  // Centre level: mean of the neighbourhood of the middle pixel, clipped to the patch.
  const int cy = h / 2, cx = w / 2;
  const int r0 = std::max(cy - kCentreRadius, 0), r1 = std::min(cy + kCentreRadius, h - 1);
  const int c0 = std::max(cx - kCentreRadius, 0), c1 = std::min(cx + kCentreRadius, w - 1);
  int sum = 0, count = 0;
  for (int r = r0; r <= r1; ++r) {
    const std::uint8_t* row = patch.ptr<std::uint8_t>(r);
    for (int c = c0; c <= c1; ++c) sum += row[c];
    count += c1 - c0 + 1;
  }
  const int centre = sum / count;

  int background = kMaxGrey;
  for (const cv::Point corner :
       {cv::Point(0, 0), cv::Point(w - 1, 0), cv::Point(0, h - 1), cv::Point(w - 1, h - 1)}) {
    background = std::min<int>(background, patch.at<std::uint8_t>(corner));
  }
  return {static_cast<double>(background), static_cast<double>(centre)};
}

int ScaleThresholdByBrightness(int threshold, int meanGrey, int referenceGrey) {
  float ratio = static_cast<float>(meanGrey) / static_cast<float>(referenceGrey);
  if (ratio < 1.0f) ratio = 1.0f - std::pow(1.0f - ratio, kDarkeningExponent);
  const float scaled = static_cast<float>(threshold) * ratio;
  // Only a zero reference makes the ratio infinite or undefined; there is nothing to scale by.
  if (!std::isfinite(scaled)) return threshold;
  if (scaled >= static_cast<float>(INT_MAX)) return INT_MAX;
  if (scaled <= static_cast<float>(INT_MIN)) return INT_MIN;
  return static_cast<int>(scaled);
}

bool ThresholdFromDotLevels(const std::vector<double>& backgroundLevels,
                            const std::vector<double>& centreLevels, int& threshold) {
  if (backgroundLevels.empty() || centreLevels.empty()) return false;
  double lo = kMaxGrey, hi = 0.0;
  for (double level : backgroundLevels) lo = std::min(lo, level);
  for (double level : centreLevels) hi = std::max(hi, level);
  if (hi == 0.0 || lo == kMaxGrey) return false;
  threshold = static_cast<int>((hi + lo) * 0.5);
  return true;
}

}  // namespace Oskelo::CV::Native64::detail
