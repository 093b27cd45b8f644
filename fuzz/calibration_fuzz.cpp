// Fuzzes the calibrations from target lists: ComputeStereoCalibration, CalibrateUnbiased and
// EstimateCalibrationUncertainty on plates of 2 x 2 to 4 x 4 dots with up to 4 pairs of arbitrary
// centres (NaN, infinities, lists of the wrong length) and arbitrary options. Refusals are
// cv::Exception; whatever is returned is finite.
#include <cmath>

#include "PointListCase.h"
#include "native64/Calibration.h"
#include "native64/CalibrationUncertainty.h"
#include "native64/UnbiasedCalibration.h"

namespace {

namespace n64 = Oskelo::CV::Native64;

constexpr int kMaxPairs = 4;
constexpr int kMaxListPoints = 20;

bool Finite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -DBL_MAX, DBL_MAX); }

// The plate's nominal points as the calibration lays out its own: (k * s, j * s, 0), row-major.
void ConfigurePlate(n64::Calibration& c, int columns, int rows, double spacing) {
  c.nominalPattern.columns = columns;
  c.nominalPattern.rows = rows;
  c.nominalPattern.spacing = spacing;
  c.nominalPattern.points.clear();
  for (int j = 1; j <= rows; ++j)
    for (int k = 1; k <= columns; ++k)
      c.nominalPattern.points.emplace_back(k * spacing, j * spacing, 0);
  c.settings->dotDiameter = spacing / 2.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  n64::Calibration calibration;
  const int columns = in.TakeInRange(2, 4), rows = in.TakeInRange(2, 4);
  ConfigurePlate(calibration, columns, rows, in.Take<double>());
  for (int pair = in.TakeInRange(0, kMaxPairs); pair > 0; --pair) {
    calibration.leftTargets.push_back(fuzz::TakePoints2(in, kMaxListPoints));
    calibration.rightTargets.push_back(fuzz::TakePoints2(in, kMaxListPoints));
  }
  n64::UnbiasedCalibrationOptions options;
  options.maxRounds = in.TakeInRange(0, 2);
  options.tolerancePx = in.Take<double>();
  options.dotRadius = in.Take<double>();

  try {
    calibration.ComputeStereoCalibration();
  } catch (const cv::Exception&) {
  }
  try {
    const n64::CalibrationUncertainty u = n64::EstimateCalibrationUncertainty(calibration);
    if (!std::isfinite(u.centreNoisePx) || !std::isfinite(u.baseline) ||
        !std::isfinite(u.atCentre.total) || !std::isfinite(u.atCorner.total) ||
        !Finite(u.covariance)) {
      __builtin_trap();
    }
  } catch (const cv::Exception&) {
  }
  try {
    const n64::UnbiasedCalibrationResult r = n64::CalibrateUnbiased(
        calibration, calibration.leftTargets, calibration.rightTargets, options);
    if (!Finite(r.parameters.cameraMatrixLeft) || !Finite(r.parameters.translation) ||
        !std::isfinite(r.rmsStereo)) {
      __builtin_trap();
    }
  } catch (const cv::Exception&) {
  }
  return 0;
}
