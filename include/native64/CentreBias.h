#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Native64Export.h"

// Perspective bias of measured dot centres. A centre measured from an image (the grey centroid,
// or the centre of an ellipse fitted to the edges) is the centre of the dot's imaged outline.
// Under perspective, and more so under lens distortion, that point is not the projection of the
// dot's 3-D centre: on a plate tilted by 35 degrees about 1 m from a 1500 px camera the two
// differ by up to about 0.05 px, enough to pull a calibration's focal lengths, principal points
// and baseline off. Knowing the camera and the dot's pose, the difference can be computed and
// removed.
namespace Oskelo::CV::Native64 {

// Per dot: the centre of the imaged outline of a circular dot of `radius` (object units) centred
// at `centres[k]` in the plane through it with normal `normal` (object frame), minus the
// projection of centres[k], in pixels, for a camera (cameraMatrix 3 x 3, 32- or 64-bit floats;
// distortion as cv::projectPoints takes it: 4, 5, 8, 12 or 14 coefficients, or empty) that sees
// the object with pose (rotation, translation): x_camera = rotation * x_object + translation.
//
// Apply it as   unbiased = measured - bias:  the unbiased centre is where the camera model puts
// the dot's centre, the point a calibration or a pose fit must be given for it.
//
// Method: the dot's rim circle is projected through the full lens model (cv::projectPoints, 64
// points evenly spaced on the rim), with the image tangent at each point from the projections of
// two points close by on the rim's 3-D tangent (central differences, exact to about 1e-10). A dual
// conic is fitted to those tangent lines, each weighted by the image arc length it stands for, as
// the edge-based refinement weights its edge lines (edge strength is uniform along an outline):
// least squares of l^T C* l = 0 with C*_33 = 1, in coordinates centred on the outline and scaled by
// its size (Ouellet and Hebert, "Precise ellipse estimation without contour point extraction",
// 2009). The outline's centre is (C*_13, C*_23) / C*_33. Without distortion the projected circle is
// an exact ellipse and the result is its centre, which is also the centroid of its area; with
// distortion the outline is not quite an ellipse and the result is the centre of the ellipse that
// fits its tangents best.
//
// A dot seen edge-on (its plane through the camera centre) has no outline centre: its entry is
// NaN. Throws cv::Exception, before computing anything, for a camera matrix that is not 3 x 3 of
// finite values with positive focal lengths (an uncalibrated, zero matrix included), distortion
// of another count or holding NaN or infinity, a rotation that is not finite or not a rotation,
// a translation that is not finite, a centre that is not finite, a radius that is not finite and
// positive, a normal of zero length or not finite, or a dot not wholly in front of the camera.
NATIVE64_API std::vector<cv::Point2d> OutlineCentreBias(
    const cv::Mat& cameraMatrix, const cv::Mat& distortion, const cv::Matx33d& rotation,
    const cv::Vec3d& translation, const std::vector<cv::Point3d>& centres, double radius,
    const cv::Vec3d& normal = cv::Vec3d(0, 0, 1));

// The same with the rotation as a Rodrigues vector (the rvec of cv::solvePnP).
NATIVE64_API std::vector<cv::Point2d> OutlineCentreBias(
    const cv::Mat& cameraMatrix, const cv::Mat& distortion, const cv::Vec3d& rotationVector,
    const cv::Vec3d& translation, const std::vector<cv::Point3d>& centres, double radius,
    const cv::Vec3d& normal = cv::Vec3d(0, 0, 1));

}  // namespace Oskelo::CV::Native64
