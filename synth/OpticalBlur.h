#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace synth {

// A Gaussian blur of the light on the sensor before the pixels integrate it, as a lens blurs:
// pixel q receives from a point of light at s the Gaussian's integral over q's square. The light
// comes as each pixel's mean over a regular n x n sub-grid of samples and, for the pixels whose
// samples differ, the samples themselves. A pixel's mean spreads by the separable kernel h (the
// mean over the sub-grid of a point's spread); a pixel whose samples differ adds, sample by
// sample, what its mean leaves out. Exact for light that is constant on each sample's cell.
//
// Blurring the pixels' integrated levels instead (a sampled Gaussian on the pixel grid) amounts to
// a spread made of whole-pixel steps. That gives every edge a profile that changes with where it
// falls between pixel centres (most for a sigma of a pixel or less), which no lens does.
class OpticalBlur {
 public:
  // sigma in (0, 100] pixels (cv::Exception otherwise); n samples per pixel axis; the image's size.
  OpticalBlur(double sigma, int samplesPerAxis, cv::Size size);

  // Pixel (column, row)'s n x n sample levels, row by row, and their mean.
  void AddSamples(int column, int row, const double* samples, double mean);

  // The blurred light of pixel means `light` (CV_64FC1 of the image's size): the means spread by
  // h, with the image's edge pixels repeated beyond it, plus what the samples added.
  cv::Mat Apply(const cv::Mat& light) const;

 private:
  int n_ = 0, radius_ = 0;
  // [(k + radius) * n + i]: the share of a point at sub-grid column i that the pixel k columns
  // away receives (each column's shares sum to 1); the same holds for rows.
  std::vector<double> shares_;
  std::vector<double> kernel_;     // h_k for k = -radius .. radius
  cv::Mat excess_;                 // CV_64FC1: what the samples add to the spread means
  std::vector<double> rowSpread_;  // scratch: [j * (2 radius + 1) + k + radius]
};

}  // namespace synth
