#pragma once

// One fuzz case of the long FindTargets: image layout, every settings field, the caller's regions
// and exclusions, whether the calls also go through FindTargetsInImage, and the pixels (the
// input's remaining bytes, repeated to fill the buffer).
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "FuzzInput.h"
#include "native64/ImageProcessorSettings.h"

namespace fuzz {

// Images stay small so that an execution takes well under a millisecond.
constexpr int kMaxImageSide = 96;
constexpr int kMaxColumnOffset = 16;
constexpr int kMaxExclusions = 3;
constexpr int kMaxCalls = 3;  // successive calls let the threshold state machine move on

struct FindTargetsCase {
  int width = 1, height = 1;
  int columnOffset = 0;
  bool noColumnOffset = false;
  Oskelo::CV::Native64::ImageProcessorSettings settings;
  cv::Rect roi, targetRect;
  std::vector<cv::Rect> exclusions;
  int calls = 1;
  // The calls share one frame's measurements, as the threshold sweep of ExtractPair does.
  bool shareMeasurements = false;
  // The same calls also go through FindTargetsInImage, on a view of the image whose rows each
  // follow `imageLead` bytes that are not image, and must give exactly what the raw calls give on
  // a packed copy.
  bool throughImage = false;
  int imageLead = 1;
  std::vector<std::uint8_t> pixels;

  // Bytes per buffer row as the detector reads them.
  std::size_t RowBytes() const {
    const bool offsetApplies = width != 1248 && !noColumnOffset && columnOffset > 0;
    return static_cast<std::size_t>(width) + (offsetApplies ? columnOffset : 0);
  }

  // The caller's buffer: height rows of RowBytes(), filled by repeating the pixel bytes.
  std::vector<std::uint8_t> Buffer() const { return Filled(RowBytes()); }

  // The buffer behind the view of FindTargetsInImage: height rows of imageLead + width bytes,
  // filled likewise.
  std::vector<std::uint8_t> ImageBuffer() const {
    return Filled(static_cast<std::size_t>(imageLead) + width);
  }
  // The view over ImageBuffer()'s bytes: not continuous, its last byte the buffer's last.
  cv::Mat ImageView(std::vector<std::uint8_t>& imageBuffer) const {
    return cv::Mat(height, width, CV_8UC1, imageBuffer.data() + imageLead,
                   static_cast<std::size_t>(imageLead) + width);
  }

  std::vector<std::uint8_t> Filled(std::size_t rowBytes) const {
    std::vector<std::uint8_t> buffer(rowBytes * static_cast<std::size_t>(height), 0);
    if (!pixels.empty()) {
      for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = pixels[i % pixels.size()];
    }
    return buffer;
  }

  static cv::Rect TakeRect(Reader& in) {
    const int x = in.Take<std::int32_t>(), y = in.Take<std::int32_t>();
    const int w = in.Take<std::int32_t>(), h = in.Take<std::int32_t>();
    return {x, y, w, h};
  }
  static void PutRect(Writer& out, const cv::Rect& r) {
    out.Put<std::int32_t>(r.x).Put<std::int32_t>(r.y).Put<std::int32_t>(r.width).Put<std::int32_t>(
        r.height);
  }

  static FindTargetsCase Read(Reader& in) {
    FindTargetsCase c;
    c.width = in.TakeInRange(1, kMaxImageSide);
    c.height = in.TakeInRange(1, kMaxImageSide);
    c.columnOffset = in.TakeInRange(-2, kMaxColumnOffset);
    c.noColumnOffset = in.TakeBool();
    auto& s = c.settings;
    s.columnOffset = c.columnOffset;
    s.imageRect = cv::Rect(in.Take<std::int32_t>(), in.Take<std::int32_t>(), c.width, c.height);
    s.imageType = in.Take<std::int32_t>();
    s.contourMethod = in.Take<std::int32_t>();
    s.contourMode = in.Take<std::int32_t>();
    s.thresholdState = in.Take<std::int32_t>();
    s.threshold = in.Take<std::int32_t>();
    s.meanGrey = in.Take<std::int32_t>();
    s.referenceGrey = in.Take<std::int32_t>();
    s.stateCounter = in.Take<std::int32_t>();
    s.roiMargin = in.Take<std::int32_t>();
    s.refineMargin = in.Take<std::int32_t>();
    s.refinePower = in.Take<std::int32_t>();
    s.gridColumns = in.Take<std::int32_t>();
    s.gridRows = in.Take<std::int32_t>();
    s.dotCount = in.Take<std::int32_t>();
    s.dotSpacing = in.Take<double>();
    s.dotDiameter = in.Take<double>();
    s.sizeScale = in.Take<double>();
    s.fixedRoi = in.TakeBool();
    s.fixedThreshold = in.TakeBool();
    s.debug = in.TakeBool();
    c.roi = TakeRect(in);
    c.targetRect = TakeRect(in);
    const int exclusionCount = in.TakeInRange(0, kMaxExclusions);
    for (int i = 0; i < exclusionCount; ++i) c.exclusions.push_back(TakeRect(in));
    c.calls = in.TakeInRange(1, kMaxCalls);
    c.shareMeasurements = in.TakeBool();
    c.throughImage = in.TakeBool();
    c.imageLead = in.TakeInRange(1, kMaxColumnOffset);
    c.pixels = in.Rest();
    return c;
  }

  void Write(Writer& out) const {
    const auto& s = settings;
    out.PutInRange(width, 1).PutInRange(height, 1).PutInRange(columnOffset, -2);
    out.PutBool(noColumnOffset);
    out.Put<std::int32_t>(s.imageRect.x).Put<std::int32_t>(s.imageRect.y);
    for (int v : {s.imageType, s.contourMethod, s.contourMode, s.thresholdState, s.threshold,
                  s.meanGrey, s.referenceGrey, s.stateCounter, s.roiMargin, s.refineMargin,
                  s.refinePower, s.gridColumns, s.gridRows, s.dotCount}) {
      out.Put<std::int32_t>(v);
    }
    out.Put(s.dotSpacing).Put(s.dotDiameter).Put(s.sizeScale);
    out.PutBool(s.fixedRoi).PutBool(s.fixedThreshold).PutBool(s.debug);
    PutRect(out, roi);
    PutRect(out, targetRect);
    out.PutInRange(static_cast<int>(exclusions.size()), 0);
    for (const cv::Rect& r : exclusions) PutRect(out, r);
    out.PutInRange(calls, 1);
    out.PutBool(shareMeasurements);
    out.PutBool(throughImage).PutInRange(imageLead, 1);
    out.PutBytes(pixels.data(), pixels.size());
  }
};

}  // namespace fuzz
