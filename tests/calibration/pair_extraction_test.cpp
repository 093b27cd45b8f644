#include <gtest/gtest.h>

#include "imgproc/image_views.h"
#include "imgproc/settings_record.h"
#include "native64/Calibration.h"
#include "native64/ImageDetection.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::ExtractPairFromImages;

namespace {

// A plate rendered without noise on a black background with chosen dot and box levels: the
// detector finds it exactly at the sweep thresholds t with dot <= t < box, where the dots are
// dark and the box is bright after binarisation.
cv::Mat PlateWithLevels(const synth::Camera& camera, double dotLevel, double boxLevel) {
  synth::RenderSettings render;
  render.noiseSigma = 0.0;
  render.backgroundLevel = 0.0;
  render.dotLevel = dotLevel;
  render.boxLevel = boxLevel;
  const synth::PlacedTarget plate = synth::PlaceInView(synth::Target::CalibrationPlate(), camera,
                                                       {624.0, 541.0}, 950.0, 10.0, -15.0, 5.0);
  return synth::Render(camera, {plate}, render).image;
}

// The plate as the detector finds it in state 4 at one threshold.
std::vector<cv::Point2d> DetectAt(const cv::Mat& image, int threshold) {
  Calibration fresh;
  fresh.settings->thresholdState = 4;
  fresh.settings->threshold = threshold;
  std::vector<cv::Point2d> targets;
  EXPECT_TRUE(fresh.imageProcessor->FindTargets(image.data, targets)) << threshold;
  return targets;
}

TEST(ExtractPair, DetectsEachCameraAtItsMiddleSuccessfulThreshold) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  // Left: found at 40, 45, 50, 55, so 50 is used; right: at 60, 65, 70, so 65.
  const cv::Mat left = PlateWithLevels(rig.left, 40.0, 58.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);

  Calibration calibration;
  ASSERT_TRUE(calibration.ExtractPair(left.data, right.data));
  ASSERT_EQ(calibration.leftTargets.size(), 1u);

  // The thresholds next to the chosen ones cut the blurred dot rims elsewhere and move the
  // centres a little, so the lists identify the threshold used.
  const std::vector<cv::Point2d> left50 = DetectAt(left, 50);
  ASSERT_NE(left50, DetectAt(left, 45));
  ASSERT_NE(left50, DetectAt(left, 55));
  EXPECT_EQ(calibration.leftTargets[0], left50);
  const std::vector<cv::Point2d> right65 = DetectAt(right, 65);
  ASSERT_NE(right65, DetectAt(right, 60));
  ASSERT_NE(right65, DetectAt(right, 70));
  EXPECT_EQ(calibration.rightTargets[0], right65);
}

// The sweep spelled out with the short-form detection, which keeps nothing between calls: every
// threshold in the forced whole-frame state, left then right, then each camera again at its
// middle successful threshold.
bool SweepSpelledOut(Calibration& calibration, const cv::Mat& left, const cv::Mat& right,
                     std::vector<cv::Point2d>& leftTargets,
                     std::vector<cv::Point2d>& rightTargets) {
  const auto at = [&](const cv::Mat& image, int threshold, std::vector<cv::Point2d>& targets) {
    calibration.settings->thresholdState = 4;
    calibration.settings->threshold = threshold;
    return calibration.imageProcessor->FindTargets(image.data, targets);
  };
  std::vector<int> leftFound, rightFound;
  for (int t = 20; t < 220; t += 5) {
    if (at(left, t, leftTargets)) leftFound.push_back(t);
    if (at(right, t, rightTargets)) rightFound.push_back(t);
  }
  if (leftFound.empty() || rightFound.empty()) return false;
  leftTargets.clear();
  rightTargets.clear();
  const bool leftFinal = at(left, leftFound[leftFound.size() / 2], leftTargets);
  const bool rightFinal = at(right, rightFound[rightFound.size() / 2], rightTargets);
  return leftFinal && rightFinal && !leftTargets.empty() && !rightTargets.empty();
}

// What the pair's sweep keeps from threshold to threshold (the frame's measurements, the border
// summary, the final detections taken from the sweep) changes nothing: the same targets and the
// same settings record, state counter and grid map included, as the sweep spelled out. On a
// rendered pair, on plates found at several thresholds and at one only, and on a pair whose
// right image is blank.
TEST(ExtractPair, GivesTheTargetsAndRecordOfTheSweepSpelledOut) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const synth::PlacedTarget plate = synth::CalibrationSeries(rig, 1, 5).front();
  const cv::Mat blank = cv::Mat::zeros(rig.left.imageSize, CV_8UC1);
  const std::vector<std::pair<cv::Mat, cv::Mat>> pairs = {
      {synth::Render(rig.left, {plate}, synth::RenderSettings()).image,
       synth::Render(rig.right, {plate}, synth::RenderSettings()).image},
      {PlateWithLevels(rig.left, 40.0, 58.0), PlateWithLevels(rig.right, 60.0, 73.0)},
      {PlateWithLevels(rig.left, 80.0, 84.0), PlateWithLevels(rig.right, 40.0, 73.0)},
      {PlateWithLevels(rig.left, 40.0, 58.0), blank}};
  int found = 0;
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    SCOPED_TRACE(testing::Message() << "pair " << p);
    Calibration swept, spelledOut;
    std::vector<cv::Point2d> left, right;
    const bool expected = SweepSpelledOut(spelledOut, pairs[p].first, pairs[p].second, left, right);
    ASSERT_EQ(swept.ExtractPair(pairs[p].first.data, pairs[p].second.data), expected);
    if (expected) {
      EXPECT_EQ(swept.leftTargets.back(), left);
      EXPECT_EQ(swept.rightTargets.back(), right);
    }
    ExpectSameRecord(*swept.settings, *spelledOut.settings);
    found += expected ? 1 : 0;
  }
  EXPECT_EQ(found, 3);  // all but the pair with the blank image
}

TEST(ExtractPair, UsesASingleSuccessfulThresholdAsItIs) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  // Found at 80 only (dots at 80, box at 84); the right image at 60, 65, 70.
  const cv::Mat left = PlateWithLevels(rig.left, 80.0, 84.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);
  Calibration calibration;
  ASSERT_TRUE(calibration.ExtractPair(left.data, right.data));
  EXPECT_EQ(calibration.leftTargets[0], DetectAt(left, 80));
}

TEST(ExtractPair, WithAFixedThresholdDetectsOnceAtThatThreshold) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const cv::Mat left = PlateWithLevels(rig.left, 40.0, 58.0);
  const cv::Mat right = PlateWithLevels(rig.right, 60.0, 73.0);
  Calibration calibration;
  calibration.settings->fixedThreshold = true;
  calibration.settings->threshold = 50;
  // 50 lies below the right image's dots: the right camera fails, and nothing is appended.
  EXPECT_FALSE(calibration.ExtractPair(left.data, right.data));
  EXPECT_TRUE(calibration.leftTargets.empty());
  calibration.settings->threshold = 57;  // dots of both images dark, both boxes bright
  const cv::Mat right2 = PlateWithLevels(rig.right, 40.0, 73.0);
  ASSERT_TRUE(calibration.ExtractPair(left.data, right2.data));
  EXPECT_EQ(calibration.settings->threshold, 57);
}

// ExtractPairFromImages against ExtractPair on packed copies: the same lists appended and the same
// record left, on rendered plate pairs of the 1248-pixel cameras (no leading bytes whatever
// columnOffset holds) and on random frames of another width (which the raw host reads with
// columnOffset 0), each as continuous images and as views into larger ones.
TEST(ExtractPair, FromImagesGivesTheRawResultOnContinuousImagesAndViews) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  std::vector<std::pair<cv::Mat, cv::Mat>> pairs;
  for (const synth::PlacedTarget& plate : synth::CalibrationSeries(rig, 2, 11)) {
    synth::RenderSettings render;
    render.seed = 11 + pairs.size();
    pairs.emplace_back(synth::Render(rig.left, {plate}, render).image,
                       synth::Render(rig.right, {plate}, render).image);
  }
  cv::RNG rng(12);
  for (int i = 0; i < 2; ++i) {
    cv::Mat left(120, 160, CV_8UC1), right(120, 160, CV_8UC1);
    rng.fill(left, cv::RNG::UNIFORM, 0, 256);
    rng.fill(right, cv::RNG::UNIFORM, 0, 256);
    pairs.emplace_back(left, right);
  }

  int appended = 0;
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const auto& [left, right] = pairs[p];
    for (const bool asView : {false, true}) {
      SCOPED_TRACE(testing::Message() << "pair " << p << (asView ? ", views" : ", continuous"));
      Calibration raw, fromImages;
      raw.settings->imageRect = cv::Rect(0, 0, left.cols, left.rows);
      raw.settings->columnOffset = 0;
      const bool rawFound = raw.ExtractPair(left.data, right.data);
      const cv::Mat leftImage = asView ? AsViewIntoLarger(left, 2 * p) : left;
      const cv::Mat rightImage = asView ? AsViewIntoLarger(right, 2 * p + 1) : right;
      ASSERT_EQ(ExtractPairFromImages(fromImages, leftImage, rightImage), rawFound);
      EXPECT_EQ(fromImages.leftTargets, raw.leftTargets);
      EXPECT_EQ(fromImages.rightTargets, raw.rightTargets);
      ExpectSameRecordAsRaw(*fromImages.settings, *raw.settings, kDefaultColumnOffset);
      appended += rawFound ? 1 : 0;
      // The single-image sweep finds in each image what the pair's sweep found there.
      for (const auto& [image, expected] :
           {std::pair{&leftImage, &raw.leftTargets}, {&rightImage, &raw.rightTargets}}) {
        Calibration plate;  // a detector configured for the plate
        std::vector<cv::Point_<double>> found;
        int threshold = -1;
        ASSERT_EQ(FindTargetsBySweep(*plate.imageProcessor, *image, found, &threshold), rawFound);
        if (rawFound) {
          EXPECT_EQ(found, expected->front());
          EXPECT_GE(threshold, 20);
          EXPECT_LE(threshold, 215);
        } else {
          EXPECT_TRUE(found.empty());
          EXPECT_EQ(threshold, -1);
        }
      }
    }
  }
  EXPECT_EQ(appended, 4);  // both plate pairs, in both layouts; no random frame
}

}  // namespace
