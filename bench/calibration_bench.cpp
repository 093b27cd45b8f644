// Stereo calibration against its peer, on the same rendered stereo pairs:
//   BM_ExtractPair: the threshold sweep and final detections of one pair (80 detections; the
//       final ones are the sweep's at the chosen thresholds);
//   BM_FindCirclesGridPair: OpenCV's blob-based circle grid on the same two images (the peer);
//   BM_ComputeStereoCalibration: both single-camera calibrations, the stereo calibration and the
//       rectification from 15 pairs;
//   BM_Triangulate: 117 and 100 000 matched points.
// Wall-clock times: OpenCV may spread work over threads, which a per-thread CPU time would hide.
#include <benchmark/benchmark.h>

#include "CirclesGridPeer.h"
#include "native64/Calibration.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace {

using Oskelo::CV::Native64::Calibration;

constexpr int kSeriesPairs = 15;
constexpr std::uint64_t kSeriesSeed = 7;

struct StereoSeries {
  std::vector<cv::Mat> left, right;
  Calibration calibration;  // the series extracted and calibrated
};

const StereoSeries& Series() {
  static const StereoSeries series = [] {
    StereoSeries s;
    const synth::StereoRig rig = synth::StereoRig::Default();
    synth::RenderSettings render;
    for (const synth::PlacedTarget& pose :
         synth::CalibrationSeries(rig, kSeriesPairs, kSeriesSeed)) {
      render.seed += 2;
      s.left.push_back(synth::Render(rig.left, {pose}, render).image);
      s.right.push_back(synth::Render(rig.right, {pose}, render).image);
      s.calibration.ExtractPair(s.left.back().data, s.right.back().data);
    }
    s.calibration.ComputeStereoCalibration();
    return s;
  }();
  return series;
}

void BM_ExtractPair(benchmark::State& state) {
  const StereoSeries& series = Series();
  for (auto _ : state) {
    Calibration calibration;
    if (!calibration.ExtractPair(series.left[0].data, series.right[0].data)) {
      state.SkipWithError("pair refused");
      break;
    }
  }
}
BENCHMARK(BM_ExtractPair)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FindCirclesGridPair(benchmark::State& state) {
  const StereoSeries& series = Series();
  const CirclesGridPeer peer;
  std::vector<cv::Point2f> centres;
  for (auto _ : state) {
    for (const cv::Mat* image : {&series.left[0], &series.right[0]}) {
      if (!peer.Find(*image, centres)) {
        state.SkipWithError("grid not found");
        return;
      }
    }
  }
}
BENCHMARK(BM_FindCirclesGridPair)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ComputeStereoCalibration(benchmark::State& state) {
  Calibration calibration = Series().calibration;
  for (auto _ : state) calibration.ComputeStereoCalibration();
  state.counters["pairs"] = static_cast<double>(calibration.leftTargets.size());
}
BENCHMARK(BM_ComputeStereoCalibration)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Triangulate(benchmark::State& state) {
  const Calibration& calibration = Series().calibration;
  // The first pair's targets, repeated to the requested count.
  std::vector<cv::Point2d> left, right;
  for (std::size_t i = 0; left.size() < static_cast<std::size_t>(state.range(0)); ++i) {
    left.push_back(calibration.leftTargets[0][i % 117]);
    right.push_back(calibration.rightTargets[0][i % 117]);
  }
  std::vector<cv::Point3d> points;
  for (auto _ : state) calibration.Triangulate(left, right, points);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Triangulate)->Arg(117)->Arg(100000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
