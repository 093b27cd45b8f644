#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "inputs/ReferenceFile.h"

namespace dotcal {

// True when the points lie on one line (or on one point): their centred coordinates' second
// singular value is below a millionth of the first, so no rotation about that line is determined.
bool AreCollinear(const std::vector<cv::Point3d>& points);

// The reference frame of named point pairs (each point's `reference` and `measured`; residuals
// are filled in): Reference::ComputeReferenceTransform with no offset, the least-squares rigid
// transform from measured into reference coordinates, then each measured point mapped by
// Reference::Transform, its distance from its reference point, and the RMS of those distances.
// `unit` is the points' length unit. Throws WorkFailed for fewer than 3 pairs, or for reference
// or measured points that lie on one line.
ReferenceFrame RegisterPoints(std::vector<ReferencePoint> pairs, const std::string& unit);

}  // namespace dotcal
