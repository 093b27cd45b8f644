#pragma once

// One fuzz case of the ordering through FindTargets: a bright box with dark dots at arbitrary
// positions and radii, and a grid shape.
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "FuzzInput.h"

namespace fuzz {

constexpr int kDotCloudMinSide = 16;
constexpr int kDotCloudMaxSide = 128;
constexpr int kMaxDots = 48;
constexpr int kMaxDotRadius = 6;
constexpr int kMaxGridSide = 16;

struct DotCloudCase {
  int width = kDotCloudMinSide, height = kDotCloudMinSide;
  cv::Rect box;  // clipped to the image by the reader
  struct Dot {
    cv::Point centre;  // inside the box
    int radius = 1;
  };
  std::vector<Dot> dots;
  int gridColumns = 0, gridRows = 0;

  static DotCloudCase Read(Reader& in) {
    DotCloudCase c;
    c.width = in.TakeInRange(kDotCloudMinSide, kDotCloudMaxSide);
    c.height = in.TakeInRange(kDotCloudMinSide, kDotCloudMaxSide);
    const int x = in.TakeInRange(0, c.width - 2), y = in.TakeInRange(0, c.height - 2);
    c.box = cv::Rect(x, y, in.TakeInRange(2, c.width - x), in.TakeInRange(2, c.height - y));
    c.gridColumns = in.TakeInRange(0, kMaxGridSide);
    c.gridRows = in.TakeInRange(0, kMaxGridSide);
    const int count = in.TakeInRange(0, kMaxDots);
    for (int i = 0; i < count; ++i) {
      Dot dot;
      dot.centre.x = c.box.x + in.TakeInRange(0, c.box.width - 1);
      dot.centre.y = c.box.y + in.TakeInRange(0, c.box.height - 1);
      dot.radius = in.TakeInRange(1, kMaxDotRadius);
      c.dots.push_back(dot);
    }
    return c;
  }

  void Write(Writer& out) const {
    out.PutInRange(width, kDotCloudMinSide).PutInRange(height, kDotCloudMinSide);
    out.PutInRange(box.x, 0)
        .PutInRange(box.y, 0)
        .PutInRange(box.width, 2)
        .PutInRange(box.height, 2);
    out.PutInRange(gridColumns, 0).PutInRange(gridRows, 0);
    out.PutInRange(static_cast<int>(dots.size()), 0);
    for (const Dot& dot : dots) {
      out.PutInRange(dot.centre.x - box.x, 0).PutInRange(dot.centre.y - box.y, 0);
      out.PutInRange(dot.radius, 1);
    }
  }
};

}  // namespace fuzz
