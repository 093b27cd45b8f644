#include "synth/Renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "synth/Scenes.h"

namespace {

// The polygon centroid of a head-on dot differs from its centre by rounding only.
constexpr double kHeadOnCentroidTolPx = 1e-6;

synth::Camera SmallCamera(cv::Size size, double focal) {
  synth::Camera camera;
  camera.imageSize = size;
  camera.K = cv::Matx33d(focal, 0, 0.5 * size.width - 0.3, 0, focal * 1.01, 0.5 * size.height + 0.2,
                         0, 0, 1);
  return camera;
}

cv::Matx33d RotationZ(double deg) {
  const double a = deg * CV_PI / 180.0;
  return {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1};
}

TEST(SynthTruth, HeadOnDotsHaveTheirAreaCentroidOnTheirProjectedCentre) {
  synth::Camera camera = synth::StereoRig::Default().left;
  camera.distortion = {};
  // The plate parallel to the image plane, dot 0 three pixels from the left image border.
  synth::PlacedTarget headOn{synth::Target::CalibrationPlate(), cv::Matx33d::eye(), {0, 0, 1000}};
  headOn.world_from_target_t[0] = -30.0 + (-0.5 + 3.0 - camera.K(0, 2)) * 1000.0 / camera.K(0, 0);
  headOn.world_from_target_t[1] = -150.0;
  const std::vector<synth::DotTruth> truths = synth::DotTruths(camera, headOn);
  ASSERT_EQ(truths.size(), 117u);
  for (std::size_t i = 0; i < truths.size(); ++i) {
    EXPECT_NEAR(truths[i].areaCentroid.x, truths[i].projectedCentre.x, kHeadOnCentroidTolPx)
        << "dot " << i;
    EXPECT_NEAR(truths[i].areaCentroid.y, truths[i].projectedCentre.y, kHeadOnCentroidTolPx)
        << "dot " << i;
  }
  // The first column's dots cross the left border (radius 11 px, centre 3 px inside); the
  // others lie inside.
  EXPECT_FALSE(truths[0].inImage);
  EXPECT_FALSE(truths[108].inImage);
  EXPECT_TRUE(truths[1].inImage);
  EXPECT_TRUE(truths[8].inImage);

  // Seen at a slant, perspective moves the area centroid off the projected centre.
  synth::PlacedTarget slanted =
      synth::PlaceInView(synth::Target::CalibrationPlate(), camera, {624, 541}, 900, 35, 0, 0);
  const synth::DotTruth nearEdge = synth::DotTruths(camera, slanted)[0];
  EXPECT_GT(cv::norm(nearEdge.areaCentroid - nearEdge.projectedCentre), 1e-2);
}

TEST(SynthRender, GreyCentroidOfARenderedDotIsItsAreaCentroid) {
  synth::Camera camera = SmallCamera({120, 100}, 400);
  camera.distortion = {-0.3, 0.1, 1e-3, -5e-4, -0.02};
  const synth::Target single = synth::Target::Tracker(1, 1, 40, 20, {});
  const synth::PlacedTarget placed = synth::PlaceInView(single, camera, {80, 30}, 400, 40, 25, 10);
  synth::RenderSettings settings;
  settings.blurSigma = 0;
  settings.noiseSigma = 0;
  settings.bits = 16;
  const synth::Rendering rendering = synth::Render(camera, {placed}, settings);
  ASSERT_EQ(rendering.truth.size(), 1u);
  ASSERT_EQ(rendering.truth[0].size(), 1u);
  const synth::DotTruth truth = rendering.truth[0][0];
  ASSERT_TRUE(truth.inImage);

  // Darkness relative to the box is the dot's coverage of each pixel; its first moments over a
  // window that the box surrounds give the centroid of the dot's image.
  const std::vector<cv::Point2d> rim = synth::ProjectDotRim(camera, placed, 0, 360);
  const cv::Rect window = cv::boundingRect(std::vector<cv::Point2f>(rim.begin(), rim.end())) +
                          cv::Size(6, 6) - cv::Point(3, 3);
  constexpr double kSixteenBitsPerLevel = 65535.0 / 255.0;  // levels are given on the 8-bit scale
  double mass = 0, mx = 0, my = 0;
  for (int y = window.y; y < window.y + window.height; ++y) {
    for (int x = window.x; x < window.x + window.width; ++x) {
      const double coverage =
          (settings.boxLevel - rendering.image.at<std::uint16_t>(y, x) / kSixteenBitsPerLevel) /
          (settings.boxLevel - settings.dotLevel);
      mass += coverage;
      mx += coverage * x;
      my += coverage * y;
    }
  }
  // The default 16 x 16 samples per pixel, traced along rays interpolated between the pixel's
  // corners, put this 20 px dot's rendered centroid 0.0011 px from the exact one (16-bit steps
  // are 1/257 of an 8-bit level); 8 x 8 samples leave 0.005 px, 4 x 4 0.006 px.
  constexpr double kRenderedCentroidTolPx = 0.002;
  EXPECT_NEAR(mx / mass, truth.areaCentroid.x, kRenderedCentroidTolPx);
  EXPECT_NEAR(my / mass, truth.areaCentroid.y, kRenderedCentroidTolPx);
}

// A scene with every case the footprint shortcut has to get right: lens distortion, a turned
// camera, a tilted plate with small dots, a tracker hiding part of it, and a floor whose horizon
// crosses the image, behind the camera above it and in front below.
struct MixedScene {
  synth::Camera camera = SmallCamera({160, 120}, 200);
  std::vector<synth::PlacedTarget> targets;
  MixedScene() {
    camera.distortion = {-0.25, 0.08, 4e-4, -3e-4, -0.01};
    camera.camera_from_world_R = RotationZ(5.0);
    targets.push_back(
        synth::PlaceInView(synth::Target::CalibrationPlate(), camera, {70, 55}, 700, 30, -20, 10));
    targets.push_back(
        synth::PlaceInView(synth::Target::Tracker(), camera, {95, 70}, 450, -25, 15, -5));
    synth::Target floor;
    floor.box = cv::Rect2d(-2000, 0, 4000, 6000);
    floor.dots = {{-600, 1500}, {400, 3000}, {0, 800}, {-150, 300}};
    floor.dotDiameter = 300;
    // Target x along world x, target y into the scene: the plane y = 150 below the camera.
    targets.push_back({floor, cv::Matx33d(1, 0, 0, 0, 0, -1, 0, 1, 0), {0, 150, 200}});
  }
};

TEST(SynthRender, FootprintShortcutGivesTheSupersampledImage) {
  const MixedScene scene;
  synth::RenderSettings settings;
  settings.blurSigma = 0;
  settings.noiseSigma = 0;
  // Without blur and noise one sample more or less on a material moves a pixel by 10 grey levels.
  settings.classifyFootprints = true;
  const cv::Mat fast = synth::Render(scene.camera, scene.targets, settings).image;
  settings.classifyFootprints = false;
  const cv::Mat full = synth::Render(scene.camera, scene.targets, settings).image;
  EXPECT_EQ(cv::countNonZero(fast != full), 0);

  // The scene shows every pure material and many mixed pixels, so the comparison means something.
  EXPECT_GT(cv::countNonZero(full == settings.backgroundLevel), 1000);
  EXPECT_GT(cv::countNonZero(full == settings.boxLevel), 1000);
  EXPECT_GT(cv::countNonZero(full == settings.dotLevel), 100);
  const int pure = cv::countNonZero(full == settings.backgroundLevel) +
                   cv::countNonZero(full == settings.boxLevel) +
                   cv::countNonZero(full == settings.dotLevel);
  EXPECT_GT(static_cast<int>(full.total()) - pure, 500);
}

// The same scene through a camera with `factor` times as many pixels per axis, each of them
// `factor` times smaller.
synth::Camera Finer(const synth::Camera& camera, int factor) {
  synth::Camera finer = camera;
  finer.imageSize = {camera.imageSize.width * factor, camera.imageSize.height * factor};
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) finer.K(i, j) *= factor;
    // Pixel c covers [c - 1/2, c + 1/2]: the coarse pixel's corner is a fine pixel's corner.
    finer.K(i, 2) = factor * (camera.K(i, 2) + 0.5) - 0.5;
  }
  return finer;
}

// Light in 8-bit grey levels from a 16-bit noise-free rendering.
cv::Mat EightBitLight(const cv::Mat& image) {
  cv::Mat light;
  image.convertTo(light, CV_64F, 255.0 / 65535.0);
  return light;
}

// A blur before the integration is the blur of the light itself: the scene rendered 8 times finer
// without blur (4 x 4 samples per fine pixel, the coarse pixel's 32 x 32), blurred there and
// binned 8 x 8 gives the same pixels. Blurring the integrated pixels does not.
TEST(SynthRender, BlurBeforeIntegrationIsTheBlurOfTheLight) {
  constexpr int kFactor = 8, kFineSamples = 4;
  const MixedScene scene;
  synth::RenderSettings settings;
  settings.noiseSigma = 0;
  settings.bits = 16;
  settings.samplesPerAxis = kFactor * kFineSamples;
  settings.blurBeforeIntegration = true;
  const cv::Mat lensOrder =
      EightBitLight(synth::Render(scene.camera, scene.targets, settings).image);
  settings.blurBeforeIntegration = false;
  const cv::Mat pixelOrder =
      EightBitLight(synth::Render(scene.camera, scene.targets, settings).image);

  synth::RenderSettings fine = settings;
  fine.blurSigma = 0;
  fine.samplesPerAxis = kFineSamples;
  cv::Mat light =
      EightBitLight(synth::Render(Finer(scene.camera, kFactor), scene.targets, fine).image);
  cv::GaussianBlur(light, light, cv::Size(), kFactor * settings.blurSigma,
                   kFactor * settings.blurSigma, cv::BORDER_REPLICATE);
  cv::Mat reference;
  cv::resize(light, reference, scene.camera.imageSize, 0, 0, cv::INTER_AREA);

  // Away from the image's border, where the two repeat their edge pixels differently.
  const cv::Rect inside(4, 4, scene.camera.imageSize.width - 8, scene.camera.imageSize.height - 8);
  double lensOrderError = 0.0, pixelOrderError = 0.0;
  cv::minMaxLoc(cv::abs(lensOrder(inside) - reference(inside)), nullptr, &lensOrderError);
  cv::minMaxLoc(cv::abs(pixelOrder(inside) - reference(inside)), nullptr, &pixelOrderError);
  // Measured: 0.09 grey levels, from where the fine rendering puts its samples' light (at the
  // fine pixels' centres: 0.22 levels 4 times finer, 0.035 without the lens's distortion) and
  // from the rays interpolated between coarser corners. Blurring the pixels is 6 levels off.
  constexpr double kLensOrderTolLevels = 0.15, kPixelOrderLeastLevels = 2.0;
  EXPECT_LT(lensOrderError, kLensOrderTolLevels);
  EXPECT_GT(pixelOrderError, kPixelOrderLeastLevels);
}

TEST(SynthRender, TheSeedDecidesTheNoise) {
  const MixedScene scene;
  synth::RenderSettings settings;  // default blur and noise
  const synth::Rendering first = synth::Render(scene.camera, scene.targets, settings);
  const synth::Rendering again = synth::Render(scene.camera, scene.targets, settings);
  settings.seed = 2;
  const synth::Rendering other = synth::Render(scene.camera, scene.targets, settings);

  ASSERT_EQ(first.image.type(), CV_8UC1);
  ASSERT_EQ(first.image.size(), scene.camera.imageSize);
  EXPECT_TRUE(first.image.isContinuous());
  EXPECT_EQ(cv::countNonZero(first.image != again.image), 0);
  EXPECT_GT(cv::countNonZero(first.image != other.image), 1000);
  ASSERT_EQ(first.truth.size(), 3u);
  EXPECT_EQ(first.truth[0].size(), 117u);
  EXPECT_EQ(first.truth[1].size(), 7u);
}

TEST(SynthRender, DeeperBitDepthsScaleTheEightBitImage) {
  const MixedScene scene;
  synth::RenderSettings settings;  // default blur and noise
  // Noise around a box level this near full scale saturates many box pixels.
  settings.boxLevel = 254;
  const cv::Mat eight = synth::Render(scene.camera, scene.targets, settings).image;
  ASSERT_EQ(eight.type(), CV_8UC1);
  ASSERT_GT(cv::countNonZero(eight == 255), 100);

  for (int bits : {10, 12, 16}) {
    settings.bits = bits;
    const cv::Mat deep = synth::Render(scene.camera, scene.targets, settings).image;
    ASSERT_EQ(deep.type(), CV_16UC1);
    ASSERT_EQ(deep.size(), scene.camera.imageSize);
    EXPECT_TRUE(deep.isContinuous());
    const double fullScale = (1 << bits) - 1;
    double highest = 0;
    cv::minMaxLoc(deep, nullptr, &highest);
    EXPECT_EQ(highest, fullScale) << bits << " bits saturate at their full scale";

    // Both images round the same light, scaled, to integers: the 8-bit one within 0.5 of it,
    // the deeper one within 0.5 of its scale, 0.5 * 255 / (2^bits - 1) on the 8-bit scale.
    // Saturation cuts both at the same light.
    cv::Mat back;
    deep.convertTo(back, CV_64F, 255.0 / fullScale);
    cv::Mat eightAsDouble;
    eight.convertTo(eightAsDouble, CV_64F);
    double largest = 0;
    cv::minMaxLoc(cv::abs(back - eightAsDouble), nullptr, &largest);
    EXPECT_LE(largest, 0.5 + 0.5 * 255 / fullScale) << bits << " bits";
  }
}

TEST(SynthRender, RejectsTooFewSamplesAndUnknownBitDepths) {
  synth::RenderSettings settings;
  settings.samplesPerAxis = 3;
  EXPECT_THROW(synth::Render(SmallCamera({16, 16}, 20), {}, settings), cv::Exception);
  settings = {};
  for (int bits : {7, 17}) {
    settings.bits = bits;
    EXPECT_THROW(synth::Render(SmallCamera({16, 16}, 20), {}, settings), cv::Exception) << bits;
  }
}

}  // namespace
