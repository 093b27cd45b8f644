#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "reports/ViewErrors.h"
#include "calibration/known_rig.h"
#include "synth/StereoRig.h"

namespace {

using Oskelo::CV::Native64::Calibration;

// Images of the nominal plate through the known left camera, at a tilted pose.
std::vector<cv::Point2d> PlateImage(const Calibration& calibration, const cv::Mat& camera,
                                    const cv::Mat& distortion) {
  std::vector<cv::Point2d> image;
  cv::projectPoints(calibration.nominalPattern.points, cv::Vec3d(0.3, -0.2, 0.1),
                    cv::Vec3d(-150, -200, 1100), camera, distortion, image);
  return image;
}

TEST(ViewErrors, ExactImagesHaveNoErrorAndAMovedDotShows) {
  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  const auto& p = calibration.parameters;
  std::vector<cv::Point2d> image = PlateImage(calibration, p.cameraMatrixLeft, p.distortionLeft);
  const auto& nominal = calibration.nominalPattern.points;
  // solvePnP converges to well below a thousandth of a pixel on exact points.
  EXPECT_LT(dotcal::ViewRms(nominal, image, p.cameraMatrixLeft, p.distortionLeft), 1e-3);

  // One dot 3 px off among 117: the best pose absorbs little of it, so the RMS is near
  // 3 / sqrt(117) = 0.28 px.
  image[60].x += 3.0;
  const double rms = dotcal::ViewRms(nominal, image, p.cameraMatrixLeft, p.distortionLeft);
  EXPECT_GT(rms, 0.2);
  EXPECT_LT(rms, 0.3);
}

TEST(ViewErrors, OnlyViewsWithTheWholePlateInBothImagesCount) {
  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  const auto& p = calibration.parameters;
  const auto left = PlateImage(calibration, p.cameraMatrixLeft, p.distortionLeft);
  const auto right = PlateImage(calibration, p.cameraMatrixRight, p.distortionRight);
  calibration.leftTargets = {left, left, std::vector<cv::Point2d>(left.begin() + 1, left.end())};
  calibration.rightTargets = {right, right, right};
  const dotcal::ViewErrors errors = dotcal::ComputeViewErrors(calibration);
  EXPECT_EQ(errors.pairs, (std::vector<int>{0, 1}));
  ASSERT_EQ(errors.left.size(), 2u);
  ASSERT_EQ(errors.right.size(), 2u);
  EXPECT_LT(errors.right[1], 1e-3);
}

}  // namespace
