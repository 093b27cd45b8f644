#include <cmath>

#include "cone/Kabsch.h"
#include "native64/Cone.h"

namespace Oskelo::CV::Native64 {
namespace {

// Residuals this large mean the observed markers are not the calibrated tool.
constexpr double kMaxToolResidual = 1000.0;

void RequirePartners(const std::vector<cv::Point3_<double>>& first,
                     const std::vector<cv::Point3_<double>>& second, const char* operation,
                     const char* firstName, const char* secondName) {
  if (second.size() < first.size()) {
    CV_Error(cv::Error::StsUnmatchedSizes,
             cv::format("%s: %s holds %zu points, fewer than the %zu of %s", operation, secondName,
                        second.size(), first.size(), firstName));
  }
}

}  // namespace

// Kabsch registration: the rotation from the SVD of the cross-covariance of the centred sets,
// corrected to a proper rotation, and the translation that carries A's centroid onto B's.
void Cone::GetRigidTransform(const std::vector<cv::Point3_<double>>& A,
                             const std::vector<cv::Point3_<double>>& B, cv::Mat& transform) {
  RequirePartners(A, B, "GetRigidTransform", "A", "B");
  const std::size_t n = A.size();
  const cv::Point3_<double> cA = detail::Centroid(A, n);
  const cv::Point3_<double> cB = detail::Centroid(B, n);
  const cv::Matx33d R = detail::ProperRotation(detail::CrossCovariance(A, B, n, cA, cB));

  // Rows (R | cB - R cA) and (0, 0, 0, 1): translate A's centroid to the origin, rotate, translate
  // to B's centroid.
  cv::Mat result(4, 4, CV_64F);
  const cv::Vec3d bCentroid(cB);
  for (int r = 0; r < 3; ++r) {
    double* row = result.ptr<double>(r);
    for (int c = 0; c < 3; ++c) row[c] = R(r, c);
    row[3] = R(r, 0) * -cA.x + R(r, 1) * -cA.y + R(r, 2) * -cA.z + bCentroid[r];
  }
  double* last = result.ptr<double>(3);
  last[0] = last[1] = last[2] = 0.0;
  last[3] = 1.0;
  transform = result;
}

void Cone::FindTransformation(const std::vector<cv::Point3_<double>>& observed,
                              const std::vector<cv::Point3_<double>>& model, cv::Mat& transform,
                              double& error) {
  cv::Mat result;
  GetRigidTransform(model, observed, result);
  error = ComputeReprojectionError(model, observed, result);
  transform = result;
}

bool Cone::FindTransformation_old(const std::vector<cv::Point3_<double>>& observed,
                                  cv::Point3_<double>& position, cv::Point3_<double>& angles,
                                  cv::Mat& transform, cv::Point3_<double> offset) const {
  if (markerOffsets.size() != observed.size()) return false;

  std::vector<cv::Point3_<double>> model;
  model.reserve(markerOffsets.size());
  for (const cv::Point3_<double>& markerOffset : markerOffsets)
    model.push_back(markerOffset + offset);

  cv::Mat result;
  GetRigidTransform(model, observed, result);
  // The image of the model's origin: the tool tip for a zero offset.
  position = {result.at<double>(0, 3), result.at<double>(1, 3), result.at<double>(2, 3)};
  GetEulerAngles(result, angles);
  transform = result;
  const double error = ComputeReprojectionError(model, observed, result);
  return error < kMaxToolResidual;
}

// RMS of the 3n coordinate differences between the mapped model and the observed points, i.e. the
// RMS point distance divided by sqrt(3). NaN for an empty model.
double Cone::ComputeReprojectionError(const std::vector<cv::Point3_<double>>& model,
                                      const std::vector<cv::Point3_<double>>& observed,
                                      cv::Mat& transform) const {
  RequirePartners(model, observed, "ComputeReprojectionError", "model", "observed");
  const std::size_t n = model.size();
  std::vector<cv::Point3_<double>> projected(n);
  if (n > 0) cv::perspectiveTransform(model, projected, transform);

  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Point3_<double> d = projected[i] - observed[i];
    sum += d.x * d.x + d.y * d.y + d.z * d.z;
  }
  return std::sqrt(sum / (3.0 * static_cast<double>(n)));
}

}  // namespace Oskelo::CV::Native64
