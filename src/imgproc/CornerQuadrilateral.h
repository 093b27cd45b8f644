#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace Oskelo::CV::Native64::detail {

// Whether the outline is simplified a second time, more finely, when the coarse simplification
// leaves fewer than four vertices.
enum class OutlineRetry { kNone, kFinerEpsilon };

// Four-corner outline of a dot cloud: the convex hull of the points (single precision,
// counter-clockwise in OpenCV's sense, so TL, TR, BR, BL for an upright square in image
// coordinates), simplified by Douglas-Peucker (cv::approxPolyDP, 5 px, closed), optionally once
// more from the unsimplified hull at 2 px when that left fewer than four vertices, then reduced by
// RemoveFlattestVertices. Returns the polygon in hull order: four vertices on success, fewer when
// the cloud has no four-corner outline (collinear points, fewer than four distinct hull vertices).
// Points whose single-precision copy is not finite are left out: they cannot lie on the outline,
// and the hull's sort would misbehave on NaN.
std::vector<cv::Point2f> CornerQuadrilateral(const std::vector<cv::Point2d>& points,
                                             OutlineRetry retry);

// Distance of `next` from the line through `previous` and `vertex`, taken as sin(theta) * b with
// theta the angle at `vertex` from the law of cosines: squared side lengths formed in single
// precision and widened to double. A side of length 0 (coincident vertices) gives 0, so a
// duplicate vertex counts as the flattest; the cosine is clamped to [-1, 1] so that rounding on
// nearly straight vertices cannot make the angle NaN.
double VertexFlatness(const cv::Point2f& previous, const cv::Point2f& vertex,
                      const cv::Point2f& next);

// While the closed polygon has more than four vertices, deletes the flattest one (smallest
// VertexFlatness with cyclic neighbours; on ties the lowest index, as cv::minMaxIdx reports it).
void RemoveFlattestVertices(std::vector<cv::Point2f>& polygon);

}  // namespace Oskelo::CV::Native64::detail
