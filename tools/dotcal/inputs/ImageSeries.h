#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// Significant bits of a series' pixels from --bits: 8, 10, 12 or 16; 0 for "auto". Throws
// UsageError for any other text.
int ParseBits(const std::string& text);

// The images of one series (both cameras of a rig, or the frames of one sequence), as the detector
// sees them: one size for all (one detector serves both cameras), and one rule that turns the
// stored pixels into 8 bits. 16-bit files (PNG, TIFF) of machine-vision cameras often hold 10 or
// 12 significant bits: every value v becomes round(v * 255 / (2^bits - 1)), the same factor for
// every image, so the thresholds mean the same grey in every frame. Never stretched per image.
class ImageSeries {
 public:
  // Reads every file once and checks it: all images must have one size (at most 32768 pixels a
  // side) and one stored depth (8 or 16 bits); the first image that differs from most of them is
  // named. `bits` (0: auto) is the rule for 16-bit data:
  // auto takes the smallest of 8, 10, 12 and 16 that holds the series' largest value; an explicit
  // value must hold it. 8-bit data takes 8 (or auto). Throws UsageError for a missing file or a
  // --bits that does not fit the data, WorkFailed naming the first file at fault otherwise.
  // With an `expected` size (the calibration's, named by `what`), every image must have that size.
  static ImageSeries Scan(const std::vector<std::string>& files, int bits, cv::Size expected = {},
                          const std::string& what = "");

  cv::Size Size() const { return size_; }
  int Bits() const { return bits_; }
  int StoredBits() const { return storedBits_; }  // 8 or 16

  // Reads one image of the series (the file may be any of the scanned ones, or a later one of the
  // same kind) as 8-bit grey with packed rows. Throws as Scan does when it does not fit.
  cv::Mat Load(const std::string& path) const;

 private:
  void Check(const std::string& path, cv::Size size, int storedBits) const;
  std::string expectedWhat_;  // what the size must match, when it was given
  static int ChooseBits(const ImageSeries& series, int bits, int largest);

  cv::Size size_;
  int storedBits_ = 8;
  int bits_ = 8;
  std::string first_;  // the first file of the series' size and depth
};

}  // namespace dotcal
