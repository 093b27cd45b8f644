#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "CommandError.h"
#include "calibration/known_rig.h"
#include "inputs/FrameSource.h"
#include "scratch_folder.h"
#include "workflows/MovingToolScene.h"
#include "workflows/StereoRendering.h"
#include "workflows/ToolTracker.h"

namespace {

using Oskelo::CV::Native64::Calibration;

double AngleDeg(const cv::Matx33d& a, const cv::Matx33d& b) {
  cv::Vec3d axisAngle;
  cv::Rodrigues(cv::Mat(a * b.t()), axisAngle);
  return cv::norm(axisAngle) * 180.0 / CV_PI;
}

cv::Matx33d RotationFromQuaternion(const cv::Vec4d& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

TEST(QuaternionFromRotation, GivesBackTheRotationOnEveryBranch) {
  // Angles near 180 degrees about each axis take the branches led by one diagonal term; a small
  // angle takes the trace branch.
  for (const cv::Vec3d& axisAngle : {cv::Vec3d(0.1, -0.2, 0.05), cv::Vec3d(3.1, 0.1, 0.0),
                                     cv::Vec3d(0.0, 3.0, 0.2), cv::Vec3d(-0.1, 0.2, -3.05)}) {
    cv::Matx33d R;
    cv::Rodrigues(axisAngle, R);
    const cv::Vec4d q = dotcal::QuaternionFromRotation(R);
    EXPECT_GE(q[0], 0.0);
    EXPECT_NEAR(cv::norm(q), 1.0, 1e-12);
    EXPECT_LT(cv::norm(RotationFromQuaternion(q) - R), 1e-12) << axisAngle;
  }
}

class ToolTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetKnownCalibration(calibration_, rig_); }

  // The tool as its exact definition describes it: markers in detection order, in the scene's
  // tool frame, so that poses compare with the truth directly.
  dotcal::ToolDefinition Exact(const dotcal::MovingTool& tool, const dotcal::TargetShape& shape) {
    dotcal::ToolDefinition definition;
    definition.name = tool.name;
    definition.tracker = shape;
    definition.markers = dotcal::MarkersInDetectionOrder(rig_, tool, shape);
    return definition;
  }

  const synth::StereoRig rig_ = synth::StereoRig::Default();
  Calibration calibration_;
};

TEST_F(ToolTrackerTest, FollowsBothMovingToolsAndSaysWhenAPoseCannotBeTrusted) {
  constexpr int kFrames = 10;
  const dotcal::MovingToolScene scene = dotcal::MakeMovingToolScene(rig_, kFrames);
  const dotcal::TargetShape shapes[] = {dotcal::TargetShape::Tracker(), dotcal::SecondToolShape()};
  const cv::Matx33d R1(calibration_.parameters.rectificationLeft);
  const cv::Matx44d cameraFromRectified(R1(0, 0), R1(1, 0), R1(2, 0), 0, R1(0, 1), R1(1, 1),
                                        R1(2, 1), 0, R1(0, 2), R1(1, 2), R1(2, 2), 0, 0, 0, 0, 1);
  std::vector<std::unique_ptr<dotcal::ToolTracker>> trackers;
  for (int t = 0; t < 2; ++t) {
    trackers.push_back(std::make_unique<dotcal::ToolTracker>(
        calibration_, Exact(scene.tools[t], shapes[t]), cameraFromRectified, 0.1));
  }
  // The pointer with two markers swapped, and one whose residual bound no fit meets.
  dotcal::ToolDefinition swapped = Exact(scene.tools[0], shapes[0]);
  std::swap(swapped.markers[0], swapped.markers[3]);
  dotcal::ToolTracker outOfOrder(calibration_, swapped, cameraFromRectified, 0.1);
  dotcal::ToolTracker strict(calibration_, Exact(scene.tools[0], shapes[0]), cameraFromRectified,
                             1e-6);

  double tipSquares[2] = {0, 0}, angleSquares[2] = {0, 0}, largestResidual = 0.0;
  for (int k = 0; k < kFrames; ++k) {
    const dotcal::StereoImages images =
        dotcal::RenderStereo(rig_, {scene.tools[0].frames[k], scene.tools[1].frames[k]},
                             synth::RenderSettings(), 3, dotcal::Sequence::kMoving, k);
    for (int t = 0; t < 2; ++t) {
      const dotcal::ToolPose pose = trackers[t]->Track(images.left, images.right);
      ASSERT_EQ(pose.status, dotcal::TrackStatus::kOk) << "tool " << t << " frame " << k;
      EXPECT_EQ(pose.markers, shapes[t].dots);
      const dotcal::MovingTool& truth = scene.tools[t];
      tipSquares[t] += std::pow(cv::norm(pose.tip - cv::Point3d(truth.worldFromToolT[k])), 2);
      angleSquares[t] +=
          std::pow(AngleDeg(RotationFromQuaternion(pose.rotation), truth.worldFromToolR[k]), 2);
      largestResidual = std::max(largestResidual, pose.residual);
      // The tool frame's origin is the tip here.
      EXPECT_LT(cv::norm(pose.position - pose.tip), 1e-9);
    }
    EXPECT_EQ(outOfOrder.Track(images.left, images.right).status, dotcal::TrackStatus::kOutOfOrder);
    const dotcal::ToolPose high = strict.Track(images.left, images.right);
    EXPECT_EQ(high.status, dotcal::TrackStatus::kHighResidual);
    EXPECT_GT(high.residual, 1e-6);
  }
  // With the exact calibration dots triangulate to about 0.02 mm (ToolSequence's tests); a tip
  // 120 to 170 mm from a tracker some 50 mm across amplifies the rotation's noise several times.
  // 0.3 mm and 0.1 degrees RMS (the bounds the tool is held to) leave room, while a wrong frame,
  // axis or marker order is off by millimetres and degrees.
  for (int t = 0; t < 2; ++t) {
    const double tipRms = std::sqrt(tipSquares[t] / kFrames);
    const double angleRms = std::sqrt(angleSquares[t] / kFrames);
    std::printf("%s, exact calibration: tip error %.3f mm RMS, rotation error %.4f deg RMS\n",
                scene.tools[t].name.c_str(), tipRms, angleRms);
    EXPECT_LT(tipRms, 0.3);
    EXPECT_LT(angleRms, 0.1);
  }
  std::printf("largest registration residual %.4f mm\n", largestResidual);
  // Triangulation noise of about 0.02 mm per coordinate; 0.1 mm is five times that.
  EXPECT_LT(largestResidual, 0.1);

  // A frame in which the right camera sees nothing: MISSING, with no pose, never the last one.
  const cv::Mat blank(rig_.left.imageSize, CV_8UC1, cv::Scalar(20));
  const dotcal::StereoImages last =
      dotcal::RenderStereo(rig_, {scene.tools[0].frames[0], scene.tools[1].frames[0]},
                           synth::RenderSettings(), 3, dotcal::Sequence::kMoving, 0);
  const dotcal::ToolPose lost = trackers[0]->Track(last.left, blank);
  EXPECT_EQ(lost.status, dotcal::TrackStatus::kMissing);
  EXPECT_EQ(lost.markers, 0);
  EXPECT_TRUE(std::isnan(lost.residual));
  EXPECT_EQ(lost.tip, cv::Point3d());
}

TEST(MovingToolScene, MovesLikeAHandHeldToolWithinView) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const dotcal::MovingToolScene scene = dotcal::MakeMovingToolScene(rig, 120);
  ASSERT_EQ(scene.tools.size(), 2u);
  for (const dotcal::MovingTool& tool : scene.tools) {
    double largestTilt = 0.0, largestStep = 0.0, largestTurn = 0.0;
    cv::Vec3d low(1e9, 1e9, 1e9), high = -low;
    for (std::size_t k = 0; k < tool.frames.size(); ++k) {
      const cv::Vec3d axis = tool.worldFromToolR[k] * cv::Vec3d(0, 0, 1);
      largestTilt = std::max(largestTilt, std::acos(-axis[2]) * 180.0 / CV_PI);
      for (int i = 0; i < 3; ++i) {
        low[i] = std::min(low[i], tool.worldFromToolT[k][i]);
        high[i] = std::max(high[i], tool.worldFromToolT[k][i]);
      }
      if (k == 0) continue;
      largestStep =
          std::max(largestStep, cv::norm(tool.worldFromToolT[k] - tool.worldFromToolT[k - 1]));
      largestTurn =
          std::max(largestTurn, AngleDeg(tool.worldFromToolR[k], tool.worldFromToolR[k - 1]));
    }
    // Tilted up to 30 degrees, moved over several centimetres, a few mm and degrees per frame:
    // a hand at 30 frames per second.
    EXPECT_NEAR(largestTilt, 30.0, 0.5) << tool.name;
    EXPECT_GT(cv::norm(high - low), 60.0) << tool.name;
    EXPECT_LT(largestStep, 15.0) << tool.name;
    EXPECT_LT(largestTurn, 5.0) << tool.name;
  }
}

TEST(FrameSource, VideoFramesComeBackExactlyAndBadFramesAreNamed) {
  const std::string folder = ScratchFolder(DOTCAL_SCRATCH);
  const cv::Size size(320, 240);
  // FFV1 in Matroska, written grey: lossless, read back as BGR with three equal channels.
  const std::string video = folder + "/frames.mkv";
  std::vector<cv::Mat> frames;
  {
    cv::VideoWriter writer(video, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 30.0,
                           size, false);
    ASSERT_TRUE(writer.isOpened());
    cv::RNG rng(4);
    for (int i = 0; i < 5; ++i) {
      frames.emplace_back(size, CV_8UC1);
      rng.fill(frames.back(), cv::RNG::UNIFORM, 0, 256);  // every grey level, noise-hard to code
      writer.write(frames.back());
    }
  }
  auto source = dotcal::OpenFrameSource({video}, "--left", 30.0, 0, size, "the calibration");
  dotcal::Frame frame;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(source->Next(frame));
    ASSERT_EQ(frame.image.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(frame.image, frames[i], cv::NORM_INF), 0.0) << i;
    // Matroska keeps milliseconds.
    EXPECT_NEAR(frame.time, i / 30.0, 0.0005 + 1e-9) << i;
  }
  EXPECT_FALSE(source->Next(frame));

  // Image files: a file that does not decode comes back with its error, and the rest follow.
  for (int i = 0; i < 3; ++i) {
    cv::imwrite(folder + "/f_" + std::to_string(i) + ".png", frames[i]);
  }
  std::ofstream(folder + "/f_1.png") << "not an image\n";
  source = dotcal::OpenFrameSource({folder + "/f_*.png"}, "--left", 10.0, 0, size, "it");
  EXPECT_EQ(source->Remaining(), 3);
  std::vector<std::string> errors;
  while (source->Next(frame)) errors.push_back(frame.error);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_TRUE(errors[0].empty() && errors[2].empty());
  EXPECT_NE(errors[1].find("f_1.png"), std::string::npos) << errors[1];
  EXPECT_NEAR(frame.time, 0.2, 1e-12);  // frame 2 at 10 Hz

  // A camera that is not there, and a video of the wrong size.
  EXPECT_THROW(dotcal::OpenFrameSource({"v4l2:99"}, "--left", 30.0, 0, size, "it"),
               dotcal::WorkFailed);
  source = dotcal::OpenFrameSource({video}, "--left", 30.0, 0, {640, 480}, "the calibration");
  EXPECT_THROW(source->Next(frame), dotcal::WorkFailed);
}

}  // namespace
