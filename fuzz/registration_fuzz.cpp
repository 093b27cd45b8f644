// Fuzzes rigid registration and the reference frame with arbitrary point sets: both
// GetRigidTransform forms (the free one with matrices of arbitrary shape, depth and channels),
// Cone's transformation search, Reference, the pose-based pivot fits (from markers and from
// poses, with the mean marker model) and the outline centre bias of arbitrary cameras and poses.
// Refusals are cv::Exception; degenerate sets may give NaN, never a crash, an out-of-bounds read
// or a hang.
#include "MatrixCase.h"
#include "PointListCase.h"
#include "native64/CentreBias.h"
#include "native64/Cone.h"
#include "native64/GeometryFunctions.h"
#include "native64/Reference.h"
#include "native64/ToolPivot.h"

namespace {

constexpr int kMaxPoints = 24;
constexpr int kMaxFrames = 8;

void RegisterWithCone(fuzz::Reader& in) {
  using Oskelo::CV::Native64::Cone;
  const std::vector<cv::Point3d> A = fuzz::TakePoints3(in, kMaxPoints);
  const std::vector<cv::Point3d> B = fuzz::TakePoints3(in, kMaxPoints);
  cv::Mat transform;
  double error = 0.0;
  try {
    Cone::GetRigidTransform(A, B, transform);
  } catch (const cv::Exception&) {
  }
  Cone cone;
  try {
    cone.FindTransformation(B, A, transform, error);
  } catch (const cv::Exception&) {
  }
  cone.markerOffsets = A;
  cone.eulerOrder = in.Take<std::int32_t>();
  cv::Point3d position, angles;
  const cv::Point3d offset(in.Take<double>(), in.Take<double>(), in.Take<double>());
  cone.FindTransformation_old(B, position, angles, transform, offset);
}

void RegisterMatrices(fuzz::Reader& in) {
  const cv::Mat A = fuzz::TakeMatrix(in);
  const cv::Mat B = fuzz::TakeMatrix(in);
  const bool computeError = in.TakeBool(), fixReflection = in.TakeBool();
  cv::Mat transform;
  try {
    Tarnwell::Native::CV::GetRigidTransform(A, B, transform, computeError, fixReflection);
  } catch (const cv::Exception&) {
  }
}

void ReferenceFrame(fuzz::Reader& in) {
  Oskelo::CV::Native64::Reference reference;
  reference.referencePoints = fuzz::TakePoints3(in, kMaxPoints);
  reference.measuredPoints = fuzz::TakePoints3(in, kMaxPoints);
  const cv::Point3d offset(in.Take<double>(), in.Take<double>(), in.Take<double>());
  try {
    reference.ComputeReferenceTransform(offset);
  } catch (const cv::Exception&) {
  }
  std::vector<cv::Point3d> out;
  reference.Transform(reference.measuredPoints, out);
  if (out.size() != reference.measuredPoints.size()) __builtin_trap();
}

void PivotFits(fuzz::Reader& in) {
  namespace n64 = Oskelo::CV::Native64;
  n64::PivotFitOptions options;
  options.outlierFactor = in.Take<double>();
  options.minKeptShare = in.Take<double>();
  options.refineGeometric = in.TakeBool();
  options.minFrames = in.Take<std::int32_t>();
  std::vector<std::vector<cv::Point3d>> frames(in.TakeInRange(0, kMaxFrames));
  for (auto& frame : frames) frame = fuzz::TakePoints3(in, 8);
  const std::vector<cv::Point3d> model = fuzz::TakePoints3(in, 8);
  try {
    std::vector<cv::Mat> poses;
    const n64::PivotFitResult r = n64::PivotFromMarkers(frames, model, options, &poses);
    if (r.solved && r.frameResiduals.size() != frames.size()) __builtin_trap();
    n64::PivotFromPoses(poses, options);
  } catch (const cv::Exception&) {
  }
  try {
    n64::MeanMarkerModel(frames);
  } catch (const cv::Exception&) {
  }
  std::vector<cv::Mat> poses;
  for (int i = in.TakeInRange(0, kMaxFrames); i > 0; --i) poses.push_back(fuzz::TakeMatrix(in));
  try {
    n64::PivotFromPoses(poses, options);
  } catch (const cv::Exception&) {
  }
}

void CentreBias(fuzz::Reader& in) {
  const cv::Mat K = fuzz::TakeMatrix(in), D = fuzz::TakeMatrix(in);
  const cv::Vec3d rvec(in.Take<double>(), in.Take<double>(), in.Take<double>());
  const cv::Vec3d t(in.Take<double>(), in.Take<double>(), in.Take<double>());
  const cv::Vec3d normal(in.Take<double>(), in.Take<double>(), in.Take<double>());
  const double radius = in.Take<double>();
  const std::vector<cv::Point3d> centres = fuzz::TakePoints3(in, kMaxPoints);
  try {
    const auto bias =
        Oskelo::CV::Native64::OutlineCentreBias(K, D, rvec, t, centres, radius, normal);
    if (bias.size() != centres.size()) __builtin_trap();
  } catch (const cv::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  switch (in.TakeInRange(0, 4)) {
    case 0:
      RegisterWithCone(in);
      break;
    case 1:
      RegisterMatrices(in);
      break;
    case 2:
      ReferenceFrame(in);
      break;
    case 3:
      PivotFits(in);
      break;
    default:
      CentreBias(in);
      break;
  }
  return 0;
}
