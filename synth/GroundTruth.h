#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

#include "Camera.h"
#include "Target.h"

namespace synth {

// Pixel coordinates throughout: OpenCV's convention, pixel (c, r) covers [c - 0.5, c + 0.5] x
// [r - 0.5, r + 0.5], so an image of W x H pixels spans [-0.5, W - 0.5] x [-0.5, H - 0.5].

// Ground truth of one dot as the camera sees it.
struct DotTruth {
  cv::Point2d projectedCentre;  // projection of the dot's 3-D centre, pixels
  cv::Point2d areaCentroid;     // centroid of the dot's projected (distorted) area, pixels
  bool inImage = false;         // the whole dot lies inside the image
};

// The world position of a point of a placed target's plane.
cv::Point3d TargetToWorld(const PlacedTarget& placed, const cv::Point2d& onTarget);

// Whether the camera images a world point where Project says: the point lies in front of the
// camera and on the branch of the lens model that PixelToRay inverts (far off-axis the radial
// polynomial folds back, and Project would put such a point on a pixel that shows something else).
bool ImagedFaithfully(const Camera& camera, const cv::Point3d& world);

// Pixels of `vertices` points spaced evenly around the rim of dot `dot` (a polygon inscribed in
// the rim; a radius factor above 1 gives a polygon around it).
std::vector<cv::Point2d> ProjectDotRim(const Camera& camera, const PlacedTarget& placed,
                                       std::size_t dot, int vertices, double radiusFactor = 1.0);

// Truth of every dot of a target, in the target's dot order. The area centroid is the shoelace
// centroid of the projected rim polygon, dense enough to be exact far below 1e-6 px.
std::vector<DotTruth> DotTruths(const Camera& camera, const PlacedTarget& placed);

// Whether every dot is imaged faithfully and lies at least marginPx inside the image border.
// Checks a coarse polygon around each rim, so the answer errs on the safe side by a few
// hundredths of a pixel; meant for drawing poses.
bool DotsInsideImage(const Camera& camera, const PlacedTarget& placed, double marginPx);

}  // namespace synth
