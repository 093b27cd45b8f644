// Fuzzes Triangulate after a real calibration (the synthetic rig's exact one) with arbitrary point
// lists: NaN and infinite coordinates, empty lists and lists of different lengths; now and then on
// an object that was never calibrated. Refusals are cv::Exception; anything else must return one
// point per pair.
#include "PointListCase.h"
#include "calibration/known_rig.h"

namespace {

constexpr int kMaxPoints = 256;

const Oskelo::CV::Native64::Calibration& Calibrated() {
  static const Oskelo::CV::Native64::Calibration calibration = [] {
    Oskelo::CV::Native64::Calibration c;
    SetKnownCalibration(c, synth::StereoRig::Default());
    return c;
  }();
  return calibration;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Oskelo::CV::Native64::Calibration uncalibrated;
  fuzz::Reader in(data, size);
  const bool calibrated = in.Take<std::uint8_t>() != 0xff;  // one value in 256: uncalibrated
  const std::vector<cv::Point2d> left = fuzz::TakePoints2(in, kMaxPoints);
  const std::vector<cv::Point2d> right = fuzz::TakePoints2(in, kMaxPoints);

  std::vector<cv::Point3d> points(3);
  try {
    (calibrated ? Calibrated() : uncalibrated).Triangulate(left, right, points);
  } catch (const cv::Exception&) {
    if (!points.empty()) __builtin_trap();  // the result list is cleared before any refusal
    return 0;
  }
  if (points.size() != left.size() || left.size() != right.size()) __builtin_trap();
  return 0;
}
