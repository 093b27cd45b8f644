// Fuzzes the sphere fits: Cone::Calibrate with arbitrary tracks and fit methods, FitHyperSphere
// with matrices of arbitrary shape, depth and channels, the algebraic fits on inputs whose row
// counts may disagree, and the shared-centre fit of several tracks. Refusals are cv::Exception;
// degenerate points may give NaN or infinite results, never a crash, an out-of-bounds read or a
// hang.
#include <cstring>

#include "MatrixCase.h"
#include "PointListCase.h"
#include "cone/SphereFits.h"
#include "native64/Cone.h"
#include "native64/GeometryFunctions.h"
#include "native64/ToolPivot.h"

namespace {

constexpr int kMaxTracks = 4;
constexpr int kMaxTrackPoints = 24;
constexpr int kMaxRows = 12;

void CalibrateCone(fuzz::Reader& in) {
  Oskelo::CV::Native64::Cone cone;
  cone.fitMethod = in.Take<std::int32_t>();
  const int tracks = in.TakeInRange(0, kMaxTracks);
  for (int i = 0; i < tracks; ++i)
    cone.markerTracks.push_back(fuzz::TakePoints3(in, kMaxTrackPoints));
  const Oskelo::CV::Native64::Cone before = cone;
  try {
    cone.Calibrate();
  } catch (const cv::Exception&) {
    // A refusal changes nothing.
    if (cone.markerOffsets.size() != before.markerOffsets.size() ||
        std::memcmp(&cone.pivot, &before.pivot, sizeof cone.pivot) != 0) {
      __builtin_trap();
    }
    return;
  }
  if (cone.markerOffsets.size() != cone.markerTracks.size()) __builtin_trap();
}

void FitFreeHyperSphere(fuzz::Reader& in) {
  const cv::Mat points = fuzz::TakeMatrix(in);
  const bool flag = in.TakeBool();
  cv::Mat output;
  try {
    Tarnwell::Native::CV::FitHyperSphere(points, output, flag);
  } catch (const cv::Exception&) {
  }
}

cv::Mat TakeColumns(fuzz::Reader& in, int cols) {
  cv::Mat m(in.TakeInRange(0, kMaxRows), cols, CV_64F);
  for (int r = 0; r < m.rows; ++r) {
    for (int c = 0; c < cols; ++c) m.at<double>(r, c) = in.Take<double>();
  }
  return m;
}

void FitAlgebraic(fuzz::Reader& in) {
  namespace detail = Oskelo::CV::Native64::detail;
  const int method = in.TakeInRange(0, 2);
  const int D = in.TakeInRange(1, 4);
  const cv::Mat deltaMag2 = TakeColumns(in, 1);
  const cv::Mat delta = TakeColumns(in, D);
  cv::Mat coefficients;
  try {
    if (method == 0) detail::FitHyperCoefficients(deltaMag2, delta, coefficients);
    if (method == 1) detail::FitPrattCoefficients(deltaMag2, delta, coefficients);
    if (method == 2) detail::FitTaubinCoefficients(deltaMag2, delta, coefficients);
  } catch (const cv::Exception&) {
  }
}

void FitShared(fuzz::Reader& in) {
  std::vector<std::vector<cv::Point3d>> tracks(in.TakeInRange(0, kMaxTracks));
  for (auto& track : tracks) track = fuzz::TakePoints3(in, kMaxTrackPoints);
  try {
    const auto fit = Oskelo::CV::Native64::FitSharedSphere(tracks);
    if (fit.solved && fit.radii.size() != tracks.size()) __builtin_trap();
  } catch (const cv::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  switch (in.TakeInRange(0, 3)) {
    case 0:
      CalibrateCone(in);
      break;
    case 1:
      FitFreeHyperSphere(in);
      break;
    case 2:
      FitAlgebraic(in);
      break;
    default:
      FitShared(in);
      break;
  }
  return 0;
}
