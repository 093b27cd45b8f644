// Target detection against its peer, on the same rendered frames:
//   (a) BM_FindTargetsPlate: the short FindTargets on a calibration plate frame (117 dots), run as
//       the calibration runs it (state 4, a fixed threshold);
//   (b) BM_TrackTracker: the long FindTargets following the 7-dot tracker in its search region;
//   (c) BM_FindCirclesGrid: OpenCV's blob-based symmetric circle grid on the frame of (a);
//   (d) BM_RefinePlateDots: RefineDots on the 117 centres that (a) finds (and
//       BM_RefinePlateDotsFittingGreyLevels, with the grey-level fit after the conic one), and
//   (e) BM_RefineTrackerDots: RefineDots on the 7 centres that (b) finds. Each also times its
//       detection call in the same run and reports the counter ratio_to_detection (refinement
//       time over detection time; the goals are at most 1 for the plate, 2 for the tracker).
// Wall-clock times: OpenCV may spread work over threads, which a per-thread CPU time would hide.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "CirclesGridPeer.h"
#include "native64/DotRefinement.h"
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

// The 4 x 2 tracker grid at the halfway threshold, as the tracking finds it.
void ConfigureForTracker(ImageProcessor& detector) {
  auto& s = *detector.settings;
  s.gridColumns = 4;
  s.gridRows = 2;
  s.threshold = kHalfwayThreshold;
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
  ConfigureForTracker(detector);
  cv::Rect roi = detector.settings->imageRect, targetRect = detector.settings->imageRect;
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

// Mean wall-clock seconds of `call` over `repeats` runs.
template <typename Call>
double MeanSeconds(int repeats, Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeats; ++i) call();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / repeats;
}

constexpr int kPeerRepeats = 50;  // detection calls timed for each ratio

// Times RefineDots on one frame's dots, and reports the dots refined and the time per call as a
// ratio to `peerSeconds` (the detection the refinement follows, timed in the same run).
void TimeRefinement(benchmark::State& state, const cv::Mat& frame,
                    const std::vector<cv::Point2d>& targets, double peerSeconds,
                    const Oskelo::CV::Native64::DotRefinementOptions& options = {}) {
  int refined = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::vector<Oskelo::CV::Native64::RefinedDot> dots =
        Oskelo::CV::Native64::RefineDots(frame, targets, options);
    refined = static_cast<int>(
        std::count_if(dots.begin(), dots.end(), [](const auto& d) { return d.flags == 0; }));
    benchmark::DoNotOptimize(dots.data());
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  state.counters["refined"] = refined;
  state.counters["ratio_to_detection"] =
      elapsed.count() / static_cast<double>(state.iterations()) / peerSeconds;
}

void RefinePlateDots(benchmark::State& state,
                     const Oskelo::CV::Native64::DotRefinementOptions& options) {
  const cv::Mat& frame = PlateFrame();
  ImageProcessor detector;
  ConfigureForPlate(detector);
  std::vector<cv::Point2d> targets;
  bool found = true;
  const double detection = MeanSeconds(kPeerRepeats, [&] {
    detector.settings->thresholdState = 4;
    detector.settings->threshold = kHalfwayThreshold;
    found = found && detector.FindTargets(frame.data, targets) && targets.size() == 117;
  });
  if (!found) {
    state.SkipWithError("plate not found");
    return;
  }
  TimeRefinement(state, frame, targets, detection, options);
}

void BM_RefinePlateDots(benchmark::State& state) { RefinePlateDots(state, {}); }
BENCHMARK(BM_RefinePlateDots)->Unit(benchmark::kMicrosecond)->UseRealTime();

// (d) with the grey-level fit after the conic one.
void BM_RefinePlateDotsFittingGreyLevels(benchmark::State& state) {
  Oskelo::CV::Native64::DotRefinementOptions options;
  options.fitGreyLevels = true;
  RefinePlateDots(state, options);
}
BENCHMARK(BM_RefinePlateDotsFittingGreyLevels)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RefineTrackerDots(benchmark::State& state) {
  const cv::Mat& frame = TrackerFrame();
  ImageProcessor detector;
  ConfigureForTracker(detector);
  cv::Rect roi = detector.settings->imageRect, targetRect = detector.settings->imageRect;
  std::vector<cv::Point2d> targets;
  if (!detector.FindTargets(frame.data, targets, roi, targetRect, {}, false)) {
    state.SkipWithError("tracker not found");
    return;
  }
  bool found = true;
  const double tracking = MeanSeconds(kPeerRepeats, [&] {
    found = found && detector.FindTargets(frame.data, targets, roi, targetRect, {}, false);
  });
  if (!found || targets.size() != 7) {
    state.SkipWithError("tracker lost");
    return;
  }
  TimeRefinement(state, frame, targets, tracking);
}
BENCHMARK(BM_RefineTrackerDots)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
