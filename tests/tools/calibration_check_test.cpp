// The three figures of a calibration check on exact views of a plate through the synthetic rig,
// with its exact calibration: zero when nothing changed, and the known size of a known change.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calibration/known_rig.h"
#include "synth/StereoRig.h"
#include "workflows/CalibrationCheck.h"

namespace {

using dotcal::CheckFigures;
using dotcal::CheckVerdict;
using dotcal::SpacingErrors;
using Oskelo::CV::Native64::Calibration;

constexpr int kColumns = 9, kRows = 13;
constexpr double kSpacing = 30.0;

// The plate's dots, row-major, about 1.1 m in front of the left camera and tilted by 20 degrees
// about the vertical axis, in the left camera's frame (the rig's world frame).
std::vector<cv::Point3d> PlateDots(double spacing) {
  const double tilt = 20.0 * CV_PI / 180.0;
  std::vector<cv::Point3d> dots;
  for (int j = 0; j < kRows; ++j) {
    for (int k = 0; k < kColumns; ++k) {
      const double u = (k - (kColumns - 1) / 2.0) * spacing, v = (j - (kRows - 1) / 2.0) * spacing;
      dots.emplace_back(125.0 + u * std::cos(tilt), v, 1100.0 + u * std::sin(tilt));
    }
  }
  return dots;
}

struct View {
  Calibration calibration;
  std::vector<cv::Point2d> left, right;
};

View ExactView() {
  const synth::StereoRig rig = synth::StereoRig::Default();
  View view;
  SetKnownCalibration(view.calibration, rig);
  for (const cv::Point3d& dot : PlateDots(kSpacing)) {
    view.left.push_back(rig.left.Project(dot));
    view.right.push_back(rig.right.Project(dot));
  }
  return view;
}

CheckFigures Check(const View& view) {
  std::vector<cv::Point3d> points;
  view.calibration.Triangulate(view.left, view.right, points);
  return dotcal::CheckPair(view.calibration.parameters, view.left, view.right, points, kColumns,
                           kSpacing);
}

// Triangulation runs in 32-bit floats (cv::triangulatePoints), which leaves about 1e-4 mm of a
// 1.1 m depth and 1e-4 px of a projection; exact views give figures below these bounds.
constexpr double kExactSpacingMm = 2e-3;
constexpr double kExactPx = 2e-3;

TEST(CalibrationCheck, ExactViewsThroughTheExactCalibrationGiveNoError) {
  const CheckFigures figures = Check(ExactView());
  EXPECT_LT(figures.spacing.rms, kExactSpacingMm);
  EXPECT_LT(figures.spacing.max, kExactSpacingMm);
  EXPECT_EQ(figures.spacing.count, 8 * 13 + 9 * 12);
  EXPECT_LT(figures.epipolarRms, kExactPx);
  EXPECT_LT(figures.reprojectionRms, kExactPx);
  EXPECT_EQ(figures.dots, kColumns * kRows);
}

// Every right centre 0.5 px lower: the rectified rows move apart by 0.5 px times the
// rectification's local scale (within 3 % over this plate), and triangulation leaves half of that
// in each image.
TEST(CalibrationCheck, RowsThatMoveApartShowAsEpipolarAndReprojectionError) {
  View view = ExactView();
  for (cv::Point2d& p : view.right) p.y += 0.5;
  const CheckFigures figures = Check(view);
  EXPECT_NEAR(figures.epipolarRms, 0.5, 0.03 * 0.5);
  EXPECT_NEAR(figures.reprojectionRms, 0.25, 0.03 * 0.25);
}

TEST(CalibrationCheck, SpacingErrorsAreTheNeighbourDistancesAgainstTheSpacing) {
  // A plate 1 % larger than nominal: every distance is 0.3 mm long.
  const SpacingErrors larger =
      dotcal::NeighbourSpacing(PlateDots(1.01 * kSpacing), kColumns, kSpacing);
  EXPECT_NEAR(larger.rms, 0.3, 1e-9);
  EXPECT_NEAR(larger.max, 0.3, 1e-9);
  EXPECT_EQ(larger.count, 8 * 13 + 9 * 12);
  // Pooled over views, the RMS is over every distance, not the mean of the views' RMS values.
  const SpacingErrors pooled = dotcal::PooledSpacing({{1.0, 2.0, 1}, {0.0, 0.0, 3}});
  EXPECT_DOUBLE_EQ(pooled.rms, 0.5);
  EXPECT_DOUBLE_EQ(pooled.max, 2.0);
  EXPECT_EQ(pooled.count, 4);
  CheckFigures a, b;
  a.epipolarRms = 1.0;
  a.dots = 1;
  b.epipolarRms = 0.0;
  b.dots = 3;
  EXPECT_DOUBLE_EQ(dotcal::PooledFigures({a, b}).epipolarRms, 0.5);
}

TEST(CalibrationCheck, TheEpipolarErrorIsJudgedBeforeTheSpacing) {
  const dotcal::CheckLimits limits{0.2, 0.2};
  const auto judge = [&](double spacingRms, double epipolarRms) {
    CheckFigures figures;
    figures.spacing.rms = spacingRms;
    figures.epipolarRms = epipolarRms;
    return dotcal::JudgeFigures(figures, limits);
  };
  EXPECT_EQ(judge(0.2, 0.2), CheckVerdict::kFits);  // at the limits
  EXPECT_EQ(judge(0.0, 0.21), CheckVerdict::kRigMoved);
  EXPECT_EQ(judge(0.5, 2.0), CheckVerdict::kRigMoved);  // a moved rig spoils the spacing too
  EXPECT_EQ(judge(0.21, 0.0), CheckVerdict::kIntrinsicsChanged);
  EXPECT_EQ(judge(NAN, 0.0), CheckVerdict::kIntrinsicsChanged);  // no figure never fits
  EXPECT_EQ(judge(0.0, NAN), CheckVerdict::kRigMoved);
}

}  // namespace
