#include "synth/Scenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "synth/Renderer.h"

namespace {

// Rim polygons of 720 vertices lie inside the true rim by at most r (1 - cos(pi / 720)), below
// 1e-3 px for dots up to 100 px across.
constexpr int kRimVertices = 720;
constexpr double kRimSagittaPx = 1e-3;

// Distance in pixels from the nearest dot rim to the image border (negative when outside).
double DotMarginPx(const synth::Camera& camera, const synth::PlacedTarget& placed) {
  double margin = 1e300;
  for (std::size_t dot = 0; dot < placed.target.dots.size(); ++dot) {
    for (const cv::Point2d& p : synth::ProjectDotRim(camera, placed, dot, kRimVertices)) {
      margin = std::min({margin, p.x + 0.5, p.y + 0.5, camera.imageSize.width - 0.5 - p.x,
                         camera.imageSize.height - 0.5 - p.y});
    }
  }
  return margin;
}

cv::Point2d BoxCentrePixel(const synth::Camera& camera, const synth::PlacedTarget& placed) {
  const cv::Rect2d& box = placed.target.box;
  return camera.Project(synth::TargetToWorld(placed, (box.tl() + box.br()) * 0.5));
}

TEST(SynthScenes, PlaceInViewPutsTheBoxCentreOnThePixelAtTheDistance) {
  const synth::Camera camera = synth::StereoRig::Default().right;  // turned and displaced
  const synth::Target plate = synth::Target::CalibrationPlate();
  const synth::PlacedTarget placed =
      synth::PlaceInView(plate, camera, {300, 700}, 900, 20, -10, 15);
  const cv::Point2d pixel = BoxCentrePixel(camera, placed);
  // Projection and PixelToRay agree to about 1e-10 px.
  EXPECT_NEAR(pixel.x, 300.0, 1e-6);
  EXPECT_NEAR(pixel.y, 700.0, 1e-6);
  const cv::Vec3d centreInCamera =
      camera.camera_from_world_R * cv::Vec3d(synth::TargetToWorld(placed, {150, 210})) +
      camera.camera_from_world_t;
  EXPECT_NEAR(cv::norm(centreInCamera), 900.0, 1e-9);

  // The tilts turn the normal away from the line of sight by cos(tx) cos(ty); the spin does not.
  const cv::Matx33d camera_from_target = camera.camera_from_world_R * placed.world_from_target_R;
  const cv::Vec3d normal(camera_from_target(0, 2), camera_from_target(1, 2),
                         camera_from_target(2, 2));
  EXPECT_NEAR(normal.dot(cv::normalize(centreInCamera)),
              std::cos(20 * CV_PI / 180) * std::cos(10 * CV_PI / 180), 1e-12);

  // Untilted and unturned, the plate reads left to right and top to bottom.
  const synth::PlacedTarget facing = synth::PlaceInView(plate, camera, {624, 541}, 1000, 0, 0, 0);
  const cv::Point2d dot0 = camera.Project(synth::TargetToWorld(facing, plate.dots[0]));
  const cv::Point2d dot8 = camera.Project(synth::TargetToWorld(facing, plate.dots[8]));
  const cv::Point2d dot9 = camera.Project(synth::TargetToWorld(facing, plate.dots[9]));
  EXPECT_GT(dot8.x - dot0.x, 300);
  EXPECT_GT(dot9.y - dot0.y, 30);
}

TEST(SynthScenes, CalibrationSeriesKeepsEveryDotInsideBothImagesAndVariesThePose) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const std::vector<synth::PlacedTarget> series = synth::CalibrationSeries(rig, 12, 5);
  ASSERT_EQ(series.size(), 12u);
  double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300, maxTilt = 0;
  for (const synth::PlacedTarget& placed : series) {
    EXPECT_GE(DotMarginPx(rig.left, placed), 10.0 - kRimSagittaPx);
    EXPECT_GE(DotMarginPx(rig.right, placed), 10.0 - kRimSagittaPx);
    const cv::Point2d centre = BoxCentrePixel(rig.left, placed);
    minX = std::min(minX, centre.x), maxX = std::max(maxX, centre.x);
    minY = std::min(minY, centre.y), maxY = std::max(maxY, centre.y);
    maxTilt = std::max(maxTilt, std::acos(placed.world_from_target_R(2, 2)) * 180 / CV_PI);
  }
  // Positions spread over the image, not only tilts; a spread of 150 px is far from degenerate
  // for a plate that covers about half the image.
  EXPECT_GT(maxX - minX, 150);
  EXPECT_GT(maxY - minY, 150);
  EXPECT_GT(maxTilt, 25);

  const std::vector<synth::PlacedTarget> again = synth::CalibrationSeries(rig, 12, 5);
  const std::vector<synth::PlacedTarget> other = synth::CalibrationSeries(rig, 12, 6);
  for (std::size_t i = 0; i < series.size(); ++i) {
    EXPECT_EQ(series[i].world_from_target_t, again[i].world_from_target_t);
    EXPECT_NE(series[i].world_from_target_t, other[i].world_from_target_t);
  }

  // The series that the tests, the demo and `dotcal render` were made with stays the same: the
  // first and last poses of seed 5, to 1e-9 mm (rounding of the trigonometry moves them by about
  // 1e-13 mm; any change to the draws moves them by millimetres).
  const cv::Vec3d first(-215.15352251212147, -157.53614238900656, 1027.8956627557013);
  const cv::Vec3d last(66.243386056592641, -257.36051875099787, 859.76220979747654);
  EXPECT_LT(cv::norm(series.front().world_from_target_t - first), 1e-9);
  EXPECT_LT(cv::norm(series.back().world_from_target_t - last), 1e-9);
}

TEST(SynthScenes, CalibrationSeriesFitsAnyPlateIntoAnyImageSize) {
  EXPECT_EQ(synth::MinDotMarginPx({1248, 1082}), 10.0);
  EXPECT_EQ(synth::MinDotMarginPx({4096, 3000}), 10.0);
  EXPECT_DOUBLE_EQ(synth::MinDotMarginPx({640, 480}), 10.0 * 480 / 1082);  // the height's ratio
  EXPECT_DOUBLE_EQ(synth::MinDotMarginPx({64, 64}), 10.0 * 64 / 1248);     // the width's ratio

  const synth::Target plates[] = {synth::Target::Grid(7, 11, 25, 12, 18.75),
                                  synth::Target::Grid(10, 10, 30, 10, 22.5)};
  // 64 x 64 is the smallest image calibrated; there a 10 px margin would leave no room for the
  // square plate.
  for (const cv::Size size : {cv::Size(640, 480), cv::Size(1920, 1200), cv::Size(64, 64)}) {
    const synth::StereoRig rig = synth::StereoRig::ForImageSize(size);
    const double marginPx = synth::MinDotMarginPx(size);
    for (const synth::Target& plate : plates) {
      const std::vector<synth::PlacedTarget> series = synth::CalibrationSeries(rig, plate, 8, 3);
      ASSERT_EQ(series.size(), 8u);
      double minHeight = 1e300, maxHeight = 0;
      for (const synth::PlacedTarget& placed : series) {
        ASSERT_EQ(placed.target.dots, plate.dots);
        EXPECT_GE(DotMarginPx(rig.left, placed), marginPx - kRimSagittaPx) << size;
        EXPECT_GE(DotMarginPx(rig.right, placed), marginPx - kRimSagittaPx) << size;
        // The plate's size follows the image: its box's left side spans, head-on, 60 % of the
        // image height; the distance (+-15 %), tilts up to 35 degrees (cos 35 = 0.82) and the
        // perspective of a tilted plate (under +-10 %) keep it within [0.4, 0.8].
        const cv::Rect2d& box = placed.target.box;
        const double height =
            cv::norm(rig.left.Project(synth::TargetToWorld(placed, box.tl())) -
                     rig.left.Project(synth::TargetToWorld(placed, {box.x, box.y + box.height})));
        minHeight = std::min(minHeight, height / size.height);
        maxHeight = std::max(maxHeight, height / size.height);
      }
      EXPECT_GT(minHeight, 0.4) << size;
      EXPECT_LT(maxHeight, 0.8) << size;
    }
  }

  // A box whose width is 2.5 times its height would not fit 640 px at 60 % of 480 px in height:
  // the series stands it further back.
  const synth::Target wide = synth::Target::Grid(13, 5, 30, 15, 22.5);
  const synth::StereoRig rig = synth::StereoRig::ForImageSize({640, 480});
  for (const synth::PlacedTarget& placed : synth::CalibrationSeries(rig, wide, 4, 3)) {
    EXPECT_GE(DotMarginPx(rig.left, placed), synth::MinDotMarginPx({640, 480}) - kRimSagittaPx);
    EXPECT_GE(DotMarginPx(rig.right, placed), synth::MinDotMarginPx({640, 480}) - kRimSagittaPx);
  }
}

TEST(SynthScenes, PlateViewsKeepThePerimeterInRangeAndTheDotsInside) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  std::vector<synth::PlacedTarget> views = synth::PlateViews(camera, 10, 3, 1000, 3500);
  const synth::Target square = synth::Target::Grid(10, 10, 30, 10, 22.5);
  for (const synth::PlacedTarget& placed : synth::PlateViews(camera, square, 10, 3, 1000, 3500)) {
    ASSERT_EQ(placed.target.dots, square.dots);
    views.push_back(placed);
  }
  ASSERT_EQ(views.size(), 20u);
  double smallest = 1e300, largest = 0;
  for (const synth::PlacedTarget& placed : views) {
    EXPECT_GE(DotMarginPx(camera, placed), 10.0 - kRimSagittaPx);
    // The corners' chords: lens distortion bows the sides by under 1 % of their length.
    const cv::Rect2d& box = placed.target.box;
    const std::vector<cv::Point2d> corners = {
        box.tl(), {box.br().x, box.y}, box.br(), {box.x, box.br().y}};
    double chords = 0;
    for (int i = 0; i < 4; ++i) {
      chords += cv::norm(camera.Project(synth::TargetToWorld(placed, corners[i])) -
                         camera.Project(synth::TargetToWorld(placed, corners[(i + 1) % 4])));
    }
    EXPECT_GE(chords, 1000 * 0.99);
    EXPECT_LE(chords, 3500 * 1.01);
    smallest = std::min(smallest, chords), largest = std::max(largest, chords);
  }
  EXPECT_GT(largest - smallest, 500);  // the distances vary over the range
}

TEST(SynthScenes, PlateViewsRefuseARangeTheCameraCannotShow) {
  // At a perimeter of 20000 px the plate is far larger than the image.
  EXPECT_THROW(synth::PlateViews(synth::StereoRig::Default().left, 1, 3, 20000, 30000),
               cv::Exception);
}

}  // namespace
