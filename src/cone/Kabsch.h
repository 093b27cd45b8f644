#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

// The library's one instantiation of the point-list container.
#include <vector>

#include "native64/ExportedTypes.h"

// Steps of the least-squares rigid registration of paired 3-D point sets (Kabsch; Arun, Huang and
// Blostein), shared by Cone's rigid transform and the reference frame.
namespace Oskelo::CV::Native64::detail {

// Mean of points[i] + offset over the first n points (NaN for n = 0).
cv::Point3_<double> Centroid(const std::vector<cv::Point3_<double>>& points, std::size_t n,
                             const cv::Point3_<double>& offset = {0.0, 0.0, 0.0});

// Cross-covariance H = sum over i < n of (a[i] - aCentroid) (b[i] - bCentroid)^T.
cv::Matx33d CrossCovariance(const std::vector<cv::Point3_<double>>& a,
                            const std::vector<cv::Point3_<double>>& b, std::size_t n,
                            const cv::Point3_<double>& aCentroid,
                            const cv::Point3_<double>& bCentroid);

// How the rotation's product is formed. The two orders are the same rotation but round
// differently in the last bits, and each caller keeps the results it has always given.
enum class KabschProduct {
  kTransposed,  // (U S Vt)^T: Cone, Reference and the pose-based pivot
  kDirect,      // Vt^T S U^T: the free GetRigidTransform
};

// The rotation of the Kabsch step in D dimensions (Arun, Huang and Blostein): the orthogonal R
// that best turns the centred first set onto the centred second set, given their cross-covariance
// H = U W Vt: R = V S U^T with S = diag(1, ..., 1, s). With `proper`, s = det(U Vt): where a
// reflection would fit better, the axis of the smallest singular value is flipped instead;
// otherwise s = 1 and R may be a reflection. The one implementation of the step for every caller.
template <int D>
cv::Matx<double, D, D> KabschRotation(const cv::Matx<double, D, D>& H, bool proper,
                                      KabschProduct product) {
  cv::Vec<double, D> w;
  cv::Matx<double, D, D> u, vt;
  cv::SVD::compute(H, w, u, vt);
  cv::Matx<double, D, D> S = cv::Matx<double, D, D>::eye();
  if (proper) S(D - 1, D - 1) = cv::determinant(u * vt);
  if (product == KabschProduct::kTransposed) return (u * S * vt).t();
  return vt.t() * S * u.t();
}

// The proper rotation of the 3-D sets: KabschRotation<3>(H, true, KabschProduct::kTransposed).
cv::Matx33d ProperRotation(const cv::Matx33d& H);

// A rigid motion x -> R x + t.
struct RigidPose {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d t = cv::Vec3d(0.0, 0.0, 0.0);
};

// The least-squares proper rigid motion carrying from[i] onto to[i] for every i < from.size(), by
// the steps above: the rotation of the centred sets, then the translation that carries from's
// centroid onto to's. `to` must hold at least as many points as `from`.
RigidPose RegisterRigid(const std::vector<cv::Point3_<double>>& from,
                        const std::vector<cv::Point3_<double>>& to);

}  // namespace Oskelo::CV::Native64::detail
