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

// Every dot of a drawn plate pose stays this far inside an image: 10 px in images of the default
// size (1248 x 1082) and larger, in smaller ones 10 px scaled by the smaller of the image's width
// and height ratios to that size, so that a small image keeps the same share of its area usable.
double MinDotMarginPx(const cv::Size& imageSize);

// Plate poses for a stereo calibration series of `pairs` image pairs: tilts up to 35 degrees
// about both axes, turns up to 20 degrees about the normal, distances within 15 % of one at which
// the plate's box, head-on, spans 60 % of the left image's height (or of its width, for a box too
// wide for that), positions spread over the left image, and every dot at least MinDotMarginPx
// inside both images. The same seed gives the same series. Throws cv::Exception when the cameras
// cannot show the plate so.
std::vector<PlacedTarget> CalibrationSeries(const StereoRig& rig, const Target& plate, int pairs,
                                            std::uint64_t seed);
// The same with the calibration plate (Target::CalibrationPlate).
std::vector<PlacedTarget> CalibrationSeries(const StereoRig& rig, int pairs, std::uint64_t seed);

// Plate poses for one camera: tilts up to 35 degrees about both axes, turns up to 20 degrees
// about the normal, positions spread over the image, distances such that the box's projected
// perimeter lies in [minPerimeterPx, maxPerimeterPx], and every dot at least MinDotMarginPx inside
// the image. The same seed gives the same views.
std::vector<PlacedTarget> PlateViews(const Camera& camera, const Target& plate, int count,
                                     std::uint64_t seed, double minPerimeterPx,
                                     double maxPerimeterPx);
// The same with the calibration plate (Target::CalibrationPlate).
std::vector<PlacedTarget> PlateViews(const Camera& camera, int count, std::uint64_t seed,
                                     double minPerimeterPx, double maxPerimeterPx);

// Length in pixels of the image of a target's box outline (lens distortion bends its sides);
// negative when part of the outline is not imaged faithfully.
double ProjectedBoxPerimeter(const Camera& camera, const PlacedTarget& placed);

}  // namespace synth
