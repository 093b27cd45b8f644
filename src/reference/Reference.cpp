#include "native64/Reference.h"

#include "cone/Kabsch.h"

namespace Oskelo::CV::Native64 {
namespace {

// 4x4 identity with `t` in its last column.
cv::Mat Translation(const cv::Point3_<double>& t) {
  cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
  T.at<double>(0, 3) = t.x;
  T.at<double>(1, 3) = t.y;
  T.at<double>(2, 3) = t.z;
  return T;
}

}  // namespace

Reference::Reference()
    : referencePoints(), measuredPoints(), referenceTransform(cv::Mat::eye(4, 4, CV_64F)) {}
Reference::Reference(const Reference& other) = default;
Reference& Reference::operator=(const Reference& other) = default;
Reference::~Reference() = default;

// Kabsch registration of the reference points (shifted by the offset) onto the measured points,
// stored inverted so that it maps measured coordinates into the reference frame.
void Reference::ComputeReferenceTransform(cv::Point3_<double> offset) {
  const std::size_t n = measuredPoints.size();
  if (n == 0) CV_Error(cv::Error::StsBadSize, "ComputeReferenceTransform: no measured points");
  if (referencePoints.size() < n) {
    CV_Error(cv::Error::StsUnmatchedSizes,
             cv::format("ComputeReferenceTransform: %zu reference points for %zu measured points",
                        referencePoints.size(), n));
  }

  const cv::Point3_<double> measuredCentroid = detail::Centroid(measuredPoints, n);
  const cv::Point3_<double> referenceCentroid = detail::Centroid(referencePoints, n, offset);
  const cv::Matx33d R = detail::ProperRotation(detail::CrossCovariance(
      referencePoints, measuredPoints, n, referenceCentroid, measuredCentroid));

  cv::Mat R4 = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(R).copyTo(R4(cv::Rect(0, 0, 3, 3)));
  // Reference to measured: A r = R (r - referenceCentroid) + measuredCentroid.
  const cv::Mat referenceToMeasured =
      Translation(measuredCentroid) * R4 * Translation(-referenceCentroid);
  // Inverted into a new matrix, so that copies which shared the previous one keep it.
  const cv::Mat measuredToReference = referenceToMeasured.inv(cv::DECOMP_LU);
  referenceTransform = measuredToReference;
}

void Reference::Transform(const std::vector<cv::Point3_<double>>& in,
                          std::vector<cv::Point3_<double>>& out) const {
  out.resize(in.size());
  if (in.empty()) return;
  cv::perspectiveTransform(in, out, referenceTransform);
}

}  // namespace Oskelo::CV::Native64
