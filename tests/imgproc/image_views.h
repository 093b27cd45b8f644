#pragma once

#include <cstdint>
#include <opencv2/core.hpp>

// The image as a non-continuous view into a larger one of random bytes (seeded), which a reader
// that strays outside the view would see.
inline cv::Mat AsViewIntoLarger(const cv::Mat& image, std::uint64_t seed) {
  cv::Mat larger(image.rows + 9, image.cols + 37, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(larger, cv::RNG::UNIFORM, 0, 256);
  cv::Mat view = larger(cv::Rect(29, 4, image.cols, image.rows));
  image.copyTo(view);
  return view;
}
