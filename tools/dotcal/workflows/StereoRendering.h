#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "synth/Renderer.h"
#include "synth/StereoRig.h"
#include "synth/Target.h"

namespace dotcal {

// One scene as both cameras of the rig see it: 8-bit images with packed rows.
struct StereoImages {
  cv::Mat left;
  cv::Mat right;
};

// Which sequence of a series a frame belongs to; each has its own noise.
enum class Sequence : std::uint64_t { kPlate = 1, kTool = 2, kMoving = 3 };

// Renders one target through both cameras. The noise of each image comes from its own seed,
// derived from the series seed, the sequence and the frame index, so a series replays from its
// seed and no two images share noise.
StereoImages RenderStereo(const synth::StereoRig& rig, const synth::PlacedTarget& target,
                          synth::RenderSettings settings, std::uint64_t seriesSeed,
                          Sequence sequence, int frame);
// The same for several targets in one scene (they must not overlap in either image).
StereoImages RenderStereo(const synth::StereoRig& rig,
                          const std::vector<synth::PlacedTarget>& targets,
                          synth::RenderSettings settings, std::uint64_t seriesSeed,
                          Sequence sequence, int frame);

// World positions (the left camera's frame) of every dot of a placed target, in its dot order.
std::vector<cv::Point3d> DotPositions(const synth::PlacedTarget& placed);

}  // namespace dotcal
