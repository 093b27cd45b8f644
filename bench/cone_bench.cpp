// Sphere fits, rigid registration and the reference transform, each against a peer in the same
// run: the registration against Eigen's umeyama (rotation and translation, no scale), the
// reference transform against the same affine map applied with Eigen, the pose-based pivot against
// Cone::Calibrate on the same tracks.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <random>
#include <vector>

#include "native64/Native64.h"
#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Cone;
using Oskelo::CV::Native64::Reference;

namespace {

constexpr std::uint64_t kSeed = 2024;

// One marker track on a 35-degree cap of radius 175 with noise 0.05, the pivot calibration's case.
std::vector<cv::Point3d> Track(int count) {
  std::mt19937_64 rng(kSeed);
  return synth::SpherePoints({5, -3, 200}, 175, count, 35, 0.05, rng, {0, 0, -1});
}

// Each fit through the public path: Calibrate() on a single track fits one sphere.
void BM_SphereFit(benchmark::State& state) {
  Cone cone;
  cone.fitMethod = static_cast<int>(state.range(0));
  cone.markerTracks = {Track(static_cast<int>(state.range(1)))};
  for (auto _ : state) {
    cone.Calibrate();
    benchmark::DoNotOptimize(cone.pivot);
  }
}
BENCHMARK(BM_SphereFit)->ArgNames({"fitMethod", "points"})->ArgsProduct({{0, 1, 2, 3}, {40, 1000}});

void BM_FitHyperSphere(benchmark::State& state) {
  const std::vector<cv::Point3d> track = Track(static_cast<int>(state.range(0)));
  cv::Mat sphere;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Tarnwell::Native::CV::FitHyperSphere(track, sphere, false));
  }
}
BENCHMARK(BM_FitHyperSphere)->ArgName("points")->Arg(40)->Arg(1000);

struct Registration {
  std::vector<cv::Point3d> a, b;
  Eigen::Matrix3Xd aEigen, bEigen;
};

Registration RegistrationCase(int count) {
  std::mt19937_64 rng(kSeed);
  Registration r;
  r.a = synth::BoxPoints(count, 50, rng);
  r.b = synth::Moved(r.a, synth::RandomRotation(rng), {10, -5, 2});
  for (cv::Point3d& p : r.b) p = synth::Jitter(p, 0.05, rng);
  r.aEigen = Eigen::Map<const Eigen::Matrix3Xd>(&r.a[0].x, 3, count);
  r.bEigen = Eigen::Map<const Eigen::Matrix3Xd>(&r.b[0].x, 3, count);
  return r;
}

void BM_ConeGetRigidTransform(benchmark::State& state) {
  const Registration r = RegistrationCase(static_cast<int>(state.range(0)));
  cv::Mat transform;
  for (auto _ : state) {
    Cone::GetRigidTransform(r.a, r.b, transform);
    benchmark::DoNotOptimize(transform.data);
  }
}
BENCHMARK(BM_ConeGetRigidTransform)->ArgName("points")->Arg(7)->Arg(1000);

void BM_FreeGetRigidTransform(benchmark::State& state) {
  const Registration r = RegistrationCase(static_cast<int>(state.range(0)));
  cv::Mat transform;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Tarnwell::Native::CV::GetRigidTransform(r.a, r.b, transform, false, true));
  }
}
BENCHMARK(BM_FreeGetRigidTransform)->ArgName("points")->Arg(7)->Arg(1000);

// The peer: the same registration with Eigen, from the same interleaved points.
void BM_EigenUmeyama(benchmark::State& state) {
  const Registration r = RegistrationCase(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const Eigen::Matrix4d transform = Eigen::umeyama(r.aEigen, r.bEigen, false);
    benchmark::DoNotOptimize(transform.data());
  }
}
BENCHMARK(BM_EigenUmeyama)->ArgName("points")->Arg(7)->Arg(1000);

constexpr int kTransformPoints = 100000;

Reference CalibratedReference() {
  std::mt19937_64 rng(kSeed);
  Reference reference;
  reference.referencePoints = synth::BoxPoints(10, 50, rng);
  reference.measuredPoints =
      synth::Moved(reference.referencePoints, synth::RandomRotation(rng), {10, -5, 2});
  reference.ComputeReferenceTransform({1, 2, 3});
  return reference;
}

void BM_ReferenceTransform(benchmark::State& state) {
  const Reference reference = CalibratedReference();
  std::mt19937_64 rng(kSeed);
  const std::vector<cv::Point3d> in = synth::BoxPoints(kTransformPoints, 500, rng);
  std::vector<cv::Point3d> out;
  for (auto _ : state) {
    reference.Transform(in, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kTransformPoints);
}
BENCHMARK(BM_ReferenceTransform);

// The peer: the same rigid map applied by Eigen to the same interleaved points.
void BM_EigenTransform(benchmark::State& state) {
  const Reference reference = CalibratedReference();
  Eigen::Matrix4d T;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) T(r, c) = reference.referenceTransform.at<double>(r, c);
  }
  const Eigen::Affine3d affine(T);
  std::mt19937_64 rng(kSeed);
  const std::vector<cv::Point3d> in = synth::BoxPoints(kTransformPoints, 500, rng);
  std::vector<cv::Point3d> out(in.size());
  for (auto _ : state) {
    Eigen::Map<Eigen::Matrix3Xd>(&out[0].x, 3, kTransformPoints) =
        affine * Eigen::Map<const Eigen::Matrix3Xd>(&in[0].x, 3, kTransformPoints);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kTransformPoints);
}
BENCHMARK(BM_EigenTransform);

// A pivot recording: a 4-marker tool rocked within 15 degrees and turned within 30 about its axis,
// 1000 frames, noise 0.2.
constexpr int kPivotFrames = 1000;

synth::PivotScene PivotRecording() {
  std::mt19937_64 rng(kSeed);
  return synth::PivotTracks({5, -3, 200}, 4, kPivotFrames, 15, 0.2, rng, 30);
}

std::vector<std::vector<cv::Point3d>> FramesOf(const synth::PivotScene& scene) {
  std::vector<std::vector<cv::Point3d>> frames(kPivotFrames);
  for (const std::vector<cv::Point3d>& track : scene.tracks) {
    for (int i = 0; i < kPivotFrames; ++i) frames[i].push_back(track[i]);
  }
  return frames;
}

// Registration of every frame, the solve and its rejection rounds, the motion's measures; with
// refineGeometric 1 also the geometric refinement (its rounds reported as a counter).
void BM_PivotFromMarkers(benchmark::State& state) {
  const std::vector<std::vector<cv::Point3d>> frames = FramesOf(PivotRecording());
  const std::vector<cv::Point3d> model = Oskelo::CV::Native64::MeanMarkerModel(frames);
  Oskelo::CV::Native64::PivotFitOptions options;
  options.refineGeometric = state.range(0) != 0;
  int rounds = 0;
  for (auto _ : state) {
    const auto result = Oskelo::CV::Native64::PivotFromMarkers(frames, model, options);
    rounds = result.refineIterations;
    benchmark::DoNotOptimize(result.pivot);
  }
  state.counters["refineRounds"] = rounds;
}
BENCHMARK(BM_PivotFromMarkers)->ArgName("refineGeometric")->Arg(0)->Arg(1);

void BM_MeanMarkerModel(benchmark::State& state) {
  const std::vector<std::vector<cv::Point3d>> frames = FramesOf(PivotRecording());
  for (auto _ : state) {
    benchmark::DoNotOptimize(Oskelo::CV::Native64::MeanMarkerModel(frames).data());
  }
}
BENCHMARK(BM_MeanMarkerModel);

// The peer: the per-marker sphere fits of Cone on the same tracks.
void BM_ConeCalibratePivot(benchmark::State& state) {
  Cone cone;
  cone.fitMethod = static_cast<int>(state.range(0));
  cone.markerTracks = PivotRecording().tracks;
  for (auto _ : state) {
    cone.Calibrate();
    benchmark::DoNotOptimize(cone.pivot);
  }
}
BENCHMARK(BM_ConeCalibratePivot)->ArgName("fitMethod")->DenseRange(0, 3);

void BM_FitSharedSphere(benchmark::State& state) {
  const synth::PivotScene scene = PivotRecording();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Oskelo::CV::Native64::FitSharedSphere(scene.tracks).centre);
  }
}
BENCHMARK(BM_FitSharedSphere);

}  // namespace
