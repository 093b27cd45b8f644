#pragma once

#include <opencv2/core.hpp>

#include "native64/Native64Export.h"

// Geometry on point sets of 2, 3 or 4 coordinates per point.
//
// A point set is either a single-channel continuous matrix with more than one row and more than
// one column (one point per row, or one point per column when it has fewer rows than columns: the
// coordinate count is the smaller dimension) or a multi-channel continuous array with exactly one
// row or one column (one point per element, e.g. a std::vector<cv::Point3d>). A square matrix is
// refused, since its layout is ambiguous. Refused inputs raise cv::Exception whose text is the
// condition that failed.
namespace Tarnwell::Native::CV {

// Fits a hypersphere (a circle for 2 coordinates, a sphere for 3) to `spheroid` with the hyper fit
// of Al-Sharadqah and Chernov, which is free of essential bias on short arcs. Writes one row of
// D + 1 values of the input's depth to `output`: the centre, then the radius. Needs D + 2 points
// at least. Returns the RMS of the geometric residuals (distance to the centre minus the radius)
// when `flag` is true, else 0.0.
NATIVE64_API double FitHyperSphere(cv::InputArray spheroid, cv::OutputArray output, bool flag);

// Least-squares rigid transform (Kabsch) that carries the points of A onto the points of B, paired
// by index; both of the same layout, depth and size. Writes a (D+1)x(D+1) homogeneous matrix of
// A's depth, mapping a to R*(a - mean(A)) + mean(B). With `fixReflection` the result is a proper
// rotation; without it, it may be a reflection where that fits better. Returns, when
// `computeError` is true, the population standard deviation of all D*N coordinate residuals
// B - transform(A) in length units, else 0.0.
NATIVE64_API double GetRigidTransform(cv::InputArray A, cv::InputArray B, cv::OutputArray transform,
                                      bool computeError, bool fixReflection);

}  // namespace Tarnwell::Native::CV
