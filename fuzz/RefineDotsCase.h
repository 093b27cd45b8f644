#pragma once

// One fuzz case of RefineDots: an 8- or 16-bit image of arbitrary pixels, held as a view into a
// wider buffer (its rows do not follow each other), arbitrary centres and arbitrary options.
// Write keeps the default options but whether the grey levels are fitted.
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>
#include <vector>

#include "FuzzInput.h"
#include "native64/DotRefinement.h"

namespace fuzz {

constexpr int kRefineMaxSide = 96;
constexpr int kRefineMaxPadding = 3;
constexpr int kRefineMaxCentres = 24;

struct RefineDotsCase {
  int width = 1, height = 1;
  bool sixteenBit = false;
  int padding = 0;  // columns of the buffer on each side of the view
  std::vector<cv::Point2d> centres;
  Oskelo::CV::Native64::DotRefinementOptions options;
  std::vector<std::uint8_t> pixels;  // repeated to fill the buffer; zeros when empty

  static RefineDotsCase Read(Reader& in) {
    RefineDotsCase c;
    c.width = in.TakeInRange(1, kRefineMaxSide);
    c.height = in.TakeInRange(1, kRefineMaxSide);
    c.sixteenBit = in.TakeBool();
    c.padding = in.TakeInRange(0, kRefineMaxPadding);
    const int count = in.TakeInRange(0, kRefineMaxCentres);
    for (int i = 0; i < count; ++i) {
      const double x = in.Take<double>();
      c.centres.push_back({x, in.Take<double>()});
    }
    if (in.TakeBool()) {  // otherwise the defaults
      auto& o = c.options;
      o.edgeBandPx = in.Take<double>();
      o.gradientSigmaPx = in.Take<double>();
      o.passes = in.Take<int>();
      o.maxWindowRadiusPx = in.Take<double>();
      o.minGradientShare = in.Take<double>();
      o.minOutwardCos = in.Take<double>();
      o.maxForeignShare = in.Take<double>();
      o.minSectorShare = in.Take<double>();
      o.minEdgePixels = in.Take<int>();
      o.minRadiusPx = in.Take<double>();
      o.maxShiftPx = in.Take<double>();
      o.maxQualityPx = in.Take<double>();
      o.refitOffsetPx = in.Take<double>();
    }
    c.options.fitGreyLevels = in.TakeBool();
    c.pixels = in.Rest();
    return c;
  }

  void Write(Writer& out) const {
    out.PutInRange(width, 1).PutInRange(height, 1).PutBool(sixteenBit).PutInRange(padding, 0);
    out.PutInRange(static_cast<int>(centres.size()), 0);
    for (const cv::Point2d& p : centres) out.Put(p.x).Put(p.y);
    out.PutBool(false).PutBool(options.fitGreyLevels);
    out.PutBytes(pixels.data(), pixels.size());
  }

  // The buffer (width + 2 padding columns) filled from `pixels`; the view is its middle columns.
  cv::Mat Buffer() const {
    cv::Mat buffer(height, width + 2 * padding, sixteenBit ? CV_16UC1 : CV_8UC1, cv::Scalar(0));
    const std::size_t bytes = buffer.total() * buffer.elemSize();
    if (!pixels.empty()) {
      for (std::size_t i = 0; i < bytes; ++i) buffer.data[i] = pixels[i % pixels.size()];
    }
    return buffer;
  }
};

}  // namespace fuzz
