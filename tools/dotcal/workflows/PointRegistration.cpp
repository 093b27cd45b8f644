#include "workflows/PointRegistration.h"

#include <cmath>

#include "CommandError.h"
#include "inputs/CalibrationFile.h"
#include "native64/Reference.h"

namespace dotcal {
namespace {

// Points whose spread across their main direction is below this share of the spread along it
// lie on one line, to the digits a point file is written with.
constexpr double kCollinearShare = 1e-6;

}  // namespace

bool AreCollinear(const std::vector<cv::Point3d>& points) {
  if (points.empty()) return true;
  cv::Point3d centroid(0, 0, 0);
  for (const cv::Point3d& p : points) centroid += p;
  centroid *= 1.0 / static_cast<double>(points.size());
  cv::Mat centred(static_cast<int>(points.size()), 3, CV_64F);
  for (int r = 0; r < centred.rows; ++r) {
    const cv::Point3d d = points[r] - centroid;
    centred.at<double>(r, 0) = d.x;
    centred.at<double>(r, 1) = d.y;
    centred.at<double>(r, 2) = d.z;
  }
  cv::Mat singular;
  cv::SVD::compute(centred, singular, cv::SVD::NO_UV);
  const double largest = singular.at<double>(0);
  const double second = singular.rows > 1 ? singular.at<double>(1) : 0.0;
  return !(second > kCollinearShare * largest);
}

ReferenceFrame RegisterPoints(std::vector<ReferencePoint> pairs, const std::string& unit) {
  if (pairs.size() < 3) {
    throw WorkFailed(std::to_string(pairs.size()) +
                     " point pairs; a reference frame needs at least 3, not all on one line");
  }
  Oskelo::CV::Native64::Reference reference;
  for (const ReferencePoint& p : pairs) {
    reference.referencePoints.push_back(p.reference);
    reference.measuredPoints.push_back(p.measured);
  }
  if (AreCollinear(reference.referencePoints)) {
    throw WorkFailed("the reference points lie on one line: they fix no rotation about it");
  }
  if (AreCollinear(reference.measuredPoints)) {
    throw WorkFailed("the measured points lie on one line: they fix no rotation about it");
  }
  reference.ComputeReferenceTransform({0, 0, 0});
  std::vector<cv::Point3d> mapped;
  reference.Transform(reference.measuredPoints, mapped);

  ReferenceFrame frame;
  frame.unit = unit;
  frame.referenceFromMeasured = reference.referenceTransform.clone();
  double sumSquares = 0.0;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    pairs[k].residual = cv::norm(mapped[k] - pairs[k].reference);
    sumSquares += pairs[k].residual * pairs[k].residual;
  }
  frame.rms = std::sqrt(sumSquares / static_cast<double>(pairs.size()));
  frame.points = std::move(pairs);
  frame.created = IsoTimeNow();
  return frame;
}

}  // namespace dotcal
