// Fuzzes RefineDots: arbitrary pixels in an 8- or 16-bit view whose rows do not follow each other,
// arbitrary centres (NaN, infinite, outside, duplicated) and arbitrary options. It must never read
// outside the image nor hang, return one result per centre, keep a flagged dot's input centre bit
// for bit, and give refined dots a finite centre inside the image.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RefineDotsCase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const fuzz::RefineDotsCase c = fuzz::RefineDotsCase::Read(in);
  const cv::Mat buffer = c.Buffer();
  const cv::Mat view = buffer(cv::Rect(c.padding, 0, c.width, c.height));
  const std::vector<Oskelo::CV::Native64::RefinedDot> dots =
      Oskelo::CV::Native64::RefineDots(view, c.centres, c.options);
  if (dots.size() != c.centres.size()) {
    std::fprintf(stderr, "%zu results for %zu centres\n", dots.size(), c.centres.size());
    std::abort();
  }
  for (std::size_t i = 0; i < dots.size(); ++i) {
    const auto& d = dots[i];
    if (d.flags != 0) {
      if (std::memcmp(&d.centre, &c.centres[i], sizeof(cv::Point2d)) != 0) {
        std::fprintf(stderr, "dot %zu flagged %u but its centre changed\n", i, d.flags);
        std::abort();
      }
    } else if (!(d.centre.x >= -0.5 && d.centre.y >= -0.5 && d.centre.x <= c.width - 0.5 &&
                 d.centre.y <= c.height - 0.5) ||
               d.edgePixels <= 0) {
      std::fprintf(stderr, "dot %zu refined to (%g, %g) outside the image\n", i, d.centre.x,
                   d.centre.y);
      std::abort();
    }
  }
  return 0;
}
