#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>

#include "calibration/known_rig.h"
#include "native64/Calibration.h"
#include "native64/CalibrationUncertainty.h"
#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::CalibrationUncertainty;
using Oskelo::CV::Native64::EstimateCalibrationUncertainty;

namespace {

// One rig and one series of plate poses, calibrated from the dots' exact projections plus
// Gaussian noise of another seed each time: what repeating a calibration with the same views
// would give. 20 seeds estimate a spread to about 1 / sqrt(2 * 19) = 16 % (one sigma), well inside
// the factor 1.5 the reported sigmas must match.
constexpr int kPairs = 10;
constexpr std::uint64_t kSeriesSeed = 21;
constexpr int kSeeds = 20;
constexpr double kNoisePx = 0.05;  // per coordinate
constexpr double kHonestFactor = 1.5;

using Lists = std::vector<std::vector<cv::Point2d>>;

struct Series {
  synth::StereoRig rig = synth::StereoRig::Default();
  Lists left, right;  // exact projections of the dot centres
};

const Series& TheSeries() {
  static const Series series = [] {
    Series s;
    for (const synth::PlacedTarget& pose : synth::CalibrationSeries(s.rig, kPairs, kSeriesSeed)) {
      for (const auto& [camera, lists] :
           {std::pair{&s.rig.left, &s.left}, std::pair{&s.rig.right, &s.right}}) {
        lists->emplace_back();
        for (const synth::DotTruth& t : synth::DotTruths(*camera, pose)) {
          lists->back().push_back(t.projectedCentre);
        }
      }
    }
    return s;
  }();
  return series;
}

void AddNoise(Lists& lists, cv::RNG& rng) {
  for (auto& list : lists) {
    for (cv::Point2d& p : list) p += cv::Point2d(rng.gaussian(kNoisePx), rng.gaussian(kNoisePx));
  }
}

// Mean and sample standard deviation.
struct Spread {
  double sum = 0.0, squares = 0.0;
  int n = 0;
  void Add(double x) {
    sum += x;
    squares += x * x;
    ++n;
  }
  double Mean() const { return sum / n; }
  double StdDev() const { return std::sqrt((squares - sum * sum / n) / (n - 1)); }
};

// The reported sigma of a quantity (averaged over the seeds) against the spread of its estimates.
struct Check {
  const char* name;
  Spread estimates, reported;
};

TEST(CalibrationUncertainty, ReportedSigmasMatchTheSpreadOverSeeds) {
  const Series& s = TheSeries();
  Check checks[] = {{"fx left", {}, {}},
                    {"fy left", {}, {}},
                    {"fx right", {}, {}},
                    {"fy right", {}, {}},
                    {"baseline", {}, {}}};
  Spread noise;
  // A new pair of a point at the plates' median depth on the left image's centre ray,
  // triangulated with each seed's calibration from its noisy images.
  Check point{"point at centre", {}, {}};
  cv::RNG rng(7);
  for (int seed = 0; seed < kSeeds; ++seed) {
    Calibration calibration;
    calibration.leftTargets = s.left;
    calibration.rightTargets = s.right;
    AddNoise(calibration.leftTargets, rng);
    AddNoise(calibration.rightTargets, rng);
    calibration.ComputeStereoCalibration();
    const CalibrationUncertainty u = EstimateCalibrationUncertainty(calibration);
    ASSERT_EQ(u.views, kPairs);
    noise.Add(u.centreNoisePx);

    const cv::Matx33d kl(calibration.parameters.cameraMatrixLeft);
    const cv::Matx33d kr(calibration.parameters.cameraMatrixRight);
    const double values[] = {kl(0, 0), kl(1, 1), kr(0, 0), kr(1, 1),
                             cv::norm(calibration.parameters.translation)};
    const double sigmas[] = {u.left[0], u.left[1], u.right[0], u.right[1], u.baseline};
    for (int k = 0; k < 5; ++k) {
      checks[k].estimates.Add(values[k]);
      checks[k].reported.Add(sigmas[k]);
    }

    // The true point, seen by the true rig with fresh noise; triangulated into the rectified left
    // frame and turned back into the left camera's.
    const cv::Point3d truth = u.atCentre.point;
    const cv::Point2d noisy(rng.gaussian(kNoisePx), rng.gaussian(kNoisePx));
    const cv::Point2d noisyRight(rng.gaussian(kNoisePx), rng.gaussian(kNoisePx));
    std::vector<cv::Point3d> points;
    calibration.Triangulate({s.rig.left.Project(truth) + noisy},
                            {s.rig.right.Project(truth) + noisyRight}, points);
    const cv::Vec3d inLeft =
        cv::Matx33d(calibration.parameters.rectificationLeft).t() * cv::Vec3d(points[0]);
    point.estimates.Add(cv::norm(inLeft - cv::Vec3d(truth)));
    point.reported.Add(u.atCentre.total);
  }

  EXPECT_NEAR(noise.Mean(), kNoisePx, 0.05 * kNoisePx);  // 5616 residuals: within a few %
  for (const Check& c : checks) {
    const double ratio = c.estimates.StdDev() / c.reported.Mean();
    std::printf("%-9s spread %.5f, reported sigma %.5f, ratio %.2f\n", c.name, c.estimates.StdDev(),
                c.reported.Mean(), ratio);
    EXPECT_LT(ratio, kHonestFactor) << c.name;
    EXPECT_GT(ratio, 1.0 / kHonestFactor) << c.name;
  }
  // The RMS distance of the triangulated points from the truth is the reported total.
  const double rms = std::sqrt(point.estimates.squares / point.estimates.n);
  std::printf("point at the centre: error RMS %.4f, reported %.4f, ratio %.2f\n", rms,
              point.reported.Mean(), rms / point.reported.Mean());
  EXPECT_LT(rms / point.reported.Mean(), kHonestFactor);
  EXPECT_GT(rms / point.reported.Mean(), 1.0 / kHonestFactor);
}

TEST(CalibrationUncertainty, GrowsWithTheNoiseAndTowardTheCorners) {
  // The rig held at its truth and the centres given noise: the parameters' sigmas scale with the
  // noise (the normal equations stay the same to first order).
  const Series& s = TheSeries();
  Calibration calibration;
  SetKnownCalibration(calibration, s.rig);
  calibration.leftTargets = s.left;
  calibration.rightTargets = s.right;
  cv::RNG rng(3);
  AddNoise(calibration.leftTargets, rng);
  AddNoise(calibration.rightTargets, rng);
  const CalibrationUncertainty once = EstimateCalibrationUncertainty(calibration);
  AddNoise(calibration.leftTargets, rng);  // now sqrt(2) * kNoisePx
  AddNoise(calibration.rightTargets, rng);
  const CalibrationUncertainty twice = EstimateCalibrationUncertainty(calibration);
  // The residual sigma estimates to about 1 % from 4680 residuals.
  EXPECT_NEAR(twice.centreNoisePx / once.centreNoisePx, std::sqrt(2.0), 0.05);
  EXPECT_NEAR(twice.left[0] / once.left[0], twice.centreNoisePx / once.centreNoisePx, 0.01);
  EXPECT_NEAR(twice.baseline / once.baseline, twice.centreNoisePx / once.centreNoisePx, 0.01);

  // The working volume: plates about 0.6 of the image height across at f 1500 px lie near 1 m; a
  // corner ray, farther from the views' centre of mass and farther off the optical axis, is
  // less well known than the centre ray.
  EXPECT_GT(once.medianDistance, 500.0);
  EXPECT_LT(once.medianDistance, 2000.0);
  EXPECT_NEAR(once.atCentre.point.z, once.medianDistance, 1e-9);
  EXPECT_GT(once.atCorner.total, once.atCentre.total);
  // Depth is the worst-determined axis of a stereo point.
  EXPECT_GT(once.atCentre.sigma[2], once.atCentre.sigma[0]);
}

TEST(CalibrationUncertainty, RefusesAnUncalibratedObject) {
  const Series& s = TheSeries();
  Calibration calibration;  // zero parameters
  calibration.leftTargets = s.left;
  calibration.rightTargets = s.right;
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);
  SetKnownCalibration(calibration, s.rig);
  calibration.leftTargets.clear();
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);
}

}  // namespace
