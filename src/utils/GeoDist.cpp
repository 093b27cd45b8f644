#include <cmath>

#include "native64/Utils.h"

namespace Oskelo::CV::Native64::Utils {
namespace {

// Both forms share this expression so that the point form equals the one-element list form.
double Distance(const cv::Point3_<double>& p, const cv::Point3_<double>& q) {
  const double dx = p.x - q.x;
  const double dy = p.y - q.y;
  const double dz = p.z - q.z;
  return std::sqrt((dy * dy + dx * dx) + dz * dz);
}

}  // namespace

void GeoDist(const cv::Point3_<double>& a, const cv::Point3_<double>& b, double& distance) {
  distance = Distance(a, b);
}

void GeoDist(const std::vector<cv::Point3_<double>>& a, const std::vector<cv::Point3_<double>>& b,
             std::vector<double>& distances) {
  if (b.size() < a.size()) {
    CV_Error(cv::Error::StsUnmatchedSizes,
             "GeoDist: the second point list is shorter than the first");
  }
  distances.clear();
  distances.reserve(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) distances.push_back(Distance(a[i], b[i]));
}

}  // namespace Oskelo::CV::Native64::Utils
