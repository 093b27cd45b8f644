// Where the accepted dots fell: the calibration series cover the outer fifth of both images
// toward every corner, a series of plates held near the middle does not, and the warnings say
// which corners.
#include "reports/Coverage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"
#include "synth/Target.h"

namespace {

using Views = std::vector<std::vector<cv::Point2d>>;

// The plate's dots in each view, as `camera` sees them.
Views Projected(const synth::Camera& camera, const std::vector<synth::PlacedTarget>& poses) {
  Views views;
  for (const synth::PlacedTarget& pose : poses) {
    views.emplace_back();
    for (const cv::Point2d& dot : pose.target.dots) {
      views.back().push_back(camera.Project(synth::TargetToWorld(pose, dot)));
    }
  }
  return views;
}

TEST(Coverage, TheSeriesReachEveryCornerAndAPlateHeldInTheMiddleDoesNot) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const cv::Size size(1248, 1082);
  // The default series of `dotcal render`: 15 pairs, seed 1.
  const auto poses = synth::CalibrationSeries(rig, 15, 1);
  for (const synth::Camera* camera : {&rig.left, &rig.right}) {
    const dotcal::Coverage coverage = dotcal::MeasureCoverage(size, Projected(*camera, poses));
    for (const std::string& w : dotcal::CoverageWarnings(coverage, "either")) ADD_FAILURE() << w;
  }

  // Eight views of the plate 1.1 m away, tilted up to 30 degrees, never more than 150 px from the
  // image's centre: its dots reach about 350 px out, short of the outer fifth (500 px wide of
  // centre, 430 px high).
  std::vector<synth::PlacedTarget> middle;
  for (int k = 0; k < 8; ++k) {
    const double tilt = k % 2 == 0 ? 30.0 : -30.0;
    middle.push_back(synth::PlaceInView(synth::Target::CalibrationPlate(), rig.left,
                                        {624.0 + 150.0 * ((k / 2) % 2 ? 1 : -1), 541.0}, 1100.0,
                                        15.0 * k, k < 4 ? tilt : 0.0, k < 4 ? 0.0 : tilt));
  }
  const dotcal::Coverage coverage = dotcal::MeasureCoverage(size, Projected(rig.left, middle));
  EXPECT_EQ(coverage.dots.size(), 8u * 117u);
  const std::vector<std::string> warnings = dotcal::CoverageWarnings(coverage, "left");
  ASSERT_EQ(warnings.size(), 4u);
  EXPECT_NE(warnings[0].find("left camera"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("top-left corner"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[2].find("bottom-right corner"), std::string::npos) << warnings[2];

  // One dot in the outer fifth toward the top-right corner (and one just inside its border,
  // which does not count) silences that corner's warning alone.
  Views views = Projected(rig.left, middle);
  views.push_back(
      {{1248 - 1 - 0.05 * 1248, 20.0}, {624.0 + 0.4 * 1248 - 1.0, 541.0 - 0.4 * 1082 + 1.0}});
  const dotcal::Coverage more = dotcal::MeasureCoverage(size, views);
  EXPECT_EQ(more.outerDots[1], 1);
  EXPECT_EQ(dotcal::CoverageWarnings(more, "left").size(), 3u);
  EXPECT_FALSE(dotcal::DrawCoverage(more).empty());
}

}  // namespace
