#include "workflows/StereoRendering.h"

#include "synth/GroundTruth.h"

namespace dotcal {
namespace {

// SplitMix64 (Steele, Lea and Flood): spreads nearby inputs over the whole 64-bit range, so that
// seeds drawn from consecutive frame numbers give unrelated noise.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t NoiseSeed(std::uint64_t seriesSeed, Sequence sequence, int frame, int camera) {
  return Mix(Mix(Mix(seriesSeed) ^ static_cast<std::uint64_t>(sequence)) ^
             (static_cast<std::uint64_t>(frame) * 2 + static_cast<std::uint64_t>(camera)));
}

}  // namespace

StereoImages RenderStereo(const synth::StereoRig& rig, const synth::PlacedTarget& target,
                          synth::RenderSettings settings, std::uint64_t seriesSeed,
                          Sequence sequence, int frame) {
  return RenderStereo(rig, std::vector<synth::PlacedTarget>{target}, settings, seriesSeed, sequence,
                      frame);
}

StereoImages RenderStereo(const synth::StereoRig& rig,
                          const std::vector<synth::PlacedTarget>& targets,
                          synth::RenderSettings settings, std::uint64_t seriesSeed,
                          Sequence sequence, int frame) {
  StereoImages images;
  settings.seed = NoiseSeed(seriesSeed, sequence, frame, 0);
  images.left = synth::Render(rig.left, targets, settings).image;
  settings.seed = NoiseSeed(seriesSeed, sequence, frame, 1);
  images.right = synth::Render(rig.right, targets, settings).image;
  return images;
}

std::vector<cv::Point3d> DotPositions(const synth::PlacedTarget& placed) {
  std::vector<cv::Point3d> dots;
  dots.reserve(placed.target.dots.size());
  for (const cv::Point2d& dot : placed.target.dots)
    dots.push_back(synth::TargetToWorld(placed, dot));
  return dots;
}

}  // namespace dotcal
