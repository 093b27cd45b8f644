#include <gtest/gtest.h>

#include <memory>

#include "calibration/known_rig.h"
#include "native64/Calibration.h"

using Oskelo::CV::Native64::Calibration;

namespace {

void ExpectZeroFloatMatrix(const cv::Mat& m, int rows, int cols) {
  EXPECT_EQ(m.type(), CV_32FC1);
  EXPECT_EQ(m.rows, rows);
  EXPECT_EQ(m.cols, cols);
  EXPECT_EQ(cv::countNonZero(m), 0);
}

TEST(CalibrationObject, StartsWithThePlateZeroParametersAndAConfiguredDetector) {
  const Calibration calibration;
  const auto& pattern = calibration.nominalPattern;
  EXPECT_EQ(pattern.columns, 9);
  EXPECT_EQ(pattern.rows, 13);
  EXPECT_EQ(pattern.spacing, 30.0);
  ASSERT_EQ(pattern.points.size(), 117u);
  EXPECT_EQ(pattern.points[0], cv::Point3d(30, 30, 0));
  EXPECT_EQ(pattern.points[8], cv::Point3d(270, 30, 0));
  EXPECT_EQ(pattern.points[9], cv::Point3d(30, 60, 0));
  EXPECT_EQ(pattern.points[108], cv::Point3d(30, 390, 0));
  EXPECT_EQ(pattern.points[116], cv::Point3d(270, 390, 0));
  for (const auto& p : pattern.points) EXPECT_EQ(p.z, 0.0);

  const auto& p = calibration.parameters;
  ExpectZeroFloatMatrix(p.fundamental, 3, 3);
  ExpectZeroFloatMatrix(p.essential, 3, 3);
  ExpectZeroFloatMatrix(p.cameraMatrixLeft, 3, 3);
  ExpectZeroFloatMatrix(p.cameraMatrixRight, 3, 3);
  ExpectZeroFloatMatrix(p.projectionLeft, 3, 4);
  ExpectZeroFloatMatrix(p.projectionRight, 3, 4);
  ExpectZeroFloatMatrix(p.rectificationLeft, 3, 3);
  ExpectZeroFloatMatrix(p.rectificationRight, 3, 3);
  ExpectZeroFloatMatrix(p.distortionLeft, 1, 5);
  ExpectZeroFloatMatrix(p.distortionRight, 1, 5);
  ExpectZeroFloatMatrix(p.disparityToDepth, 4, 4);
  ExpectZeroFloatMatrix(p.rotation, 3, 3);
  ExpectZeroFloatMatrix(p.translation, 3, 1);
  EXPECT_EQ(calibration.rmsLeft, 0.0);
  EXPECT_EQ(calibration.rmsRight, 0.0);
  EXPECT_EQ(calibration.rmsStereo, 0.0);
  EXPECT_TRUE(calibration.leftTargets.empty());
  EXPECT_TRUE(calibration.rightTargets.empty());

  ASSERT_NE(calibration.imageProcessor, nullptr);
  ASSERT_EQ(calibration.settings, calibration.imageProcessor->settings);
  const auto& s = *calibration.settings;
  EXPECT_EQ(s.dotCount, 117);
  EXPECT_EQ(s.gridColumns, 9);
  EXPECT_EQ(s.gridRows, 13);
  EXPECT_EQ(s.dotSpacing, 30.0);
  EXPECT_EQ(s.dotDiameter, 15.0);
  EXPECT_EQ(s.imageRect, cv::Rect(0, 0, 1248, 1082));
  EXPECT_FALSE(s.fixedThreshold);
}

TEST(CalibrationObject, CopiesShareTheDetectorAndOutliveEachOther) {
  auto source = std::make_unique<Calibration>();
  Calibration copy(*source);
  EXPECT_EQ(copy.imageProcessor, source->imageProcessor);
  EXPECT_EQ(copy.settings, source->settings);
  copy.settings->roiMargin = 12;
  EXPECT_EQ(source->settings->roiMargin, 12);

  Calibration assigned;
  assigned = *source;
  EXPECT_EQ(assigned.settings, source->settings);

  // The detector lives on with the copies; the sanitizer build would report a use after free.
  source.reset();
  copy.settings->threshold = 77;
  EXPECT_EQ(assigned.settings->threshold, 77);
  std::vector<cv::Point2d> targets;
  const std::vector<unsigned char> blank(1248 * 1082, 0);
  EXPECT_FALSE(copy.imageProcessor->FindTargets(blank.data(), targets));
}

TEST(CalibrationObject, CopiesTargetListsDeeplyAndShareMatrixStorage) {
  Calibration source;
  source.leftTargets.push_back({{1, 2}});
  source.rightTargets.push_back({{3, 4}});
  Calibration copy(source);
  copy.leftTargets[0][0] = {5, 6};
  copy.rightTargets.push_back({});
  EXPECT_EQ(source.leftTargets[0][0], cv::Point2d(1, 2));
  EXPECT_EQ(source.rightTargets.size(), 1u);

  EXPECT_EQ(copy.parameters.fundamental.data, source.parameters.fundamental.data);
  copy.parameters.fundamental.at<float>(0, 0) = 2.5f;
  EXPECT_EQ(source.parameters.fundamental.at<float>(0, 0), 2.5f);
}

TEST(CalibrationObject, RefusesWorkBeforeACalibrationAndKeepsItsZeroParameters) {
  Calibration calibration;
  std::vector<cv::Point3d> points = {{1, 2, 3}};
  EXPECT_THROW(calibration.Triangulate({{600, 500}}, {{580, 500}}, points), cv::Exception);
  EXPECT_TRUE(points.empty());

  EXPECT_THROW(calibration.ComputeStereoCalibration(), cv::Exception);
  ExpectZeroFloatMatrix(calibration.parameters.cameraMatrixLeft, 3, 3);
  ExpectZeroFloatMatrix(calibration.parameters.distortionRight, 1, 5);
  EXPECT_EQ(calibration.rmsStereo, 0.0);

  // Pairs without the full plate take no part either.
  calibration.leftTargets.push_back(std::vector<cv::Point2d>(116, {500, 500}));
  calibration.rightTargets.push_back(std::vector<cv::Point2d>(117, {500, 500}));
  EXPECT_THROW(calibration.ComputeStereoCalibration(), cv::Exception);
  EXPECT_EQ(calibration.parameters.cameraMatrixLeft.type(), CV_32FC1);
}

TEST(CalibrationObject, RefusesANullImageWithoutAppending) {
  Calibration calibration;
  const std::vector<unsigned char> blank(1248 * 1082, 0);
  EXPECT_THROW(calibration.ExtractPair(nullptr, blank.data()), cv::Exception);
  EXPECT_THROW(calibration.ExtractPair(blank.data(), nullptr), cv::Exception);
  EXPECT_TRUE(calibration.leftTargets.empty());
  EXPECT_TRUE(calibration.rightTargets.empty());
}

}  // namespace
