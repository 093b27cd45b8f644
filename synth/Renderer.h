#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "Camera.h"
#include "GroundTruth.h"
#include "Target.h"

namespace synth {

// How the sensor turns light into grey levels.
struct RenderSettings {
  int samplesPerAxis = 4;         // area integration: samplesPerAxis^2 rays per pixel (at least 4)
  double blurSigma = 0.7;         // Gaussian optical blur, pixels (0: none)
  double noiseSigma = 1.5;        // additive Gaussian noise, grey levels (0: none)
  std::uint64_t seed = 1;         // noise generator seed: the same seed gives the same image
  double backgroundLevel = 20.0;  // grey level outside every box
  double boxLevel = 200.0;        // grey level of a box
  double dotLevel = 40.0;         // grey level of a dot
  // true: a pixel whose whole footprint certainly lies on one material gets that level without
  // tracing its rays, which gives the same image much faster; false: every pixel is supersampled
  // (the reference that the shortcut is checked against).
  bool classifyFootprints = true;
};

// One rendered frame: an 8-bit image whose rows are packed (W x H bytes, the layout the detector
// reads) and the truth of every dot of every target, target by target, dot by dot.
struct Rendering {
  cv::Mat image;                             // CV_8UC1, continuous
  std::vector<std::vector<DotTruth>> truth;  // [target][dot]
};

// Renders the targets as the camera sees them: each pixel integrates samplesPerAxis^2 rays traced
// back through the lens onto the target planes, then blur, noise and quantisation to 0..255.
// Targets nearer the camera hide those behind them.
Rendering Render(const Camera& camera, const std::vector<PlacedTarget>& targets,
                 const RenderSettings& settings);

}  // namespace synth
