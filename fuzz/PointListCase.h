#pragma once

// Point lists for the fuzz cases of triangulation and of the point-set geometry: a length, then
// that many points of raw doubles (NaN and infinities included).
#include <opencv2/core/types.hpp>
#include <vector>

#include "FuzzInput.h"

namespace fuzz {

inline std::vector<cv::Point2d> TakePoints2(Reader& in, int maxCount) {
  std::vector<cv::Point2d> points(static_cast<std::size_t>(in.TakeInRange(0, maxCount)));
  for (cv::Point2d& p : points) p = {in.Take<double>(), in.Take<double>()};
  return points;
}

inline std::vector<cv::Point3d> TakePoints3(Reader& in, int maxCount) {
  std::vector<cv::Point3d> points(static_cast<std::size_t>(in.TakeInRange(0, maxCount)));
  for (cv::Point3d& p : points) p = {in.Take<double>(), in.Take<double>(), in.Take<double>()};
  return points;
}

inline void PutPoints(Writer& out, const std::vector<cv::Point2d>& points) {
  out.PutInRange(static_cast<int>(points.size()), 0);
  for (const cv::Point2d& p : points) out.Put(p.x).Put(p.y);
}

inline void PutPoints(Writer& out, const std::vector<cv::Point3d>& points) {
  out.PutInRange(static_cast<int>(points.size()), 0);
  for (const cv::Point3d& p : points) out.Put(p.x).Put(p.y).Put(p.z);
}

}  // namespace fuzz
