#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Cone.h"
#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Cone;

namespace {

const cv::Point3d kTip(5, -3, 200);
constexpr int kMarkers = 3;  // the fewest the tool may carry: the hardest case
constexpr int kPoses = 40;
constexpr double kConeDeg = 35.0;
constexpr double kSigma = 0.05;  // marker noise per coordinate
constexpr int kFitMethods = 4;

Cone ConeWithTracks(const synth::PivotScene& scene, int fitMethod) {
  Cone cone;
  cone.fitMethod = fitMethod;
  cone.markerTracks = scene.tracks;
  return cone;
}

// Expected squared pivot error to first order in the noise: each marker's sphere fit reaches the
// geometric fit's covariance sigma^2 (sum J J^T)^-1 with J = (n, 1) for the unit normals n of the
// noise-free track (all four fits share this leading term), and the pivot averages the markers.
double PredictedSquaredError(const synth::PivotScene& scene, double sigma) {
  cv::Matx33d pivotCovariance = cv::Matx33d::zeros();
  for (const cv::Point3d& marker : scene.markersInTool) {
    cv::Matx44d information = cv::Matx44d::zeros();
    for (const cv::Matx33d& R : scene.world_from_tool) {
      const cv::Vec3d n = cv::normalize(R * cv::Vec3d(marker));
      const cv::Vec4d J(n[0], n[1], n[2], 1.0);
      information += J * J.t();
    }
    const cv::Matx44d covariance = information.inv(cv::DECOMP_CHOLESKY) * (sigma * sigma);
    pivotCovariance += covariance.get_minor<3, 3>(0, 0);
  }
  pivotCovariance *= 1.0 / (scene.markersInTool.size() * scene.markersInTool.size());
  return cv::trace(pivotCovariance);
}

TEST(Cone, DefaultsAndDeepCopies) {
  Cone cone;
  EXPECT_EQ(cone.eulerOrder, 1);
  EXPECT_EQ(cone.fitMethod, 0);
  EXPECT_EQ(cone.pivot, cv::Point3d(0, 0, 0));
  EXPECT_EQ(cone.reservedValue, 1.0);
  EXPECT_TRUE(cone.markerTracks.empty());
  EXPECT_TRUE(cone.markerOffsets.empty());

  std::mt19937_64 rng(3);
  cone.markerTracks = synth::PivotTracks(kTip, 3, 10, kConeDeg, 0, rng).tracks;
  cone.Calibrate();
  Cone copy(cone);
  Cone assigned;
  assigned = cone;
  for (const Cone* c : {&copy, &assigned}) {
    EXPECT_EQ(c->pivot, cone.pivot);
    EXPECT_EQ(c->markerOffsets, cone.markerOffsets);
    EXPECT_EQ(c->markerTracks, cone.markerTracks);
  }
  copy.markerTracks[0][0] = {1e6, 1e6, 1e6};
  copy.markerOffsets.clear();
  EXPECT_NE(cone.markerTracks[0][0], copy.markerTracks[0][0]);
  EXPECT_EQ(cone.markerOffsets.size(), 3u);
}

TEST(PivotCalibration, ExactTracksGiveTheTipForEveryFit) {
  std::mt19937_64 rng(5);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 3, kPoses, kConeDeg, 0, rng);
  // Rounding of coordinates near 200 (4e-14) through fits conditioned about 1e4 on a cap.
  constexpr double kTol = 1e-6;
  for (int method = 0; method < kFitMethods; ++method) {
    SCOPED_TRACE(method);
    Cone cone = ConeWithTracks(scene, method);
    cone.Calibrate();
    EXPECT_LT(cv::norm(cone.pivot - kTip), kTol);
    ASSERT_EQ(cone.markerOffsets.size(), 3u);
    for (int m = 0; m < 3; ++m) {
      EXPECT_EQ(cone.markerOffsets[m], scene.tracks[m][0] - cone.pivot);
      EXPECT_LT(cv::norm(cone.markerOffsets[m] -
                         cv::Point3d(scene.world_from_tool[0] * cv::Vec3d(scene.markersInTool[m]))),
                kTol);
    }
  }

  // The minimal tracks: five poses for the hyper and Pratt fits, four for the others.
  for (int method = 0; method < kFitMethods; ++method) {
    SCOPED_TRACE(method);
    Cone cone = ConeWithTracks(scene, method);
    const std::size_t minimal = (method == 0 || method == 2) ? 5 : 4;
    for (auto& track : cone.markerTracks) track.resize(minimal);
    cone.Calibrate();
    EXPECT_LT(cv::norm(cone.pivot - kTip), 1e-4);  // four or five points: condition up to 1e9
  }
}

// The pivot error over 50 seeds for each fit on a 35- and a 15-degree cone, against the first-order
// prediction from the scene's geometry. The RMS over 50 seeds scatters by about 10 % (one dominant
// axial component with 50 samples: 1 / sqrt(2 * 50)); 1.35 times the prediction is three of those
// standard deviations beyond it.
TEST(PivotCalibration, NoisyTracksMeetThePredictedAccuracy) {
  constexpr int kSeeds = 50;
  constexpr double kRmsFactor = 1.35;
  constexpr double kMaxError35 = 0.3;  // every seed, 35-degree cone
  for (double coneDeg : {kConeDeg, 15.0}) {
    for (int method = 0; method < kFitMethods; ++method) {
      double squared = 0.0, predicted = 0.0, worst = 0.0;
      for (int seed = 1; seed <= kSeeds; ++seed) {
        std::mt19937_64 rng(seed);
        const synth::PivotScene scene =
            synth::PivotTracks(kTip, kMarkers, kPoses, coneDeg, kSigma, rng);
        Cone cone = ConeWithTracks(scene, method);
        cone.Calibrate();
        const double error = cv::norm(cone.pivot - kTip);
        squared += error * error / kSeeds;
        predicted += PredictedSquaredError(scene, kSigma) / kSeeds;
        worst = std::max(worst, error);
      }
      std::printf(
          "cone %4.1f deg, fitMethod %d: pivot RMS error %.4f (predicted %.4f), worst %.4f "
          "over %d seeds\n",
          coneDeg, method, std::sqrt(squared), std::sqrt(predicted), worst, kSeeds);
      EXPECT_LT(std::sqrt(squared), kRmsFactor * std::sqrt(predicted));
      if (coneDeg == kConeDeg) {
        EXPECT_LT(worst, kMaxError35);
      }
    }
  }
}

TEST(PivotCalibration, GivenPivotReplacesTheOffsets) {
  Cone cone;
  cone.markerTracks = {{{1, 2, 3}, {9, 9, 9}}, {{4, 5, 6}}};
  cone.Calibrate(cv::Point3d(1, 1, 1));
  cone.Calibrate(cv::Point3d(0, 0, 1));
  EXPECT_EQ(cone.pivot, cv::Point3d(0, 0, 1));
  EXPECT_EQ(cone.markerOffsets, (std::vector<cv::Point3d>{{1, 2, 2}, {4, 5, 5}}));
}

TEST(PivotCalibration, RefusesBrokenTracksAndChangesNothing) {
  std::mt19937_64 rng(9);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 3, kPoses, kConeDeg, 0, rng);
  Cone cone = ConeWithTracks(scene, 0);
  cone.Calibrate(cv::Point3d(7, 7, 7));
  const std::vector<cv::Point3d> offsets = cone.markerOffsets;
  auto unchanged = [&] {
    EXPECT_EQ(cone.pivot, cv::Point3d(7, 7, 7));
    EXPECT_EQ(cone.markerOffsets, offsets);
  };

  for (int method : {-1, 4}) {
    cone.fitMethod = method;
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
    unchanged();
  }
  // One point short of each fit's minimum, in the last track so that the earlier ones would fit.
  for (int method = 0; method < kFitMethods; ++method) {
    cone.fitMethod = method;
    cone.markerTracks = scene.tracks;
    cone.markerTracks.back().resize((method == 0 || method == 2) ? 4 : 3);
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
    unchanged();
  }
  cone.markerTracks = scene.tracks;
  cone.markerTracks[1].clear();
  EXPECT_THROW(cone.Calibrate(cv::Point3d(0, 0, 0)), cv::Exception);
  unchanged();
}

TEST(PivotCalibration, NoTracksGiveANaNPivot) {
  Cone cone;
  cone.markerOffsets = {{1, 1, 1}};
  cone.Calibrate();
  EXPECT_TRUE(std::isnan(cone.pivot.x) && std::isnan(cone.pivot.y) && std::isnan(cone.pivot.z));
  EXPECT_TRUE(cone.markerOffsets.empty());
}

}  // namespace
