// Fuzzes the long FindTargets: arbitrary pixels in a buffer of exactly the size the settings
// imply, arbitrary settings, regions and exclusions, over a few successive calls, which may share
// the frame's measurements as ExtractPair's threshold sweep does. The detector may refuse
// (cv::Exception, or std::length_error for a grid it cannot order) or find nothing; it must never
// read outside the buffer, overflow or hang.
//
// Cases marked throughImage run the calls through FindTargetsInImage on a view whose rows do not
// follow each other in memory, side by side with the raw calls on a packed copy read without
// leading bytes: any difference in outcome, targets, regions or settings is a finding too. The
// same view then goes through the other image entry points: the survey, the threshold sweep and
// pair extraction (the view as both images of a pair).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "FindTargetsCase.h"
#include "imgproc/TargetSearch.h"
#include "native64/Calibration.h"
#include "native64/ImageDetection.h"
#include "native64/ImageProcessor.h"
#include "native64/TargetSurvey.h"

namespace {

using Oskelo::CV::Native64::ImageProcessor;
using Oskelo::CV::Native64::ImageProcessorSettings;
namespace detail = Oskelo::CV::Native64::detail;

enum class Outcome { kNotFound, kFound, kRefused, kGridRefused };

template <typename Call>
Outcome Run(Call&& call) {
  try {
    return call() ? Outcome::kFound : Outcome::kNotFound;
  } catch (const cv::Exception&) {
    return Outcome::kRefused;
  } catch (const std::length_error&) {
    return Outcome::kGridRefused;
  }
}

bool Refused(Outcome outcome) {
  return outcome == Outcome::kRefused || outcome == Outcome::kGridRefused;
}

// The raw calls as the case gives them.
void RunRaw(fuzz::FindTargetsCase& c) {
  // An exactly sized heap buffer: a read past its end is caught by AddressSanitizer.
  const std::vector<std::uint8_t> buffer = c.Buffer();
  ImageProcessor detector;
  *detector.settings = c.settings;
  std::vector<cv::Point2d> targets;
  detail::FrameMeasurements frame;
  for (int call = 0; call < c.calls; ++call) {
    const Outcome outcome = Run([&] {
      if (c.shareMeasurements) {
        return detail::FindTargets(*detector.settings, buffer.data(), targets, c.roi, c.targetRect,
                                   c.exclusions, c.noColumnOffset, &frame);
      }
      return detector.FindTargets(buffer.data(), targets, c.roi, c.targetRect, c.exclusions,
                                  c.noColumnOffset);
    });
    if (Refused(outcome)) return;
  }
}

// Bit for bit, so that NaN centres compare equal to themselves.
bool SamePoints(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cv::Point2d)) == 0);
}

// The members a search writes (the others it only reads).
bool SameState(const ImageProcessorSettings& a, const ImageProcessorSettings& b) {
  return a.threshold == b.threshold && a.thresholdState == b.thresholdState &&
         a.stateCounter == b.stateCounter && a.meanGrey == b.meanGrey && a.gridMap == b.gridMap &&
         a.imageRect == b.imageRect;
}

[[noreturn]] void Differ(int call, const char* what) {
  std::fprintf(stderr, "call %d: FindTargetsInImage and the raw FindTargets differ in %s\n", call,
               what);
  std::abort();
}

// FindTargetsInImage on a view of the image whose rows each follow imageLead bytes of an exactly
// sized buffer, against the raw calls on a packed copy read with noColumnOffset. The raw path
// gets imageType 0, which the image path does not read.
void RunThroughImage(const fuzz::FindTargetsCase& c) {
  std::vector<std::uint8_t> imageBuffer = c.ImageBuffer();
  const cv::Mat view = c.ImageView(imageBuffer);
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(c.width) * c.height);
  for (int r = 0; r < c.height; ++r) {
    std::memcpy(packed.data() + static_cast<std::size_t>(r) * c.width, view.ptr(r), c.width);
  }

  ImageProcessor raw, fromImage;
  *raw.settings = *fromImage.settings = c.settings;
  raw.settings->imageType = CV_8UC1;
  cv::Rect rawRoi = c.roi, rawTargetRect = c.targetRect;
  cv::Rect imageRoi = c.roi, imageTargetRect = c.targetRect;
  std::vector<cv::Point2d> rawTargets, imageTargets;
  detail::FrameMeasurements frame;
  for (int call = 0; call < c.calls; ++call) {
    const Outcome rawOutcome = Run([&] {
      if (c.shareMeasurements) {
        return detail::FindTargets(*raw.settings, packed.data(), rawTargets, rawRoi, rawTargetRect,
                                   c.exclusions, true, &frame);
      }
      return raw.FindTargets(packed.data(), rawTargets, rawRoi, rawTargetRect, c.exclusions, true);
    });
    const Outcome imageOutcome = Run([&] {
      return Oskelo::CV::Native64::FindTargetsInImage(fromImage, view, imageTargets, imageRoi,
                                                      imageTargetRect, c.exclusions);
    });
    if (rawOutcome != imageOutcome) Differ(call, "outcome");
    if (!SamePoints(rawTargets, imageTargets)) Differ(call, "targets");
    if (rawRoi != imageRoi || rawTargetRect != imageTargetRect) Differ(call, "regions");
    if (!SameState(*raw.settings, *fromImage.settings)) Differ(call, "settings");
    if (Refused(rawOutcome)) return;
  }
}

// The survey, the sweep and pair extraction on the case's view and settings.
void RunOtherEntryPoints(const fuzz::FindTargetsCase& c) {
  namespace n64 = Oskelo::CV::Native64;
  std::vector<std::uint8_t> imageBuffer = c.ImageBuffer();
  const cv::Mat view = c.ImageView(imageBuffer);
  Run([&] {
    const n64::TargetSurvey survey = n64::SurveyTargets(c.settings, view, c.settings.threshold);
    return !survey.regions.empty();
  });
  ImageProcessor detector;
  *detector.settings = c.settings;
  std::vector<cv::Point2d> targets;
  int threshold = 0;
  Run([&] { return n64::FindTargetsBySweep(detector, view, targets, &threshold); });
  n64::Calibration calibration;
  *calibration.settings = c.settings;
  const Outcome pair = Run([&] { return n64::ExtractPairFromImages(calibration, view, view); });
  // A pair is appended exactly when it was found in both images.
  const std::size_t expected = pair == Outcome::kFound ? 1 : 0;
  if (calibration.leftTargets.size() != expected || calibration.rightTargets.size() != expected) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  fuzz::FindTargetsCase c = fuzz::FindTargetsCase::Read(in);
  if (c.throughImage) {
    RunThroughImage(c);
    RunOtherEntryPoints(c);
  } else {
    RunRaw(c);
  }
  return 0;
}
