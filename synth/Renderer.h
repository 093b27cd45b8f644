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
  // Area integration: samplesPerAxis^2 rays per pixel (at least 4). 16 x 16 resolves an edge
  // pixel's coverage finely enough that a dot's rendered centre stays within 0.003 px of its true
  // area centroid; 4 x 4 leaves about 0.01 px.
  int samplesPerAxis = 16;
  double blurSigma = 0.7;  // Gaussian optical blur, pixels (0: none)
  // true: the blur acts on the light before the pixels integrate it, as a lens's does (exact to
  // the sub-grid of samples). false: the pixels' integrated levels are blurred by a Gaussian
  // sampled at whole pixels, a spread made of whole-pixel steps: an edge's profile then depends
  // on where it falls between pixel centres (most for blurs of a pixel or less), and the centres
  // of methods that fit the edge lock to the pixel grid by a few thousandths of a pixel. false
  // stays the default so that figures measured on earlier renders can be compared. true costs
  // about 1.5 times as much at a blur of 0.7 px, and the work per edge pixel grows with the
  // square of a wider blur.
  bool blurBeforeIntegration = false;
  double noiseSigma = 1.5;        // additive Gaussian noise, 8-bit grey levels (0: none)
  std::uint64_t seed = 1;         // noise generator seed: the same seed gives the same image
  double backgroundLevel = 20.0;  // 8-bit grey level outside every box
  double boxLevel = 200.0;        // 8-bit grey level of a box
  double dotLevel = 40.0;         // 8-bit grey level of a dot
  // Bits per pixel, 8 to 16. 8 gives an 8-bit image; 9 to 16 a 16-bit one on the scale of a
  // 10-, 12- or 16-bit sensor: levels and noise times (2^bits - 1) / 255, the result rounded and
  // saturated to 0..2^bits - 1.
  int bits = 8;
  // true: a pixel whose whole footprint certainly lies on one material gets that level without
  // tracing its rays, which gives the same image much faster; false: every pixel is supersampled
  // (the reference that the shortcut is checked against).
  bool classifyFootprints = true;
};

// One rendered frame: an image whose rows are packed (W x H pixels, the layout the detector
// reads), 8-bit or 16-bit as RenderSettings::bits says, and the truth of every dot of every
// target, target by target, dot by dot.
struct Rendering {
  cv::Mat image;                             // CV_8UC1 for 8 bits, else CV_16UC1; continuous
  std::vector<std::vector<DotTruth>> truth;  // [target][dot]
};

// Renders the targets as the camera sees them: each pixel integrates samplesPerAxis^2 rays through
// the lens onto the target planes (interpolated between the exact rays of its corners), then
// blur, noise and quantisation to 0..2^bits - 1. Targets nearer the camera hide those behind them.
Rendering Render(const Camera& camera, const std::vector<PlacedTarget>& targets,
                 const RenderSettings& settings);

}  // namespace synth
