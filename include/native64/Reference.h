#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// Expresses measured 3-D points in a reference frame. The host gives the same points twice, as
// known in the reference frame and as measured; ComputeReferenceTransform stores the
// least-squares rigid transform from measured into reference coordinates, and Transform applies
// it to any measured points.
class NATIVE64_API Reference {
 public:
  // Empty point lists; `referenceTransform` is the 4x4 identity.
  Reference();
  // Copies both lists; the copy shares the data of `referenceTransform` with its source.
  Reference(const Reference& other);
  Reference& operator=(const Reference& other);
  ~Reference();

  // Replaces `referenceTransform` by the proper rigid transform (never a reflection) that best
  // maps measuredPoints[k] onto referencePoints[k] + offset for every k < measuredPoints.size();
  // extra reference points are ignored. `offset` (length units) shifts every result. Throws
  // cv::Exception, leaving the stored transform as it was, when `measuredPoints` is empty or
  // `referencePoints` holds fewer points than it.
  void ComputeReferenceTransform(cv::Point3_<double> offset);

  // Writes to `out` (overwritten, not appended to) every point of `in` mapped by
  // `referenceTransform`.
  void Transform(const std::vector<cv::Point3_<double>>& in,
                 std::vector<cv::Point3_<double>>& out) const;

  // The points as known in the reference frame, in length units; element k pairs with element k
  // of `measuredPoints`. Read by ComputeReferenceTransform only.
  std::vector<cv::Point3_<double>> referencePoints;
  // The same points as measured, in the frame of the points Transform will receive.
  std::vector<cv::Point3_<double>> measuredPoints;
  // 4x4 CV_64F homogeneous transform from measured to reference coordinates; written by
  // ComputeReferenceTransform (a new matrix each time), read by Transform.
  cv::Mat referenceTransform;
};

}  // namespace Oskelo::CV::Native64
