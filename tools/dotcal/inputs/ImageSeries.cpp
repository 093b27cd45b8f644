#include "inputs/ImageSeries.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "CommandError.h"
#include "inputs/ImageFiles.h"

namespace dotcal {
namespace {

// Bit depths a series may be read with.
constexpr int kBitChoices[] = {8, 10, 12, 16};
// Largest image side: beyond any camera sensor, and small enough that pixel counts fit an int.
constexpr int kMaxImageSide = 32768;

int LargestValue(const cv::Mat& image) {
  double largest = 0.0;
  cv::minMaxLoc(image, nullptr, &largest);
  return static_cast<int>(largest);
}

int MaxValue(int bits) { return (1 << bits) - 1; }

}  // namespace

int ParseBits(const std::string& text) {
  if (text == "auto") return 0;
  for (int bits : kBitChoices) {
    if (text == std::to_string(bits)) return bits;
  }
  throw UsageError("--bits takes 8, 10, 12, 16 or auto, not '" + text + "'");
}

ImageSeries ImageSeries::Scan(const std::vector<std::string>& files, int bits, cv::Size expected,
                              const std::string& what) {
  // The series' size and depth are those of most of its images, so that a message names the odd
  // one out, whatever its place in the list.
  struct Seen {
    std::string path;
    cv::Size size;
    int storedBits;
  };
  std::vector<Seen> seen;
  std::map<std::tuple<int, int, int>, int> counts;  // (width, height, bits) -> images
  int largest = 0;
  for (const std::string& path : files) {
    const cv::Mat stored = ReadGreyImage(path);
    seen.push_back({path, stored.size(), stored.depth() == CV_16U ? 16 : 8});
    ++counts[{stored.cols, stored.rows, seen.back().storedBits}];
    largest = std::max(largest, LargestValue(stored));
  }
  ImageSeries series;
  if (seen.empty()) return series;
  const auto most =
      std::max_element(counts.begin(), counts.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; });
  const auto [width, height, storedBits] = most->first;
  series.size_ = expected.empty() ? cv::Size(width, height) : expected;
  series.storedBits_ = storedBits;
  series.expectedWhat_ = expected.empty() ? "" : what;
  series.first_ = seen.front().path;
  for (const Seen& image : seen) {
    if (image.size == series.size_ && image.storedBits == storedBits) {
      series.first_ = image.path;
      break;
    }
  }
  for (const Seen& image : seen) series.Check(image.path, image.size, image.storedBits);
  if (series.size_.width > kMaxImageSide || series.size_.height > kMaxImageSide) {
    throw WorkFailed(series.first_ + ": the image is " + SizeText(series.size_) +
                     " pixels; at most 32768 a side are read");
  }
  series.bits_ = ChooseBits(series, bits, largest);
  return series;
}

int ImageSeries::ChooseBits(const ImageSeries& series, int bits, int largest) {
  if (series.storedBits_ == 8) {
    if (bits != 0 && bits != 8) {
      throw UsageError("--bits " + std::to_string(bits) + ": the images hold 8-bit pixels (" +
                       series.first_ + "); give --bits 8 or auto");
    }
    return 8;
  }
  if (bits == 0) {
    for (int choice : kBitChoices) {
      if (largest <= MaxValue(choice)) return choice;
    }
  }
  if (largest > MaxValue(bits)) {
    throw UsageError("--bits " + std::to_string(bits) + " holds values up to " +
                     std::to_string(MaxValue(bits)) + ", but the images reach " +
                     std::to_string(largest) + "; give a larger --bits or auto");
  }
  return bits;
}

void ImageSeries::Check(const std::string& path, cv::Size size, int storedBits) const {
  if (size != size_ && !expectedWhat_.empty()) {
    throw WorkFailed(path + ": the image is " + SizeText(size) + " pixels, but " + expectedWhat_ +
                     " is for " + SizeText(size_));
  }
  if (size != size_) {
    throw WorkFailed(path + ": the image is " + SizeText(size) + " pixels, but " + first_ + " is " +
                     SizeText(size_) + "; every image of a series must have one size");
  }
  if (storedBits != storedBits_) {
    throw WorkFailed(path + ": " + std::to_string(storedBits) + "-bit pixels, but " + first_ +
                     " holds " + std::to_string(storedBits_) +
                     "-bit pixels; every image of a series must have one depth");
  }
}

cv::Mat ImageSeries::Load(const std::string& path) const {
  const cv::Mat stored = ReadGreyImage(path);
  Check(path, stored.size(), stored.depth() == CV_16U ? 16 : 8);
  if (storedBits_ == 8) return stored;
  if (LargestValue(stored) > MaxValue(bits_)) {
    throw WorkFailed(path + ": holds values above " + std::to_string(MaxValue(bits_)) +
                     ", more than the series' " + std::to_string(bits_) + " bits");
  }
  cv::Mat grey;
  stored.convertTo(grey, CV_8U, 255.0 / MaxValue(bits_));  // rounds to nearest
  return grey;
}

}  // namespace dotcal
