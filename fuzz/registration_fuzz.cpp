// Fuzzes rigid registration and the reference frame with arbitrary point sets: both
// GetRigidTransform forms (the free one with matrices of arbitrary shape, depth and channels),
// Cone's transformation search, and Reference. Refusals are cv::Exception; degenerate sets may
// give NaN, never a crash, an out-of-bounds read or a hang.
#include "MatrixCase.h"
#include "PointListCase.h"
#include "native64/Cone.h"
#include "native64/GeometryFunctions.h"
#include "native64/Reference.h"

namespace {

constexpr int kMaxPoints = 24;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  switch (in.TakeInRange(0, 2)) {
    case 0:
      RegisterWithCone(in);
      break;
    case 1:
      RegisterMatrices(in);
      break;
    default:
      ReferenceFrame(in);
      break;
  }
  return 0;
}
