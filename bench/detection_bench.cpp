// Target detection against its peer, on the same rendered frames:
//   (a) BM_FindTargetsPlate: the short FindTargets on a calibration plate frame (117 dots), run as
//       the calibration runs it (state 4, a fixed threshold);
//   (b) BM_TrackTracker: the long FindTargets following the 7-dot tracker in its search region;
//   (c) BM_FindCirclesGrid: OpenCV's blob-based symmetric circle grid on the frame of (a).
// Wall-clock times: OpenCV may spread work over threads, which a per-thread CPU time would hide.
#include <benchmark/benchmark.h>

#include "CirclesGridPeer.h"
#include "native64/ImageProcessor.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace {

using Oskelo::CV::Native64::ImageProcessor;

constexpr int kHalfwayThreshold = 120;  // between the renderer's dot (40) and box (200) levels

// A plate filling a typical part of the image: box perimeter 1800 to 2500 px.
const cv::Mat& PlateFrame() {
  static const cv::Mat frame = [] {
    const synth::Camera camera = synth::StereoRig::Default().left;
    const auto poses = synth::PlateViews(camera, 1, 11, 1800.0, 2500.0);
    return synth::Render(camera, poses, synth::RenderSettings()).image;
  }();
  return frame;
}

// The tracker about 1000 mm away near the middle of the image, slightly turned and tilted.
const cv::Mat& TrackerFrame() {
  static const cv::Mat frame = [] {
    const synth::Camera camera = synth::StereoRig::Default().left;
    const auto pose = synth::PlaceInView(synth::Target::Tracker(), camera, {620.0, 540.0}, 1000.0,
                                         10.0, -8.0, 5.0);
    return synth::Render(camera, {pose}, synth::RenderSettings()).image;
  }();
  return frame;
}

void ConfigureForPlate(ImageProcessor& detector) {
  auto& s = *detector.settings;
  s.dotDiameter = 15.0;
  s.imageRect = cv::Rect(0, 0, 1248, 1082);
  s.dotCount = 117;
  s.dotSpacing = 30.0;
  s.gridColumns = 9;
  s.gridRows = 13;
}

void BM_FindTargetsPlate(benchmark::State& state) {
  const cv::Mat& frame = PlateFrame();
  ImageProcessor detector;
  ConfigureForPlate(detector);
  std::vector<cv::Point2d> targets;
  for (auto _ : state) {
    detector.settings->thresholdState = 4;
    detector.settings->threshold = kHalfwayThreshold;
    if (!detector.FindTargets(frame.data, targets) || targets.size() != 117) {
      state.SkipWithError("plate not found");
      break;
    }
  }
}
BENCHMARK(BM_FindTargetsPlate)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TrackTracker(benchmark::State& state) {
  const cv::Mat& frame = TrackerFrame();
  ImageProcessor detector;
  auto& s = *detector.settings;
  s.gridColumns = 4;
  s.gridRows = 2;
  s.threshold = kHalfwayThreshold;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  std::vector<cv::Point2d> targets;
  // The first call finds the tracker in the whole frame; from then on it is followed.
  if (!detector.FindTargets(frame.data, targets, roi, targetRect, {}, false)) {
    state.SkipWithError("tracker not found");
    return;
  }
  for (auto _ : state) {
    if (!detector.FindTargets(frame.data, targets, roi, targetRect, {}, false)) {
      state.SkipWithError("tracker lost");
      break;
    }
  }
}
BENCHMARK(BM_TrackTracker)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_FindCirclesGrid(benchmark::State& state) {
  const cv::Mat& frame = PlateFrame();
  const CirclesGridPeer peer;
  std::vector<cv::Point2f> centres;
  for (auto _ : state) {
    if (!peer.Find(frame, centres)) {
      state.SkipWithError("grid not found");
      break;
    }
  }
}
BENCHMARK(BM_FindCirclesGrid)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
