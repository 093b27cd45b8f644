#include <gtest/gtest.h>

#include <cmath>
#include <random>
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

TEST(PoseBasedPivot, ExactPosesGiveTheTipAndDegenerateMotionsNone) {
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
  ASSERT_EQ(poses.size(), 40u);
  const cv::Matx33d expectedR = scene.world_from_tool[7] * modelR.t();
  EXPECT_LT(cv::norm(poses[7](cv::Rect(0, 0, 3, 3)), cv::Mat(expectedR)), 1e-12);  // unit entries

  // The minimal motion: three poses about independent axes.
  const std::vector<cv::Mat> all = CentroidPoses(scene);
  const PivotFitResult minimal = PivotFromPoses({all[0], all[1], all[2]});
  ASSERT_TRUE(minimal.solved);
  EXPECT_LT(cv::norm(minimal.pivot - kTip), kExactTol);

  // Degenerate motions: no rotation at all, or turning about one axis only, leave the tip along
  // that axis undetermined; two poses always share an axis. No answer, no throw.
  const cv::Matx33d R0 = scene.world_from_tool[0];
  std::vector<cv::Mat> translated, spun;
  for (int i = 0; i < 10; ++i) {
    translated.push_back(Pose(R0, cv::Vec3d(i, 2.0 * i, 0)));
    const cv::Matx33d Ri = synth::AxisAngle({0, 0, 1}, 0.3 * i) * R0;
    spun.push_back(Pose(Ri, cv::Vec3d(kTip) - Ri * cv::Vec3d(tipInTool)));
  }
  for (const auto& degenerate : {translated, spun, std::vector<cv::Mat>{all[0], all[1]}}) {
    const PivotFitResult none = PivotFromPoses(degenerate);
    EXPECT_FALSE(none.solved);
    EXPECT_TRUE(std::isnan(none.pivot.x) && std::isnan(none.rms));  // never a plausible answer
  }
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

}  // namespace
