#include "cone/EulerAngles.h"

#include <cmath>

#include "native64/Cone.h"

namespace Oskelo::CV::Native64::detail {

// For R = first(a) * middle(b) * third(c), one row and one column of R hold sin(b) and the
// products cos(b)*sin/cos of the outer angles; the table picks them for each order.
EulerTerms SelectEulerTerms(const cv::Mat& rotation, int order) {
  const auto R = [&rotation](int row, int col) { return rotation.at<double>(row, col); };
  switch (order) {
    case 0:  // Rx * Rz * Ry
      return {R(2, 1), R(1, 1), -R(0, 1), R(0, 2), R(0, 0)};
    case 2:  // Ry * Rx * Rz
      return {R(0, 2), R(2, 2), -R(1, 2), R(1, 0), R(1, 1)};
    case 3:  // Ry * Rz * Rx
      return {-R(2, 0), R(0, 0), R(1, 0), -R(1, 2), R(1, 1)};
    case 4:  // Rz * Rx * Ry
      return {-R(0, 1), R(1, 1), R(2, 1), -R(2, 0), R(2, 2)};
    case 5:  // Rz * Ry * Rx
      return {R(1, 0), R(0, 0), -R(2, 0), R(2, 1), R(2, 2)};
    default:  // 1 and every other value: Rx * Ry * Rz
      return {-R(1, 2), R(2, 2), R(0, 2), -R(0, 1), R(0, 0)};
  }
}

cv::Point3_<double> ComputeEulerAngles(const EulerTerms& t) {
  // 1 / cos(middle): scales both atan2 arguments back to sine and cosine.
  const double k = 1.0 / std::sqrt(1.0 - t.middleSin * t.middleSin);
  return {std::atan2(k * t.firstSin, k * t.firstCos), std::asin(t.middleSin),
          std::atan2(k * t.thirdSin, k * t.thirdCos)};
}

cv::Point3_<double> EulerAngles(const cv::Mat& rotation, int order) {
  return ComputeEulerAngles(SelectEulerTerms(rotation, order));
}

}  // namespace Oskelo::CV::Native64::detail

namespace Oskelo::CV::Native64 {

void Cone::GetEulerAngles(cv::Mat& transform, cv::Point3_<double>& angles) const {
  const detail::EulerTerms t = detail::SelectEulerTerms(transform, eulerOrder);
  ComputeAngles(t.firstSin, t.firstCos, t.middleSin, t.thirdSin, t.thirdCos, angles);
}

void Cone::ComputeAngles(double firstSin, double firstCos, double middleSin, double thirdSin,
                         double thirdCos, cv::Point3_<double>& angles) const {
  angles = detail::ComputeEulerAngles({firstSin, firstCos, middleSin, thirdSin, thirdCos});
}

}  // namespace Oskelo::CV::Native64
