#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "native64/Cone.h"
#include "synth/PointScenes.h"

using Oskelo::CV::Native64::Cone;

namespace {

const cv::Point3d kTip(5, -3, 200);
constexpr int kPoses = 40;
constexpr double kConeDeg = 35.0;

Cone Calibrated(const synth::PivotScene& scene, int fitMethod) {
  Cone cone;
  cone.fitMethod = fitMethod;
  cone.markerTracks = scene.tracks;
  cone.Calibrate();
  return cone;
}

// Expected squared pivot error to first order in the noise: every fit reaches the geometric
// fit's covariance sigma^2 (sum J J^T)^-1, J = (n, 1) for the unit normals n of the noise-free
// track, and the pivot averages the markers' centres.
double PredictedSquaredError(const synth::PivotScene& scene, double sigma) {
  double trace = 0;
  for (const cv::Point3d& marker : scene.markersInTool) {
    cv::Matx44d information = cv::Matx44d::zeros();
    for (const cv::Matx33d& R : scene.world_from_tool) {
      const cv::Vec3d n = cv::normalize(R * cv::Vec3d(marker));
      const cv::Vec4d J(n[0], n[1], n[2], 1.0);
      information += J * J.t();
    }
    const cv::Matx44d covariance = information.inv(cv::DECOMP_CHOLESKY);
    trace += (covariance(0, 0) + covariance(1, 1) + covariance(2, 2)) * sigma * sigma;
  }
  const double markers = static_cast<double>(scene.markersInTool.size());
  return trace / (markers * markers);
}

TEST(PivotCalibration, ExactTracksGiveTheTipForEveryFit) {
  std::mt19937_64 rng(5);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 3, kPoses, kConeDeg, 0, rng);
  for (int method = 0; method < 4; ++method) {
    const Cone cone = Calibrated(scene, method);
    // Rounding of coordinates near 200 (4e-14) through fits conditioned up to 1e4 on a cap.
    EXPECT_LT(cv::norm(cone.pivot - kTip), 1e-6) << method;
    ASSERT_EQ(cone.markerOffsets.size(), 3u);
    for (int m = 0; m < 3; ++m) EXPECT_EQ(cone.markerOffsets[m], scene.tracks[m][0] - cone.pivot);
  }
}

// The pivot error over 50 seeds for every fit, three markers (the fewest allowed), on a 35- and a
// 15-degree cone, against the first-order prediction from each scene's geometry. The RMS over 50
// seeds scatters by about 10 % (one dominant axial component: 1 / sqrt(2 * 50)); 1.35 times the
// prediction is three of those beyond it.
TEST(PivotCalibration, NoisyTracksMeetThePredictedAccuracy) {
  constexpr int kSeeds = 50;
  constexpr double kSigma = 0.05;  // marker noise per coordinate
  for (double coneDeg : {kConeDeg, 15.0}) {
    for (int method = 0; method < 4; ++method) {
      double squared = 0, predicted = 0, worst = 0;
      for (int seed = 1; seed <= kSeeds; ++seed) {
        std::mt19937_64 rng(seed);
        const auto scene = synth::PivotTracks(kTip, 3, kPoses, coneDeg, kSigma, rng);
        const double error = cv::norm(Calibrated(scene, method).pivot - kTip);
        squared += error * error / kSeeds;
        predicted += PredictedSquaredError(scene, kSigma) / kSeeds;
        worst = std::max(worst, error);
      }
      std::printf(
          "cone %4.1f deg, fitMethod %d: pivot RMS error %.4f (predicted %.4f), "
          "worst %.4f over %d seeds\n",
          coneDeg, method, std::sqrt(squared), std::sqrt(predicted), worst, kSeeds);
      EXPECT_LT(std::sqrt(squared), 1.35 * std::sqrt(predicted));
      EXPECT_TRUE(coneDeg != kConeDeg || worst < 0.3);  // every seed within 0.3 on 35 degrees
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

  // No tracks: the mean of no centres is NaN, and no offsets remain.
  cone.markerTracks.clear();
  cone.Calibrate();
  EXPECT_TRUE(std::isnan(cone.pivot.x) && std::isnan(cone.pivot.y) && std::isnan(cone.pivot.z));
  EXPECT_TRUE(cone.markerOffsets.empty());
}

TEST(PivotCalibration, RefusesBrokenTracksAndChangesNothing) {
  std::mt19937_64 rng(9);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 3, kPoses, kConeDeg, 0, rng);
  Cone cone;
  cone.markerTracks = scene.tracks;
  cone.Calibrate(cv::Point3d(7, 7, 7));
  const std::vector<cv::Point3d> offsets = cone.markerOffsets;

  for (int method : {-1, 4}) {
    cone.fitMethod = method;
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
  }
  // One point short of each fit's minimum, in the last track, so the earlier ones would fit.
  for (int method = 0; method < 4; ++method) {
    cone.fitMethod = method;
    cone.markerTracks.back().resize((method == 0 || method == 2) ? 4 : 3);
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
    cone.markerTracks.back() = scene.tracks.back();
  }
  cone.markerTracks[1].clear();
  EXPECT_THROW(cone.Calibrate(cv::Point3d(0, 0, 0)), cv::Exception);
  EXPECT_EQ(cone.pivot, cv::Point3d(7, 7, 7));
  EXPECT_EQ(cone.markerOffsets, offsets);
}

}  // namespace
