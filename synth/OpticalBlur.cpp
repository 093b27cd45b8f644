#include "synth/OpticalBlur.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace synth {
namespace {

double NormalCdf(double t) { return 0.5 * std::erfc(-t / std::sqrt(2.0)); }

// The spread reaches at least this many deviations from the point on either side: beyond them
// a Gaussian holds less than 1e-7 of the light.
constexpr double kReachSigmas = 5.5;
// Widest blur taken, pixels: the work per edge pixel grows with the square of the blur, and the
// spread's reach must stay a modest int.
constexpr double kMaxSigma = 100.0;

}  // namespace

OpticalBlur::OpticalBlur(double sigma, int samplesPerAxis, cv::Size size)
    : n_(samplesPerAxis),
      radius_(sigma > 0.0 && sigma <= kMaxSigma ? static_cast<int>(std::ceil(kReachSigmas * sigma))
                                                : 0),
      excess_(size, CV_64FC1, cv::Scalar(0.0)) {
  CV_Assert(sigma > 0.0 && sigma <= kMaxSigma && samplesPerAxis > 0);
  const int taps = 2 * radius_ + 1;
  shares_.assign(static_cast<std::size_t>(taps * n_), 0.0);
  kernel_.assign(static_cast<std::size_t>(taps), 0.0);
  for (int i = 0; i < n_; ++i) {
    // The sample's offset from its pixel's centre, and its light's share in each pixel k away:
    // the Gaussian's integral over [k - 1/2, k + 1/2], scaled so that the shares sum to 1.
    const double t = (i + 0.5) / n_ - 0.5;
    double sum = 0.0;
    for (int k = -radius_; k <= radius_; ++k) {
      double& share = shares_[static_cast<std::size_t>((k + radius_) * n_ + i)];
      share = NormalCdf((k + 0.5 - t) / sigma) - NormalCdf((k - 0.5 - t) / sigma);
      sum += share;
    }
    for (int k = -radius_; k <= radius_; ++k)
      shares_[static_cast<std::size_t>((k + radius_) * n_ + i)] /= sum;
  }
  for (int k = 0; k < taps; ++k) {
    for (int i = 0; i < n_; ++i) kernel_[static_cast<std::size_t>(k)] += shares_[k * n_ + i];
    kernel_[static_cast<std::size_t>(k)] /= n_;
  }
  rowSpread_.assign(static_cast<std::size_t>(n_ * taps), 0.0);
}

void OpticalBlur::AddSamples(int column, int row, const double* samples, double mean) {
  const int taps = 2 * radius_ + 1;
  // Along x first: each sample row's departures from the mean, spread over the columns.
  for (int j = 0; j < n_; ++j) {
    const double* line = samples + static_cast<std::ptrdiff_t>(j) * n_;
    for (int k = 0; k < taps; ++k) {
      const double* share = &shares_[static_cast<std::size_t>(k * n_)];
      double sum = 0.0;
      for (int i = 0; i < n_; ++i) sum += (line[i] - mean) * share[i];
      rowSpread_[static_cast<std::size_t>(j * taps + k)] = sum;
    }
  }
  // Then along y; each sample carries 1 / n^2 of the pixel's light.
  const double weight = 1.0 / (static_cast<double>(n_) * n_);
  for (int ky = 0; ky < taps; ++ky) {
    const int y = row + ky - radius_;
    if (y < 0 || y >= excess_.rows) continue;
    const double* share = &shares_[static_cast<std::size_t>(ky * n_)];
    double* out = excess_.ptr<double>(y);
    for (int kx = 0; kx < taps; ++kx) {
      const int x = column + kx - radius_;
      if (x < 0 || x >= excess_.cols) continue;
      double sum = 0.0;
      for (int j = 0; j < n_; ++j)
        sum += rowSpread_[static_cast<std::size_t>(j * taps + kx)] * share[j];
      out[x] += weight * sum;
    }
  }
}

cv::Mat OpticalBlur::Apply(const cv::Mat& light) const {
  CV_Assert(light.type() == CV_64FC1 && light.size() == excess_.size());
  const cv::Mat kernel(kernel_, false);
  cv::Mat blurred;
  // h is symmetric, so correlating with it spreads.
  cv::sepFilter2D(light, blurred, CV_64F, kernel, kernel, cv::Point(-1, -1), 0.0,
                  cv::BORDER_REPLICATE);
  blurred += excess_;
  return blurred;
}

}  // namespace synth
