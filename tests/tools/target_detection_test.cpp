#include <gtest/gtest.h>

#include "detection/TargetDetection.h"
#include "native64/Native64.h"
#include "synth/Scenes.h"
#include "workflows/StereoRendering.h"

namespace {

using Oskelo::CV::Native64::Calibration;

TEST(DetectTarget, FindsThePlateAsTheCalibrationDoes) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const auto poses = synth::CalibrationSeries(rig, 2, 11);
  for (int i = 0; i < 2; ++i) {
    const dotcal::StereoImages images = dotcal::RenderStereo(rig, poses[i], synth::RenderSettings(),
                                                             11, dotcal::Sequence::kPlate, i);
    Calibration calibration;
    ASSERT_TRUE(calibration.ExtractPair(images.left.data, images.right.data));
    const dotcal::Detection left = dotcal::DetectTarget(images.left, dotcal::TargetShape::Plate());
    const dotcal::Detection right =
        dotcal::DetectTarget(images.right, dotcal::TargetShape::Plate());
    ASSERT_TRUE(left.found && right.found);
    // The plate fills the nominal window, so the scale stays 1; with the same sweep and choice of
    // threshold, the same dots come back in the same order.
    EXPECT_EQ(left.sizeScale, 1.0);
    EXPECT_EQ(left.dots, calibration.leftTargets[0]);
    EXPECT_EQ(right.dots, calibration.rightTargets[0]);
  }
}

TEST(DetectTarget, ReportsNoTargetWithAnEmptyList) {
  const cv::Mat blank(1082, 1248, CV_8UC1, cv::Scalar(20));
  const dotcal::Detection detection = dotcal::DetectTarget(blank, dotcal::TargetShape::Tracker());
  EXPECT_FALSE(detection.found);
  EXPECT_TRUE(detection.dots.empty());
  EXPECT_NE(detection.reason.find("no bright region with holes"), std::string::npos)
      << detection.reason;
}

TEST(TargetFollower, FollowsTheTrackerInAnImageOfAnotherWidth) {
  // 800 pixels wide: the rows must be read packed, without the detector's leading column bytes.
  synth::Camera camera = synth::StereoRig::Default().left;
  camera.imageSize = {800, 600};
  camera.K(0, 2) = 400.0;
  camera.K(1, 2) = 300.0;
  const synth::Target tracker = synth::Target::Tracker();
  dotcal::TargetFollower follower(dotcal::TargetShape::Tracker());
  for (int frame = 0; frame < 8; ++frame) {
    const auto pose =
        synth::PlaceInView(tracker, camera, {300.0 + 15.0 * frame, 280.0}, 800.0, 5.0, -5.0, 0.0);
    synth::RenderSettings settings;
    settings.seed = 40 + frame;
    const synth::Rendering rendering = synth::Render(camera, {pose}, settings);
    std::vector<cv::Point2d> dots;
    ASSERT_TRUE(follower.Next(rendering.image, dots)) << "frame " << frame;
    ASSERT_EQ(dots.size(), 7u);
    // Detection order: dot i of the output is always the same tracker dot. Sub-pixel centres
    // lie within 0.15 px of the true area centroids (the detector's accuracy bound).
    double nearest = 1e9;
    for (const auto& truth : rendering.truth[0]) {
      nearest = std::min(nearest, cv::norm(truth.areaCentroid - dots[0]));
    }
    EXPECT_LT(nearest, 0.15);
  }
  std::vector<cv::Point2d> dots;
  EXPECT_FALSE(follower.Next(cv::Mat(600, 800, CV_8UC1, cv::Scalar(20)), dots));
}

}  // namespace

namespace scale_free {

// A 7 x 5 plate (spacing 30 mm, dots of 15 mm, a spacing of margin) seen head-on by a camera of
// 1920 x 1200 pixels at distances that put its dot pitch at `pitchPx`.
constexpr double kFocalPx = 1500.0;
constexpr double kSpacingMm = 30.0, kDiameterMm = 15.0;

synth::Camera WideCamera() {
  synth::Camera camera;
  camera.imageSize = {1920, 1200};
  camera.K = cv::Matx33d(kFocalPx, 0, 959.5, 0, kFocalPx, 599.5, 0, 0, 1);
  return camera;
}

// The same plate described in another unit: spacing and diameter in that unit.
dotcal::TargetShape Described(const std::string& unit, double mmPerUnit) {
  dotcal::TargetShape shape =
      dotcal::MakeShape("7x5", 35, kSpacingMm / mmPerUnit, kDiameterMm / mmPerUnit);
  shape.unit = unit;
  return shape;
}

TEST(DetectTarget, FindsThePlateAtAnyPitchInAnyUnit) {
  const synth::Camera camera = WideCamera();
  const synth::Target plate = synth::Target::Tracker(7, 5, kSpacingMm, kDiameterMm, {});
  for (double pitchPx : {12.0, 25.0, 50.0, 100.0, 150.0}) {
    const double distance = kFocalPx * kSpacingMm / pitchPx;
    synth::RenderSettings settings;
    settings.seed = static_cast<std::uint64_t>(pitchPx);
    const auto pose = synth::PlaceInView(plate, camera, {900.0, 620.0}, distance, 8.0, -6.0, 5.0);
    const synth::Rendering rendering = synth::Render(camera, {pose}, settings);
    for (const auto& [unit, mmPerUnit] : {std::pair{"mm", 1.0}, std::pair{"cm", 10.0},
                                          std::pair{"m", 1000.0}, std::pair{"in", 25.4}}) {
      const dotcal::Detection detection =
          dotcal::DetectTarget(rendering.image, Described(unit, mmPerUnit));
      ASSERT_TRUE(detection.found) << pitchPx << " px in " << unit << ": " << detection.reason;
      ASSERT_EQ(detection.dots.size(), 35u);
      // Every centre within 0.15 px of a true dot centroid (the detector's accuracy bound), so the
      // dots were found where they are, whatever the unit.
      for (const cv::Point2d& dot : detection.dots) {
        double nearest = 1e9;
        for (const auto& truth : rendering.truth[0])
          nearest = std::min(nearest, cv::norm(truth.areaCentroid - dot));
        EXPECT_LT(nearest, 0.15) << pitchPx << " px in " << unit;
      }
    }
    // Without the scale the tool chooses, the detector's window, tied to the spacing's numeric
    // value, misses the plate described in metres, and the nearest and farthest plates in mm.
    const double unitScale = 1.0;
    if (pitchPx == 50.0) {
      EXPECT_FALSE(dotcal::DetectTarget(rendering.image, Described("m", 1000.0), unitScale).found);
    }
    if (pitchPx == 12.0 || pitchPx == 150.0) {
      EXPECT_FALSE(dotcal::DetectTarget(rendering.image, Described("mm", 1.0), unitScale).found)
          << pitchPx;
    }
  }
}

TEST(DetectTarget, FindsASmallTargetInTheSmallestImage) {
  // 64 x 64 pixels holding a 4 x 3 plate at a pitch of 12 px.
  synth::Camera camera;
  camera.imageSize = {64, 64};
  camera.K = cv::Matx33d(kFocalPx, 0, 31.5, 0, kFocalPx, 31.5, 0, 0, 1);
  const synth::Target plate = synth::Target::Grid(4, 3, kSpacingMm, kDiameterMm, 0.5 * kSpacingMm);
  const auto pose =
      synth::PlaceInView(plate, camera, {31.5, 31.5}, kFocalPx * kSpacingMm / 12.0, 10, 5, 3);
  const synth::Rendering rendering = synth::Render(camera, {pose}, synth::RenderSettings());
  const dotcal::Detection detection =
      dotcal::DetectTarget(rendering.image, dotcal::MakeShape("4x3", 12, kSpacingMm, kDiameterMm));
  ASSERT_TRUE(detection.found) << detection.reason;
  EXPECT_EQ(detection.dots.size(), 12u);
}

TEST(DetectTarget, SaysWhyThePlateWasMissed) {
  const synth::Camera camera = WideCamera();
  const synth::Target plate = synth::Target::Tracker(7, 5, kSpacingMm, kDiameterMm, {});
  const auto pose = synth::PlaceInView(plate, camera, {960.0, 600.0}, 1000.0, 5.0, 5.0, 0.0);
  const cv::Mat image = synth::Render(camera, {pose}, synth::RenderSettings()).image;
  const auto reason = [&](const dotcal::TargetShape& shape, double sizeScale) {
    const dotcal::Detection detection = dotcal::DetectTarget(image, shape, sizeScale);
    EXPECT_FALSE(detection.found);
    return detection.reason;
  };
  // A plate of more dots than the image shows: the region that comes closest has 35.
  EXPECT_NE(reason(dotcal::MakeShape("8x5"), 1.0).find("has 35 holes of dot size; 40 expected"),
            std::string::npos);
  // The right plate at a scale whose window lies far below its outline.
  const std::string outline = reason(Described("mm", 1.0), 0.05);
  EXPECT_NE(outline.find("a bright region with 35 holes exists"), std::string::npos) << outline;
  EXPECT_NE(outline.find("above the"), std::string::npos) << outline;
  // Nothing bright at all.
  const cv::Mat dark(1200, 1920, CV_8UC1, cv::Scalar(10));
  const dotcal::Detection none = dotcal::DetectTarget(dark, Described("mm", 1.0));
  EXPECT_NE(none.reason.find("no threshold from 20 to 215 separates"), std::string::npos)
      << none.reason;
}

}  // namespace scale_free
