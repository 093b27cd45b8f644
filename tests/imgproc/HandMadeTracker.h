#pragma once

// A hand-made 7-dot tracker whose dot centres are known exactly: uniform 9 x 9 dots of grey 40 on
// a box of grey 200, so that every dot pixel weighs the same and the refined centre is the
// square's middle.
#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/core.hpp>
#include <tuple>
#include <vector>

namespace handmade {

constexpr double kExact = 1e-9;  // uniform dots: the weighted centroid is exact up to rounding
constexpr int kWidth = 160, kHeight = 120;
constexpr int kBackground = 20, kBox = 200, kDot = 40;
inline const cv::Rect kBoxRect(20, 20, 100, 60);  // contour of 2 * (99 + 59) = 316 points

// A 7-dot tracker (4 x 2 nodes, node (1, 1) empty) drawn into a buffer of kHeight rows of
// (kWidth + offset) bytes whose leading `offset` bytes per row are not image (set to 255).
struct HandMadeFrame {
  std::vector<unsigned char> buffer;
  cv::Mat image;                     // the image part of the buffer
  std::vector<cv::Point2d> centres;  // in image pixels

  explicit HandMadeFrame(int offset = 0, cv::Point shift = {0, 0})
      : buffer(static_cast<std::size_t>(kHeight) * (kWidth + offset), 255) {
    image = cv::Mat(kHeight, kWidth, CV_8UC1, buffer.data() + offset, kWidth + offset);
    image.setTo(kBackground);
    image(kBoxRect + shift).setTo(kBox);
    for (int r = 0; r < 2; ++r) {
      for (int c = 0; c < 4; ++c) {
        if (r == 1 && c == 1) continue;
        const cv::Point centre = cv::Point(40 + 20 * c, 40 + 20 * r) + shift;
        image(cv::Rect(centre.x - 4, centre.y - 4, 9, 9)).setTo(kDot);
        centres.emplace_back(centre.x, centre.y);
      }
    }
  }
  const unsigned char* data() const { return buffer.data(); }
};

// The same points in any order, each within kExact.
inline void ExpectSameSet(std::vector<cv::Point2d> found, std::vector<cv::Point2d> expected) {
  ASSERT_EQ(found.size(), expected.size());
  const auto less = [](const cv::Point2d& a, const cv::Point2d& b) {
    return std::tie(a.y, a.x) < std::tie(b.y, b.x);
  };
  std::sort(found.begin(), found.end(), less);
  std::sort(expected.begin(), expected.end(), less);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_NEAR(found[i].x, expected[i].x, kExact) << i;
    EXPECT_NEAR(found[i].y, expected[i].y, kExact) << i;
  }
}

inline std::vector<cv::Point2d> Shifted(std::vector<cv::Point2d> points, cv::Point2d by) {
  for (cv::Point2d& p : points) p += by;
  return points;
}

}  // namespace handmade
