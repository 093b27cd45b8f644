#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "native64/Calibration.h"
#include "native64/CentreBias.h"
#include "native64/UnbiasedCalibration.h"
#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::CalibrateUnbiased;
using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::CalibrationParameters;
using Oskelo::CV::Native64::UnbiasedCalibrationOptions;
using Oskelo::CV::Native64::UnbiasedCalibrationResult;

namespace {

// 15 plate pairs of the calibration plate through the default rig (tilts up to 35 degrees), the
// "measured" centres synth's exact area centroids, as an unbiased measurement of the outline sees
// them, with and without Gaussian noise.
constexpr int kPairs = 15;
constexpr std::uint64_t kSeriesSeed = 11;
constexpr double kNoisePx = 0.005;  // per coordinate; the refined detector's figure
constexpr std::uint64_t kNoiseSeed = 5;

using Lists = std::vector<std::vector<cv::Point2d>>;

struct Series {
  synth::StereoRig rig = synth::StereoRig::Default();
  Lists leftArea, rightArea, leftProjected, rightProjected;
};

const Series& TheSeries() {
  static const Series series = [] {
    Series s;
    for (const synth::PlacedTarget& pose : synth::CalibrationSeries(s.rig, kPairs, kSeriesSeed)) {
      for (const auto& [camera, area, projected] :
           {std::tuple{&s.rig.left, &s.leftArea, &s.leftProjected},
            std::tuple{&s.rig.right, &s.rightArea, &s.rightProjected}}) {
        area->emplace_back();
        projected->emplace_back();
        for (const synth::DotTruth& t : synth::DotTruths(*camera, pose)) {
          area->back().push_back(t.areaCentroid);
          projected->back().push_back(t.projectedCentre);
        }
      }
    }
    return s;
  }();
  return series;
}

Lists WithNoise(Lists lists, std::uint64_t seed) {
  cv::RNG rng(seed);
  for (auto& list : lists) {
    for (cv::Point2d& p : list) p += cv::Point2d(rng.gaussian(kNoisePx), rng.gaussian(kNoisePx));
  }
  return lists;
}

// A calibration object that accepted the given lists, as ExtractPair would have appended them.
Calibration CalibrationOf(const Lists& left, const Lists& right) {
  Calibration calibration;
  calibration.leftTargets = left;
  calibration.rightTargets = right;
  return calibration;
}

// Errors against the rig: fx, fy, cx, cy of both cameras (px) and the baseline (mm).
struct Errors {
  double fx[2], fy[2], cx[2], cy[2], baseline;
  double MaxFocal() const {
    return std::max({std::abs(fx[0]), std::abs(fx[1]), std::abs(fy[0]), std::abs(fy[1])});
  }
  double MaxPrincipal() const {
    return std::max({std::abs(cx[0]), std::abs(cx[1]), std::abs(cy[0]), std::abs(cy[1])});
  }
};

Errors ErrorsOf(const CalibrationParameters& p, const synth::StereoRig& rig) {
  Errors e{};
  const cv::Matx33d k[2] = {cv::Matx33d(p.cameraMatrixLeft), cv::Matx33d(p.cameraMatrixRight)};
  const cv::Matx33d truth[2] = {rig.left.K, rig.right.K};
  for (int c = 0; c < 2; ++c) {
    e.fx[c] = k[c](0, 0) - truth[c](0, 0);
    e.fy[c] = k[c](1, 1) - truth[c](1, 1);
    e.cx[c] = k[c](0, 2) - truth[c](0, 2);
    e.cy[c] = k[c](1, 2) - truth[c](1, 2);
  }
  e.baseline = cv::norm(p.translation) - cv::norm(rig.RightFromLeftT());
  return e;
}

void Print(const char* name, const Errors& e) {
  std::printf(
      "%-28s fx %+.4f %+.4f fy %+.4f %+.4f cx %+.4f %+.4f cy %+.4f %+.4f px, "
      "baseline %+.5f mm\n",
      name, e.fx[0], e.fx[1], e.fy[0], e.fy[1], e.cx[0], e.cx[1], e.cy[0], e.cy[1], e.baseline);
}

void PrintRounds(const UnbiasedCalibrationResult& r) {
  std::printf("rounds %d, converged %d, change per round:", r.rounds, r.converged ? 1 : 0);
  for (double c : r.changePerRound) std::printf(" %.2e", c);
  std::printf(" px; rms stereo %.5f -> %.5f px\n", r.measuredRmsStereo, r.rmsStereo);
}

// What the real chain should reach with refined centres (fx, fy; cx, cy; baseline): the driver
// must not be the limit, so it must meet them on exact area centroids.
constexpr double kFocalTargetPx = 0.02;
constexpr double kPrincipalTargetPx = 0.05;
constexpr double kBaselineTargetMm = 0.005;
// The correction must bring the calibration at least this many times closer to the truth (in the
// largest focal, principal point and baseline errors) on exact centres.
constexpr double kMinImprovement = 3.0;

TEST(CalibrateUnbiased, RecoversTheRigFromExactAreaCentroids) {
  const Series& s = TheSeries();
  Calibration calibration = CalibrationOf(s.leftArea, s.rightArea);
  const UnbiasedCalibrationResult result = CalibrateUnbiased(calibration, s.leftArea, s.rightArea);
  calibration.ComputeStereoCalibration();

  const Errors plain = ErrorsOf(calibration.parameters, s.rig);
  const Errors unbiased = ErrorsOf(result.parameters, s.rig);
  Calibration floor = CalibrationOf(s.leftProjected, s.rightProjected);
  floor.ComputeStereoCalibration();
  Print("ComputeStereoCalibration", plain);
  Print("CalibrateUnbiased", unbiased);
  Print("plain on projected centres", ErrorsOf(floor.parameters, s.rig));
  PrintRounds(result);
  std::printf("improvement: focal %.1fx, principal point %.1fx, baseline %.1fx\n",
              plain.MaxFocal() / unbiased.MaxFocal(),
              plain.MaxPrincipal() / unbiased.MaxPrincipal(),
              std::abs(plain.baseline / unbiased.baseline));

  // The first calibration is ComputeStereoCalibration's, bit for bit.
  EXPECT_EQ(cv::norm(result.measuredParameters.cameraMatrixLeft,
                     calibration.parameters.cameraMatrixLeft, cv::NORM_INF),
            0.0);
  EXPECT_EQ(cv::norm(result.measuredParameters.translation, calibration.parameters.translation,
                     cv::NORM_INF),
            0.0);
  EXPECT_EQ(result.measuredRmsStereo, calibration.rmsStereo);

  EXPECT_LE(unbiased.MaxFocal(), kFocalTargetPx);
  EXPECT_LE(unbiased.MaxPrincipal(), kPrincipalTargetPx);
  EXPECT_LE(std::abs(unbiased.baseline), kBaselineTargetMm);
  EXPECT_GE(plain.MaxFocal(), kMinImprovement * unbiased.MaxFocal());
  EXPECT_GE(plain.MaxPrincipal(), kMinImprovement * unbiased.MaxPrincipal());
  EXPECT_GE(std::abs(plain.baseline), kMinImprovement * std::abs(unbiased.baseline));
  EXPECT_LT(result.rmsStereo, result.measuredRmsStereo);
}

// Centres that follow the outline model exactly (the projection plus OutlineCentreBias with the
// true camera and pose, as the edge-based refinement would measure them): the driver then
// recovers the rig as well as a plain calibration recovers it from the projections themselves
// (measured 0.00007 px in fx, fy, 0.00015 px in cx, cy, 0.00001 mm; that floor: 0.0001 px).
// Bounds 0.001 px and 0.0002 mm; on area centroids the 5e-5 px by which they miss the model
// under distortion leaves 0.0014 px.
constexpr double kModelTolPx = 0.001;
constexpr double kModelTolMm = 0.0002;

TEST(CalibrateUnbiased, RecoversTheRigExactlyFromCentresOfTheOutlineModel) {
  const Series& s = TheSeries();
  Lists left, right;
  for (const synth::PlacedTarget& pose : synth::CalibrationSeries(s.rig, kPairs, kSeriesSeed)) {
    for (const auto& [camera, lists] :
         {std::pair{&s.rig.left, &left}, std::pair{&s.rig.right, &right}}) {
      std::vector<cv::Point3d> centres;
      for (const cv::Point2d& d : pose.target.dots) centres.emplace_back(d.x, d.y, 0.0);
      const std::vector<cv::Point2d> bias = Oskelo::CV::Native64::OutlineCentreBias(
          cv::Mat(camera->K), cv::Mat(camera->distortion),
          camera->camera_from_world_R * pose.world_from_target_R,
          camera->camera_from_world_R * pose.world_from_target_t + camera->camera_from_world_t,
          centres, 0.5 * pose.target.dotDiameter);
      lists->emplace_back();
      for (std::size_t k = 0; k < centres.size(); ++k) {
        lists->back().push_back(camera->Project(synth::TargetToWorld(pose, pose.target.dots[k])) +
                                bias[k]);
      }
    }
  }
  const UnbiasedCalibrationResult result =
      CalibrateUnbiased(CalibrationOf(left, right), left, right);
  const Errors e = ErrorsOf(result.parameters, s.rig);
  Print("CalibrateUnbiased, model", e);
  EXPECT_LE(e.MaxFocal(), kModelTolPx);
  EXPECT_LE(e.MaxPrincipal(), kModelTolPx);
  EXPECT_LE(std::abs(e.baseline), kModelTolMm);
}

TEST(CalibrateUnbiased, ConvergesInAFewRoundsOnCentresThatApproachTheProjections) {
  const Series& s = TheSeries();
  const UnbiasedCalibrationResult result =
      CalibrateUnbiased(CalibrationOf(s.leftArea, s.rightArea), s.leftArea, s.rightArea);
  EXPECT_TRUE(result.converged);
  EXPECT_LE(result.rounds, 4);
  ASSERT_EQ(result.changePerRound.size(), static_cast<std::size_t>(result.rounds));
  for (std::size_t i = 1; i < result.changePerRound.size(); ++i) {
    EXPECT_LT(result.changePerRound[i], result.changePerRound[i - 1]) << i;
  }
  EXPECT_LT(result.changePerRound.back(), UnbiasedCalibrationOptions().tolerancePx);
  EXPECT_TRUE(result.uncorrectedLeft.empty());
  EXPECT_TRUE(result.uncorrectedRight.empty());

  // The corrected centres lie on the projections of the dots' centres, where the bias (up to
  // 0.05 px) put them off: left are the calibration's own residual errors.
  double before = 0.0, after = 0.0;
  for (int i = 0; i < kPairs; ++i) {
    for (std::size_t j = 0; j < s.leftArea[i].size(); ++j) {
      before = std::max(before, cv::norm(s.leftArea[i][j] - s.leftProjected[i][j]));
      after = std::max(after, cv::norm(result.leftTargets[i][j] - s.leftProjected[i][j]));
    }
  }
  std::printf("largest left centre error: measured %.4f px, corrected %.5f px\n", before, after);
  EXPECT_LT(after, before / 10);
}

// With noisy centres the calibration cannot be better than one from unbiased centres with the
// same noise (the projections plus the same draws); CalibrateUnbiased must come that close. The
// two differ by what the noise does to the poses and hence the corrections: measured up to
// 0.0015 px in fx, fy, cx, cy (as on exact centres: 0.0014) and 0.00005 mm in the baseline;
// bounds 0.004 px and 0.0005 mm.
constexpr double kFloorTolPx = 0.004;
constexpr double kFloorTolMm = 0.0005;

TEST(CalibrateUnbiased, ReachesTheNoiseFloorWithNoisyCentres) {
  const Series& s = TheSeries();
  const Lists left = WithNoise(s.leftArea, kNoiseSeed);
  const Lists right = WithNoise(s.rightArea, kNoiseSeed + 1);
  const UnbiasedCalibrationResult result =
      CalibrateUnbiased(CalibrationOf(left, right), left, right);
  Calibration floor = CalibrationOf(WithNoise(s.leftProjected, kNoiseSeed),
                                    WithNoise(s.rightProjected, kNoiseSeed + 1));
  floor.ComputeStereoCalibration();
  const Errors plain = ErrorsOf(result.measuredParameters, s.rig);
  const Errors unbiased = ErrorsOf(result.parameters, s.rig);
  const Errors best = ErrorsOf(floor.parameters, s.rig);
  Print("ComputeStereoCalibration", plain);
  Print("CalibrateUnbiased", unbiased);
  Print("plain on noisy projections", best);
  PrintRounds(result);
  EXPECT_TRUE(result.converged);
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(unbiased.fx[c], best.fx[c], kFloorTolPx) << c;
    EXPECT_NEAR(unbiased.fy[c], best.fy[c], kFloorTolPx) << c;
    EXPECT_NEAR(unbiased.cx[c], best.cx[c], kFloorTolPx) << c;
    EXPECT_NEAR(unbiased.cy[c], best.cy[c], kFloorTolPx) << c;
  }
  EXPECT_NEAR(unbiased.baseline, best.baseline, kFloorTolMm);
  // The bias (about 0.05 px in fx, 0.01 mm in the baseline) stands well above that noise floor.
  EXPECT_GT(plain.MaxFocal(), unbiased.MaxFocal());
  EXPECT_GT(std::abs(plain.baseline), std::abs(unbiased.baseline));
}

TEST(CalibrateUnbiased, LeavesTheCalibrationUntouched) {
  const Series& s = TheSeries();
  Calibration calibration = CalibrationOf(s.leftArea, s.rightArea);
  calibration.ComputeStereoCalibration();
  const cv::Mat k = calibration.parameters.cameraMatrixLeft.clone();
  const double rms = calibration.rmsStereo;
  UnbiasedCalibrationOptions options;
  options.maxRounds = 1;
  const UnbiasedCalibrationResult result =
      CalibrateUnbiased(calibration, s.leftArea, s.rightArea, options);
  EXPECT_EQ(result.rounds, 1);
  EXPECT_EQ(calibration.leftTargets, s.leftArea);
  EXPECT_EQ(calibration.rightTargets, s.rightArea);
  EXPECT_EQ(cv::norm(calibration.parameters.cameraMatrixLeft, k, cv::NORM_INF), 0.0);
  EXPECT_NE(result.parameters.cameraMatrixLeft.data, calibration.parameters.cameraMatrixLeft.data);
  EXPECT_EQ(calibration.rmsStereo, rms);
}

TEST(CalibrateUnbiased, WithoutRoundsIsThePlainCalibration) {
  const Series& s = TheSeries();
  UnbiasedCalibrationOptions options;
  options.maxRounds = 0;
  const UnbiasedCalibrationResult result =
      CalibrateUnbiased(CalibrationOf(s.leftArea, s.rightArea), s.leftArea, s.rightArea, options);
  EXPECT_EQ(result.rounds, 0);
  EXPECT_FALSE(result.converged);
  EXPECT_TRUE(result.changePerRound.empty());
  EXPECT_EQ(result.leftTargets, s.leftArea);
  EXPECT_EQ(cv::norm(result.parameters.cameraMatrixRight,
                     result.measuredParameters.cameraMatrixRight, cv::NORM_INF),
            0.0);
  EXPECT_EQ(result.rmsStereo, result.measuredRmsStereo);
}

TEST(CalibrateUnbiased, SkipsUnusablePairsAndReportsViewsItCannotCorrect) {
  const Series& s = TheSeries();
  Lists left = s.leftArea;
  left[2][7].x = std::numeric_limits<double>::quiet_NaN();  // pair 2 cannot take part
  Calibration calibration = CalibrationOf(left, s.rightArea);
  UnbiasedCalibrationOptions options;
  options.maxRounds = 2;
  UnbiasedCalibrationResult result = CalibrateUnbiased(calibration, left, s.rightArea, options);
  ASSERT_EQ(result.pairUsed.size(), static_cast<std::size_t>(kPairs));
  for (int i = 0; i < kPairs; ++i) EXPECT_EQ(result.pairUsed[i], i != 2) << i;
  EXPECT_TRUE(std::isnan(result.leftTargets[2][7].x));  // passed through, not corrected
  EXPECT_EQ(result.rightTargets[2], s.rightArea[2]);

  // Dots so large that their rims reach behind the camera: no view can be corrected, every used
  // one is reported, and the calibration stays the plain one.
  options.dotRadius = 1.0e6;
  result = CalibrateUnbiased(calibration, left, s.rightArea, options);
  EXPECT_EQ(result.uncorrectedLeft.size(), static_cast<std::size_t>(kPairs - 1));
  EXPECT_EQ(result.uncorrectedRight.size(), static_cast<std::size_t>(kPairs - 1));
  EXPECT_EQ(result.leftTargets[0], left[0]);
  EXPECT_EQ(result.changePerRound, std::vector<double>{0.0});
  EXPECT_TRUE(result.converged);
}

void ExpectRefusal(const Calibration& calibration, const Lists& left, const Lists& right,
                   const UnbiasedCalibrationOptions& options, const std::string& message) {
  try {
    CalibrateUnbiased(calibration, left, right, options);
    ADD_FAILURE() << "accepted; expected: " << message;
  } catch (const cv::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
  }
}

TEST(CalibrateUnbiased, RefusesBadInputs) {
  const Series& s = TheSeries();
  const Calibration calibration = CalibrationOf(s.leftArea, s.rightArea);
  const UnbiasedCalibrationOptions defaults;
  Lists fewer = s.leftArea;
  fewer.pop_back();
  ExpectRefusal(calibration, fewer, s.rightArea, defaults, "one list of centres per accepted pair");
  ExpectRefusal(calibration, s.leftArea, fewer, defaults, "one list of centres per accepted pair");
  Lists shorter = s.rightArea;
  shorter[4].pop_back();
  ExpectRefusal(calibration, s.leftArea, shorter, defaults, "right centres of pair 4 are 116");
  for (double radius :
       {-7.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    UnbiasedCalibrationOptions options;
    options.dotRadius = radius;
    ExpectRefusal(calibration, s.leftArea, s.rightArea, options, "dot radius must be finite");
  }
  Calibration noDiameter = CalibrationOf(s.leftArea, s.rightArea);  // its own settings record
  noDiameter.settings->dotDiameter = 0.0;
  ExpectRefusal(noDiameter, s.leftArea, s.rightArea, defaults, "dot radius must be finite");
  // No pair usable, and no pair at all: the refusal of ComputeStereoCalibration.
  Lists nan = s.leftArea;
  for (auto& list : nan) list[0].y = std::numeric_limits<double>::quiet_NaN();
  ExpectRefusal(calibration, nan, s.rightArea, defaults, "no accumulated image pair");
  ExpectRefusal(Calibration(), {}, {}, defaults, "no accumulated image pair");
}

}  // namespace
