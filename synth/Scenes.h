#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "Camera.h"
#include "StereoRig.h"
#include "Target.h"

namespace synth {

// Scene generators shared by the tests, the benchmarks and the demo. Poses follow
// x_world = world_from_target_R * x_target + world_from_target_t; angles are in degrees.

// Places a target so that the centre of its box lies on the ray through `pixel`, `distance` mm
// from the camera centre along that ray. The target first faces the camera (its z axis along the
// ray, pointing away from the camera, its x axis as near the camera's x as that allows, so that
// an untilted target reads left to right and top to bottom); it is then turned by spinDeg about
// its normal and tilted by tiltXDeg about its own x axis and tiltYDeg about its own y axis.
PlacedTarget PlaceInView(const Target& target, const Camera& camera, cv::Point2d pixel,
                         double distance, double tiltXDeg, double tiltYDeg, double spinDeg);

// Calibration plate poses for a stereo calibration series of `pairs` image pairs: tilts up to
// 35 degrees about both axes, turns up to 20 degrees about the normal, distances within 15 % of
// one at which the plate fills a good part of the images, positions spread over the left image,
// and every dot at least 10 px inside both images. The same seed gives the same series.
std::vector<PlacedTarget> CalibrationSeries(const StereoRig& rig, int pairs, std::uint64_t seed);

// Calibration plate poses for one camera: tilts up to 35 degrees about both axes, turns up to
// 20 degrees about the normal, positions spread over the image, distances such that the box's
// projected perimeter lies in [minPerimeterPx, maxPerimeterPx], and every dot at least 10 px
// inside the image. The same seed gives the same views.
std::vector<PlacedTarget> PlateViews(const Camera& camera, int count, std::uint64_t seed,
                                     double minPerimeterPx, double maxPerimeterPx);

// Length in pixels of the image of a target's box outline (lens distortion bends its sides);
// negative when part of the outline is not imaged faithfully.
double ProjectedBoxPerimeter(const Camera& camera, const PlacedTarget& placed);

}  // namespace synth
