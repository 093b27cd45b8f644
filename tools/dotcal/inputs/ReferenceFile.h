#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// A reference frame: what `dotcal register --out` writes and `dotcal track --reference` reads.
// YAML (cv::FileStorage):
//
//   unit: mm
//   reference_from_measured: !!opencv-matrix   # 4 x 4, maps measured points into the frame
//   points: [ {name: F1, reference: [x, y, z], measured: [x, y, z], residual: 0.12}, ... ]
//   rms: 0.15                                  # RMS distance of the mapped measured points
//   created: 2026-12-09T06:00:00Z
//
// The transform is Reference::ComputeReferenceTransform's, from the named point pairs.
struct ReferencePoint {
  std::string name;
  cv::Point3d reference;
  cv::Point3d measured;
  double residual = 0.0;  // distance of the mapped measured point from the reference point
};

struct ReferenceFrame {
  std::string unit = "mm";
  cv::Mat referenceFromMeasured = cv::Mat::eye(4, 4, CV_64F);
  std::vector<ReferencePoint> points;
  double rms = 0.0;
  std::string created;
};

// Writes the file. Throws WorkFailed when it cannot be written.
void WriteReferenceFile(const std::string& path, const ReferenceFrame& frame);

// Reads and checks a reference file. Throws UsageError when the file does not exist and
// WorkFailed naming the key when it does not parse, lacks a key or holds a transform that is not
// a 4 x 4 rigid transform.
ReferenceFrame ReadReferenceFile(const std::string& path);

// Why `m` is not a 4 x 4 rigid transform (one channel, finite, last row 0 0 0 1, a rotation
// orthonormal with determinant +1 to `tolerance`), as a phrase ("is not rigid: ..."), or "" when
// it is one.
std::string RigidTransformFault(const cv::Mat& m, double tolerance);

}  // namespace dotcal
