#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "native64/Cone.h"
#include "native64/ToolPivot.h"
#include "synth/PointScenes.h"

namespace {

using namespace Oskelo::CV::Native64;
using Frames = std::vector<std::vector<cv::Point3d>>;

const cv::Point3d kTip(5, -3, 200);
// The scene's size: the tip lies 200 from the origin, the markers 150 to 200 from the tip.
constexpr double kScale = 400.0;
// Exact data: rounding (1e-16 relative) through systems conditioned up to about 1e3 on the
// shortest arcs below, with margin.
constexpr double kExactTol = 1e-9 * kScale;

cv::Point3d Centroid(const std::vector<cv::Point3d>& points) {
  cv::Point3d sum(0, 0, 0);
  for (const cv::Point3d& p : points) sum += p;
  return sum / static_cast<double>(points.size());
}

cv::Mat Pose(const cv::Matx33d& R, const cv::Vec3d& t) {
  cv::Mat pose = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(R).copyTo(pose(cv::Rect(0, 0, 3, 3)));
  cv::Mat(t).copyTo(pose(cv::Rect(3, 0, 1, 3)));
  return pose;
}

// The scene's poses in a tool frame whose origin is the markers' centroid (as a tool file's frame
// is), so the tip in the tool frame is minus that centroid.
std::vector<cv::Mat> CentroidPoses(const synth::PivotScene& scene) {
  const cv::Vec3d centroid(Centroid(scene.markersInTool));
  std::vector<cv::Mat> poses;
  for (const cv::Matx33d& R : scene.world_from_tool) {
    poses.push_back(Pose(R, cv::Vec3d(scene.tip) + R * centroid));
  }
  return poses;
}

// frames[pose][marker] from the scene's tracks[marker][pose].
Frames FramesOf(const synth::PivotScene& scene) {
  Frames frames(scene.world_from_tool.size());
  for (const std::vector<cv::Point3d>& track : scene.tracks) {
    for (std::size_t i = 0; i < track.size(); ++i) frames[i].push_back(track[i]);
  }
  return frames;
}

TEST(PoseBasedPivot, ExactPosesGiveTheTipAndOneAxisNone) {
  std::mt19937_64 rng(3);
  // A 15-degree cone: the short arc of a real pivot.
  const synth::PivotScene scene = synth::PivotTracks(kTip, 4, 40, 15.0, 0.0, rng);
  const cv::Point3d tipInTool = -Centroid(scene.markersInTool);

  const PivotFitResult fromPoses = PivotFromPoses(CentroidPoses(scene));
  ASSERT_TRUE(fromPoses.solved);
  EXPECT_LT(cv::norm(fromPoses.tipInTool - tipInTool), kExactTol);
  EXPECT_LT(cv::norm(fromPoses.pivot - kTip), kExactTol);
  EXPECT_LT(fromPoses.rms, kExactTol);
  EXPECT_EQ(fromPoses.framesUsed, 40);
  EXPECT_EQ(fromPoses.framesRejected, 0);  // rounding is never an outlier
  ASSERT_EQ(fromPoses.frameResiduals.size(), 40u);

  // The markers in a model frame of their own (any rigid motion of the tool frame): the tip in
  // that frame is the motion's image of the tool frame's origin, the tip.
  const cv::Matx33d modelR = synth::RandomRotation(rng);
  const cv::Vec3d modelT(30, -40, 12);
  const std::vector<cv::Point3d> model = synth::Moved(scene.markersInTool, modelR, modelT);
  std::vector<cv::Mat> poses;
  const PivotFitResult fromMarkers =
      PivotFromMarkers(FramesOf(scene), model, PivotFitOptions(), &poses);
  ASSERT_TRUE(fromMarkers.solved);
  EXPECT_LT(cv::norm(fromMarkers.tipInTool - cv::Point3d(modelT)), kExactTol);
  EXPECT_LT(cv::norm(fromMarkers.pivot - kTip), kExactTol);
  // The tool axis runs to the markers' centroid whatever the model's frame: the motion measures
  // are those of the centroid-origin poses (angles of exact poses: rounding, with margin).
  EXPECT_NEAR(fromMarkers.maxTiltDeg, fromPoses.maxTiltDeg, 1e-9);
  EXPECT_NEAR(fromMarkers.spinRangeDeg, fromPoses.spinRangeDeg, 1e-9);
  ASSERT_EQ(poses.size(), 40u);
  const cv::Matx33d expectedR = scene.world_from_tool[7] * modelR.t();
  EXPECT_LT(cv::norm(poses[7](cv::Rect(0, 0, 3, 3)), cv::Mat(expectedR)),
            1e-12);  // entries of at most 1: rounding

  // The minimal motion: three poses about independent axes.
  const std::vector<cv::Mat> all = CentroidPoses(scene);
  const PivotFitResult minimal = PivotFromPoses({all[0], all[1], all[2]});
  ASSERT_TRUE(minimal.solved);
  EXPECT_LT(cv::norm(minimal.pivot - kTip), kExactTol);

  // Turning about one axis only leaves the tip along that axis undetermined: no answer, no throw
  // (one rotation and too few poses are rows of the bad-input table).
  std::vector<cv::Mat> spun;
  for (int i = 0; i < 10; ++i) {
    const cv::Matx33d Ri = synth::AxisAngle({0, 0, 1}, 0.3 * i) * scene.world_from_tool[0];
    spun.push_back(Pose(Ri, cv::Vec3d(kTip) - Ri * cv::Vec3d(tipInTool)));
  }
  const PivotFitResult none = PivotFromPoses(spun);
  EXPECT_FALSE(none.solved);
  EXPECT_TRUE(std::isnan(none.pivot.x) && std::isnan(none.rms));  // never a plausible answer
}

TEST(PoseBasedPivot, MeanMarkerModelIsTheRigidShape) {
  std::mt19937_64 rng(4);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 4, 30, 15.0, 0.0, rng);
  const Frames frames = FramesOf(scene);
  const std::vector<cv::Point3d> model = MeanMarkerModel(frames);
  ASSERT_EQ(model.size(), 4u);
  for (std::size_t m = 0; m < 4; ++m) EXPECT_LT(cv::norm(model[m] - frames[0][m]), kExactTol);
}

TEST(SharedSphere, ExactTracksGiveTheCentreAndFlatTracksNone) {
  std::mt19937_64 rng(6);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 4, 40, 15.0, 0.0, rng);
  const SharedSphereFit fit = FitSharedSphere(scene.tracks);
  ASSERT_TRUE(fit.solved);
  EXPECT_LT(cv::norm(fit.centre - kTip), kExactTol);
  ASSERT_EQ(fit.radii.size(), 4u);
  for (int m = 0; m < 4; ++m) {
    EXPECT_NEAR(fit.radii[m], cv::norm(scene.markersInTool[m]), kExactTol);
  }
  EXPECT_LT(fit.rms, kExactTol);

  // Markers turned about one axis move on circles in parallel planes: the centre along the axis
  // is undetermined. Too few points, and an empty track, determine nothing either.
  std::vector<std::vector<cv::Point3d>> circles(3);
  for (int i = 0; i < 12; ++i) {
    const cv::Matx33d R = synth::AxisAngle({0, 0, 1}, 0.5 * i);
    for (int m = 0; m < 3; ++m) {
      circles[m].push_back(kTip + cv::Point3d(R * cv::Vec3d(scene.markersInTool[m])));
    }
  }
  EXPECT_FALSE(FitSharedSphere(circles).solved);
  EXPECT_FALSE(FitSharedSphere({{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}).solved);
  EXPECT_FALSE(FitSharedSphere({scene.tracks[0], {}}).solved);
}

// A pivot as a hand rocks a tool: within 15 degrees of the mean axis, turned within 30 degrees
// about its own axis, so every marker's track is a short arc. Twenty seeds of a 4-marker tool,
// 200 frames, 0.2 of marker noise per coordinate (a tracker's 0.2 mm); the model is the frames'
// mean shape, as a host builds it. The algebraic pose-based solve carries the registered
// rotations' noise times the tip's lever arm (an errors-in-variables bias along the tool axis)
// and lands only 1.6 times closer than the per-marker hyper, Pratt and Taubin fits; the geometric
// refinement removes that bias. Measured here: refined 0.143, algebraic 0.325, shared sphere
// 0.193, hyper/Pratt/Taubin 0.553 (3.9x the refined), Kasa 1.83 (12.8x). Over noise 0.1 to 0.25,
// cones of 10 and 15 degrees and 200 or 2000 frames the unbiased fits landed 2.7 to 4.7 times
// further off than the refined fit, so the bounds below sit under the lowest measured ratios.
TEST(PoseBasedPivot, BeatsThePerMarkerSphereFitsOnShortArcs) {
  constexpr int kSeeds = 20;
  constexpr double kSigma = 0.2;
  constexpr double kSpinDeg = 30.0;
  constexpr double kKasaRatio = 6.0;
  constexpr double kUnbiasedRatio = 3.0;
  // The algebraic solve: 2.3x the refined here, 2.3 to 13.5x over the settings above.
  constexpr double kAlgebraicRatio = 1.8;
  double poseError = 0.0, algebraicError = 0.0, sharedError = 0.0, sphereError[4] = {0, 0, 0, 0};
  PivotFitOptions algebraic;
  algebraic.refineGeometric = false;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    std::mt19937_64 rng(seed);
    const synth::PivotScene scene = synth::PivotTracks(kTip, 4, 200, 15.0, kSigma, rng, kSpinDeg);
    const Frames frames = FramesOf(scene);
    const PivotFitResult pose = PivotFromMarkers(frames, MeanMarkerModel(frames));
    ASSERT_TRUE(pose.solved);
    EXPECT_GT(pose.refineIterations, 0);
    poseError += cv::norm(pose.pivot - kTip) / kSeeds;
    algebraicError +=
        cv::norm(PivotFromMarkers(frames, MeanMarkerModel(frames), algebraic).pivot - kTip) /
        kSeeds;
    sharedError += cv::norm(FitSharedSphere(scene.tracks).centre - kTip) / kSeeds;
    for (int method = 0; method < 4; ++method) {
      Cone cone;
      cone.fitMethod = method;
      cone.markerTracks = scene.tracks;
      cone.Calibrate();
      sphereError[method] += cv::norm(cone.pivot - kTip) / kSeeds;
    }
  }
  std::printf("mean tip error over %d seeds: refined %.4f, algebraic %.4f, shared sphere %.4f\n",
              kSeeds, poseError, algebraicError, sharedError);
  EXPECT_GT(algebraicError, kAlgebraicRatio * poseError);
  EXPECT_LT(poseError, sharedError);  // measured 0.143 against 0.193
  for (int method = 0; method < 4; ++method) {
    std::printf("  Cone fitMethod %d: %.4f (%.1fx the pose-based)\n", method, sphereError[method],
                sphereError[method] / poseError);
    const double ratio = method == 1 ? kKasaRatio : kUnbiasedRatio;
    EXPECT_GT(sphereError[method], ratio * poseError) << method;
  }
}

// A few frames where the tip left its seat (every marker 10 off) pull the unguarded solve away;
// rejection drops them and lands where the same frames without the slip do.
TEST(PoseBasedPivot, RejectsFramesWhereTheTipSlipped) {
  std::mt19937_64 rng(11);
  const synth::PivotScene scene = synth::PivotTracks(kTip, 4, 60, 15.0, 0.1, rng, 30.0);
  Frames frames = FramesOf(scene);
  const std::vector<int> slipped = {5, 17, 40};
  for (int i : slipped) {
    for (cv::Point3d& p : frames[i]) p += cv::Point3d(10, 0, 0);
  }
  const std::vector<cv::Point3d> model = MeanMarkerModel(frames);
  const PivotFitResult guarded = PivotFromMarkers(frames, model);
  ASSERT_TRUE(guarded.solved);
  for (int i : slipped) {
    EXPECT_FALSE(guarded.frameUsed[i]) << i;
    EXPECT_GT(guarded.frameResiduals[i], 5.0) << i;  // against the final solution
  }
  EXPECT_GE(guarded.framesRejected, 3);
  EXPECT_LE(guarded.framesRejected, 4);  // a good frame beyond 5 median residuals at most
  EXPECT_EQ(guarded.framesUsed + guarded.framesRejected, 60);
  EXPECT_EQ(guarded.warnings & kPivotManyRejected, 0u);
  // Without the 3 slipped frames the solve moves by a share of the per-frame scatter (rms 0.22):
  // measured 0.04 here, against 2.0 for the unguarded solve below.
  const PivotFitResult clean = PivotFromMarkers(FramesOf(scene), model);
  EXPECT_LT(cv::norm(guarded.pivot - clean.pivot), 0.1);

  PivotFitOptions keepAll;
  keepAll.outlierFactor = 0.0;
  const PivotFitResult unguarded = PivotFromMarkers(frames, model, keepAll);
  EXPECT_EQ(unguarded.framesRejected, 0);
  EXPECT_GT(cv::norm(unguarded.pivot - clean.pivot), 1.0);
  EXPECT_GT(unguarded.rms, 2.0 * guarded.rms);

  // Rejection never goes below minKeptShare: 96 % of 60 leaves room for 2 frames only, so the
  // round that would drop the 3 slipped ones is not taken, and the result says so.
  PivotFitOptions keepMost;
  keepMost.minKeptShare = 0.96;
  const PivotFitResult stopped = PivotFromMarkers(frames, model, keepMost);
  EXPECT_EQ(stopped.framesUsed, 60);
  EXPECT_NE(stopped.warnings & kPivotManyRejected, 0u);
}

// Exact poses rocked symmetrically about the tool axis +z (tip at -170 along it): frame 0 upright,
// the others tilted by `tiltDeg` about hinges spread evenly round the axis, so the mean axis is
// +z and every tilted frame's tilt is exactly tiltDeg; frame k turned by spins[k % size] degrees
// about the tool axis (frame 0 by spins[0] = 0), which with frame 0 upright is its twist exactly.
std::vector<cv::Mat> RockedPoses(int frames, double tiltDeg, const std::vector<double>& spins) {
  const cv::Vec3d tipInTool(0, 0, -170);
  std::vector<cv::Mat> poses;
  for (int k = 0; k < frames; ++k) {
    const double turn = 2.0 * synth::kPi * k / (frames - 1);
    const cv::Matx33d tilt =
        k == 0 ? cv::Matx33d::eye()
               : synth::AxisAngle({std::cos(turn), std::sin(turn), 0}, synth::Radians(tiltDeg));
    const double spin = k == 0 ? 0.0 : spins[k % spins.size()];
    const cv::Matx33d R = tilt * synth::AxisAngle({0, 0, 1}, synth::Radians(spin));
    poses.push_back(Pose(R, cv::Vec3d(kTip) - R * tipInTool));
  }
  return poses;
}

TEST(PivotMotion, TiltSpinAndWarningsFollowTheMotion) {
  struct Case {
    const char* name;
    int frames;
    double tiltDeg;
    std::vector<double> spins;
    double spinRangeDeg;  // the smallest arc holding 0 and the spins
    unsigned warnings;
  };
  const std::vector<Case> cases = {
      {"rocked", 30, 20.0, {-10, 10, 0}, 20.0, 0u},
      {"few frames", 12, 20.0, {-10, 10, 0}, 20.0, kPivotFewFrames},
      {"little tilt", 30, 8.0, {-10, 10, 0}, 20.0, kPivotLittleTilt},
      // Twists of 170 and -170 (190) hold the arc 0..190, not -170..170 across zero.
      {"spun across the wrap", 30, 20.0, {0, 90, 170, -170}, 190.0, kPivotSpinOnly},
      {"spun, little tilt", 30, 5.0, {0, 45, 90}, 90.0, kPivotLittleTilt | kPivotSpinOnly},
      // Either side of the thresholds (tilt 15, spin 3 times the tilt).
      {"just enough", 30, 15.01, {0, 45}, 45.0, 0u},
      {"just too little", 30, 14.99, {0, 45}, 45.0, kPivotLittleTilt | kPivotSpinOnly},
  };
  // Angles from exact poses: rounding of unit vectors (1e-16) through atan2, with margin.
  constexpr double kAngleTolDeg = 1e-9;
  for (const Case& c : cases) {
    const PivotFitResult result = PivotFromPoses(RockedPoses(c.frames, c.tiltDeg, c.spins));
    ASSERT_TRUE(result.solved) << c.name;
    EXPECT_NEAR(result.maxTiltDeg, c.tiltDeg, kAngleTolDeg) << c.name;
    EXPECT_NEAR(result.medianTiltDeg, c.tiltDeg, kAngleTolDeg) << c.name;
    EXPECT_NEAR(result.spinRangeDeg, c.spinRangeDeg, kAngleTolDeg) << c.name;
    EXPECT_EQ(result.warnings, c.warnings) << c.name;
    EXPECT_EQ(PivotWarningTexts(result.warnings, PivotFitOptions()).size(),
              static_cast<std::size_t>(__builtin_popcount(c.warnings)))
        << c.name;
  }

  // The texts carry the thresholds a user has to reach.
  PivotFitOptions options;
  options.minFrames = 25;
  const std::vector<std::string> texts =
      PivotWarningTexts(kPivotFewFrames | kPivotLittleTilt, options);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("at least 25"), std::string::npos) << texts[0];
  EXPECT_NE(texts[1].find("15.0 degrees"), std::string::npos) << texts[1];
}

}  // namespace
