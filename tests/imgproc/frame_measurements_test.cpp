// A threshold sweep over one frame keeps the frame's measurements between its calls; every result
// and every setting must come out exactly as without them.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "imgproc/TargetSearch.h"
#include "native64/ImageProcessorSettings.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;
using Oskelo::CV::Native64::ImageProcessorSettings;

namespace {

// A full grid of dots at spacing 30, diameter 15.
ImageProcessorSettings GridSettings(int columns, int rows) {
  ImageProcessorSettings s;
  s.dotCount = columns * rows;
  s.gridColumns = columns;
  s.gridRows = rows;
  s.dotSpacing = 30.0;
  s.dotDiameter = 15.0;
  return s;
}

ImageProcessorSettings PlateSettings() { return GridSettings(9, 13); }

void ExpectSameSettings(const ImageProcessorSettings& a, const ImageProcessorSettings& b, int t) {
  EXPECT_EQ(a.threshold, b.threshold) << t;
  EXPECT_EQ(a.thresholdState, b.thresholdState) << t;
  EXPECT_EQ(a.stateCounter, b.stateCounter) << t;
  EXPECT_EQ(a.meanGrey, b.meanGrey) << t;
  EXPECT_EQ(a.gridMap, b.gridMap) << t;
}

// A target of 2 x 2 dots, small enough for frames of a few hundred pixels.
ImageProcessorSettings SquareSettings(const cv::Mat& frame) {
  ImageProcessorSettings s = GridSettings(2, 2);
  s.imageRect = cv::Rect(0, 0, frame.cols, frame.rows);
  return s;
}

// Sweeps the frame as the calibration does (state 4, thresholds 20 to 215), once measuring
// everything afresh (the contours themselves) and once with the frame's measurements kept (the
// border summary in their place), and compares every outcome. Returns the thresholds that found
// the target.
int ExpectSameSweep(const cv::Mat& frame,
                    const ImageProcessorSettings& settings = PlateSettings()) {
  ImageProcessorSettings plain = settings, kept = settings;
  detail::FrameMeasurements measurements;
  int found = 0;
  for (int pass = 0; pass < 2; ++pass) {  // a second pass meets every measurement again
    for (int t = 20; t < 220; t += 5) {
      plain.thresholdState = kept.thresholdState = 4;
      plain.threshold = kept.threshold = t;
      std::vector<cv::Point2d> a = {{-1, -1}}, b = {{-1, -1}};
      cv::Rect regionA = plain.imageRect, regionB = kept.imageRect;
      const bool foundA = detail::FindTargets(plain, frame.data, a, regionA, regionA, {}, true);
      const bool foundB =
          detail::FindTargets(kept, frame.data, b, regionB, regionB, {}, true, &measurements);
      if (foundA != foundB || a != b || regionA != regionB) {
        ADD_FAILURE() << "threshold " << t << ": found " << foundA << " / " << foundB;
        return found;
      }
      ExpectSameSettings(plain, kept, t);
      found += foundA ? 1 : 0;
    }
  }
  return found;
}

// Bright boxes with dark dots drawn at random: inside the frame, cut by its border, with dots
// touching one another or the box edge, extra dots, nested boxes, blur and noise of every
// strength; and frames of noise alone.
cv::Mat RandomSquareFrame(std::mt19937& random) {
  const auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  const int rows = 120 + static_cast<int>(random() % 160);
  const int cols = 120 + static_cast<int>(random() % 160);
  cv::Mat frame(rows, cols, CV_8UC1, cv::Scalar(uniform(0, 120)));
  const int boxes = static_cast<int>(random() % 3);
  for (int b = 0; b < boxes; ++b) {
    const cv::Point2d corner(uniform(-30, cols - 60), uniform(-30, rows - 60));
    const double side = uniform(50, 170);
    cv::rectangle(frame, cv::Rect(corner, cv::Size2d(side, side)), cv::Scalar(uniform(80, 255)),
                  cv::FILLED);
    const double radius = uniform(2, side / 3.5);
    const int dots = 4 + (random() % 4 == 0 ? static_cast<int>(random() % 3) - 1 : 0);
    const cv::Scalar dotLevel(uniform(0, 150));
    for (int d = 0; d < dots; ++d) {
      const cv::Point2d at =
          corner + cv::Point2d((d % 2 + 0.5 + uniform(-0.1, 0.1)) * side / 2,
                               (d / 2 % 2 + 0.5 + uniform(-0.1, 0.1)) * side / 2);
      cv::circle(frame, at, static_cast<int>(radius), dotLevel, cv::FILLED, cv::LINE_AA);
    }
  }
  const double blur = uniform(0, 2.5);
  if (blur > 0.3) cv::GaussianBlur(frame, frame, cv::Size(), blur);
  cv::Mat noise(rows, cols, CV_16S);
  cv::randn(noise, 0.0, uniform(0, 6));
  cv::Mat noisy;
  frame.convertTo(noisy, CV_16S);
  noisy += noise;
  noisy.convertTo(frame, CV_8U);
  return frame;
}

TEST(FrameMeasurements, LeaveEveryResultOfSweepsOverRandomFramesUnchanged) {
  std::mt19937 random(19);
  int framesWithTarget = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const cv::Mat frame = RandomSquareFrame(random);
    const int found = ExpectSameSweep(frame, SquareSettings(frame));
    if (HasFailure()) {
      ADD_FAILURE() << "frame " << trial;
      return;
    }
    framesWithTarget += found > 0 ? 1 : 0;
  }
  // Both outcomes were compared many times over.
  EXPECT_GT(framesWithTarget, 30);
  EXPECT_LT(framesWithTarget, 270);
}

TEST(FrameMeasurements, LeaveEveryResultOfASweepUnchanged) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  synth::RenderSettings render;  // background 20, dots 40, box 200: the sweep cuts all three
  for (const synth::PlacedTarget& pose : synth::CalibrationSeries(rig, 2, 31)) {
    EXPECT_GT(ExpectSameSweep(synth::Render(rig.left, {pose}, render).image), 0);
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
