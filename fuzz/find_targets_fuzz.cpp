// Fuzzes the long FindTargets: arbitrary pixels in a buffer of exactly the size the settings
// imply, arbitrary settings, regions and exclusions, over a few successive calls, which may share
// the frame's measurements as ExtractPair's threshold sweep does. The detector may refuse
// (cv::Exception, or std::length_error for a grid it cannot order) or find nothing; it must never
// read outside the buffer, overflow or hang.
#include <stdexcept>

#include "FindTargetsCase.h"
#include "imgproc/TargetSearch.h"
#include "native64/ImageProcessor.h"

using Oskelo::CV::Native64::ImageProcessor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  fuzz::FindTargetsCase c = fuzz::FindTargetsCase::Read(in);
  // An exactly sized heap buffer: a read past its end is caught by AddressSanitizer.
  const std::vector<std::uint8_t> buffer = c.Buffer();

  ImageProcessor detector;
  *detector.settings = c.settings;
  std::vector<cv::Point2d> targets;
  Oskelo::CV::Native64::detail::FrameMeasurements frame;
  for (int call = 0; call < c.calls; ++call) {
    try {
      if (c.shareMeasurements) {
        Oskelo::CV::Native64::detail::FindTargets(*detector.settings, buffer.data(), targets, c.roi,
                                                  c.targetRect, c.exclusions, c.noColumnOffset,
                                                  &frame);
      } else {
        detector.FindTargets(buffer.data(), targets, c.roi, c.targetRect, c.exclusions,
                             c.noColumnOffset);
      }
    } catch (const cv::Exception&) {
      return 0;
    } catch (const std::length_error&) {
      return 0;
    }
  }
  return 0;
}
