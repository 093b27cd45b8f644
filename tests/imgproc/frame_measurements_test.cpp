// A threshold sweep over one frame keeps the frame's measurements between its calls; every result
// and every setting must come out exactly as without them.
#include <gtest/gtest.h>

#include "imgproc/TargetSearch.h"
#include "native64/ImageProcessorSettings.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;
using Oskelo::CV::Native64::ImageProcessorSettings;

namespace {

ImageProcessorSettings PlateSettings() {
  ImageProcessorSettings s;
  s.dotCount = 117;
  s.gridColumns = 9;
  s.gridRows = 13;
  s.dotSpacing = 30.0;
  s.dotDiameter = 15.0;
  return s;
}

void ExpectSameSettings(const ImageProcessorSettings& a, const ImageProcessorSettings& b, int t) {
  EXPECT_EQ(a.threshold, b.threshold) << t;
  EXPECT_EQ(a.thresholdState, b.thresholdState) << t;
  EXPECT_EQ(a.stateCounter, b.stateCounter) << t;
  EXPECT_EQ(a.meanGrey, b.meanGrey) << t;
  EXPECT_EQ(a.gridMap, b.gridMap) << t;
}

// Sweeps the frame as the calibration does (state 4, thresholds 20 to 215), once measuring
// everything afresh and once with the frame's measurements kept, and compares every outcome.
void ExpectSameSweep(const cv::Mat& frame) {
  ImageProcessorSettings plain = PlateSettings(), kept = PlateSettings();
  detail::FrameMeasurements measurements;
  int found = 0;
  for (int pass = 0; pass < 2; ++pass) {  // a second pass meets every measurement again
    for (int t = 20; t < 220; t += 5) {
      plain.thresholdState = kept.thresholdState = 4;
      plain.threshold = kept.threshold = t;
      std::vector<cv::Point2d> a = {{-1, -1}}, b = {{-1, -1}};
      cv::Rect regionA = plain.imageRect, regionB = kept.imageRect;
      const bool foundA = detail::FindTargets(plain, frame.data, a, regionA, regionA, {}, false);
      const bool foundB = detail::FindTargets(kept, frame.data, b, regionB, regionB, {}, false,
                                              &measurements);
      ASSERT_EQ(foundA, foundB) << t;
      EXPECT_EQ(a, b) << t;
      EXPECT_EQ(regionA, regionB) << t;
      ExpectSameSettings(plain, kept, t);
      found += foundA ? 1 : 0;
    }
  }
  EXPECT_GT(found, 0);  // the comparison covered successes as well as failures
}

TEST(FrameMeasurements, LeaveEveryResultOfASweepUnchanged) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  synth::RenderSettings render;  // background 20, dots 40, box 200: the sweep cuts all three
  for (const synth::PlacedTarget& pose : synth::CalibrationSeries(rig, 2, 31)) {
    ExpectSameSweep(synth::Render(rig.left, {pose}, render).image);
    render.seed += 1;
  }
  // Levels that put thresholds of the sweep into the noise of the box and of the dots.
  render.backgroundLevel = 60.0;
  render.dotLevel = 100.0;
  render.boxLevel = 150.0;
  render.noiseSigma = 3.0;
  const synth::PlacedTarget pose = synth::CalibrationSeries(rig, 1, 32)[0];
  ExpectSameSweep(synth::Render(rig.right, {pose}, render).image);
}

}  // namespace
