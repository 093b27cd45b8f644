// The perspective bias of dot centres, per frame of the 7-dot tracker in one camera:
//   BM_OutlineCentreBias: OutlineCentreBias for the tracker's 7 dots (64 rim points each) through
//       the default rig's left camera, lens distortion included;
//   BM_ProjectTrackerCentres: cv::projectPoints of the same 7 centres (the peer: the projection a
//       pose fit needs per frame anyway), for the ratio.
// Tracked with both cameras, a frame costs two of each.
#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>

#include "native64/CentreBias.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace {

struct TrackerView {
  cv::Mat cameraMatrix, distortion;
  cv::Matx33d rotation;  // camera from tracker
  cv::Vec3d translation;
  std::vector<cv::Point3d> centres;
  double radius = 0.0;
};

const TrackerView& View() {
  static const TrackerView view = [] {
    TrackerView v;
    const synth::Camera camera = synth::StereoRig::Default().left;
    const synth::PlacedTarget placed = synth::PlaceInView(synth::Target::Tracker(), camera,
                                                          {400.0, 300.0}, 900.0, 25.0, -15.0, 10.0);
    v.cameraMatrix = cv::Mat(camera.K).clone();
    v.distortion = cv::Mat(camera.distortion).clone();
    v.rotation = camera.camera_from_world_R * placed.world_from_target_R;
    v.translation =
        camera.camera_from_world_R * placed.world_from_target_t + camera.camera_from_world_t;
    for (const cv::Point2d& d : placed.target.dots) v.centres.emplace_back(d.x, d.y, 0.0);
    v.radius = 0.5 * placed.target.dotDiameter;
    return v;
  }();
  return view;
}

void BM_OutlineCentreBias(benchmark::State& state) {
  const TrackerView& v = View();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Oskelo::CV::Native64::OutlineCentreBias(
        v.cameraMatrix, v.distortion, v.rotation, v.translation, v.centres, v.radius));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.centres.size()));
}
BENCHMARK(BM_OutlineCentreBias)->Unit(benchmark::kMicrosecond);

void BM_ProjectTrackerCentres(benchmark::State& state) {
  const TrackerView& v = View();
  cv::Vec3d rvec;
  cv::Rodrigues(v.rotation, rvec);
  std::vector<cv::Point2d> pixels;
  for (auto _ : state) {
    cv::projectPoints(v.centres, rvec, v.translation, v.cameraMatrix, v.distortion, pixels);
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.centres.size()));
}
BENCHMARK(BM_ProjectTrackerCentres)->Unit(benchmark::kMicrosecond);

}  // namespace
