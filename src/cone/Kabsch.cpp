#include "cone/Kabsch.h"

namespace Oskelo::CV::Native64::detail {

cv::Point3_<double> Centroid(const std::vector<cv::Point3_<double>>& points, std::size_t n,
                             const cv::Point3_<double>& offset) {
  cv::Point3_<double> sum(0.0, 0.0, 0.0);
  for (std::size_t i = 0; i < n; ++i) sum += points[i] + offset;
  return sum / static_cast<double>(static_cast<int>(n));
}

cv::Matx33d CrossCovariance(const std::vector<cv::Point3_<double>>& a,
                            const std::vector<cv::Point3_<double>>& b, std::size_t n,
                            const cv::Point3_<double>& aCentroid,
                            const cv::Point3_<double>& bCentroid) {
  cv::Matx33d H = cv::Matx33d::zeros();
  for (std::size_t i = 0; i < n; ++i) {
    const cv::Vec3d da(a[i] - aCentroid);
    const cv::Vec3d db(b[i] - bCentroid);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) H(r, c) += da[r] * db[c];
    }
  }
  return H;
}

cv::Matx33d ProperRotation(const cv::Matx33d& H) {
  return KabschRotation<3>(H, true, KabschProduct::kTransposed);
}

RigidPose RegisterRigid(const std::vector<cv::Point3_<double>>& from,
                        const std::vector<cv::Point3_<double>>& to) {
  const std::size_t n = from.size();
  const cv::Point3_<double> cFrom = Centroid(from, n);
  const cv::Point3_<double> cTo = Centroid(to, n);
  RigidPose pose;
  pose.R = ProperRotation(CrossCovariance(from, to, n, cFrom, cTo));
  pose.t = cv::Vec3d(cTo) - pose.R * cv::Vec3d(cFrom);
  return pose;
}

}  // namespace Oskelo::CV::Native64::detail
