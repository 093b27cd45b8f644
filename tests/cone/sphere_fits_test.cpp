#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Cone.h"
#include "cone/SphereFits.h"
#include "synth/PointScenes.h"

namespace detail = Oskelo::CV::Native64::detail;
using Oskelo::CV::Native64::Cone;

namespace {

struct Sphere {
  cv::Point3d centre;
  double radius;
};

const int kMethods[] = {detail::kFitHyper, detail::kFitIterative, detail::kFitPratt,
                        detail::kFitTaubin};
const char* MethodName(int method) {
  static const char* names[] = {"hyper", "iterative", "Pratt", "Taubin"};
  return names[method];
}

// One fit, run through the same steps as the object's dispatcher: centre the points, solve for the
// coefficients, turn them into centre and radius.
Sphere Fit(int method, const std::vector<cv::Point3d>& points,
           detail::AlgebraicFitTrace* trace = nullptr) {
  Sphere s{};
  if (method == detail::kFitIterative) {
    detail::FitIterativeSphere(points, s.centre, s.radius);
    return s;
  }
  cv::Mat delta, deltaMag2, coefficients;
  const cv::Scalar mean = detail::CentrePoints(cv::Mat(points), delta, deltaMag2);
  if (method == detail::kFitHyper)
    detail::FitHyperCoefficients(deltaMag2, delta, coefficients, trace);
  if (method == detail::kFitPratt)
    detail::FitPrattCoefficients(deltaMag2, delta, coefficients, trace);
  if (method == detail::kFitTaubin) detail::FitTaubinCoefficients(deltaMag2, delta, coefficients);
  cv::Scalar centre;
  detail::SphereFromCoefficients(coefficients, mean, centre, s.radius);
  s.centre = {centre[0], centre[1], centre[2]};
  return s;
}

const cv::Point3d kCentre(1, 2, 3);
constexpr double kRadius = 10.0;

TEST(SphereFits, ExactPointsGiveTheSphereAndHyperAndPrattTakeTheSingularBranch) {
  std::mt19937_64 rng(1);
  const std::vector<cv::Point3d> points = synth::SpherePoints(kCentre, kRadius, 200, 180, 0, rng);
  // Double rounding (1e-16) amplified by the iterative fit's raw third-order moments (about 1e3
  // for coordinates near 10) and the SVD's conditioning: far below 1e-9.
  constexpr double kTol = 1e-9;
  for (int method : kMethods) {
    SCOPED_TRACE(MethodName(method));
    detail::AlgebraicFitTrace trace;
    const Sphere s = Fit(method, points, &trace);
    EXPECT_LT(cv::norm(s.centre - kCentre), kTol);
    EXPECT_NEAR(s.radius, kRadius, kTol);
    if (method == detail::kFitHyper || method == detail::kFitPratt) {
      EXPECT_TRUE(trace.singular);
    }
  }

  // The minimal cases: five points for the hyper and Pratt fits, four for the others.
  for (int method : kMethods) {
    SCOPED_TRACE(MethodName(method));
    const std::vector<cv::Point3d> few(points.begin(),
                                       points.begin() + detail::MinimumSpherePoints(method));
    const Sphere s = Fit(method, few);
    EXPECT_LT(cv::norm(s.centre - kCentre), 1e-6);  // few points: condition up to 1e6
    EXPECT_NEAR(s.radius, kRadius, 1e-6);
  }
}

TEST(SphereFits, NoisyPointsAgreeWithinTheNoiseAndTakeTheEigenBranch) {
  constexpr double kSigma = 0.05;
  constexpr int kCount = 200;
  // Centre error of a full-sphere fit: sigma * sqrt(3 / n) = 0.006 in 3-D; radius error
  // sigma / sqrt(n) = 0.0035. Five standard deviations each.
  constexpr double kCentreTol = 5 * kSigma * 0.1225;
  constexpr double kRadiusTol = 5 * kSigma * 0.0707;
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    std::mt19937_64 rng(seed);
    const auto points = synth::SpherePoints(kCentre, kRadius, kCount, 180, kSigma, rng);
    for (int method : kMethods) {
      SCOPED_TRACE(MethodName(method));
      detail::AlgebraicFitTrace trace;
      const Sphere s = Fit(method, points, &trace);
      EXPECT_LT(cv::norm(s.centre - kCentre), kCentreTol);
      EXPECT_NEAR(s.radius, kRadius, kRadiusTol);
      if (method != detail::kFitHyper && method != detail::kFitPratt) continue;
      ASSERT_FALSE(trace.singular);
      // The constraint matrix has one negative eigenvalue, so exactly one eigenvalue of
      // W N^-1 W is negative; the chosen one is the smallest of the others.
      int negative = 0;
      for (int i = 0; i < trace.eigenvalues.rows; ++i)
        negative += trace.eigenvalues.at<double>(i) < 0;
      EXPECT_EQ(negative, 1);
      const double chosen = trace.eigenvalues.at<double>(trace.chosen);
      EXPECT_GE(chosen, 0.0);
      for (int i = 0; i < trace.eigenvalues.rows; ++i) {
        const double v = trace.eigenvalues.at<double>(i);
        if (v >= 0) {
          EXPECT_LE(chosen, v);
        }
      }
    }
  }
}

TEST(SphereFits, ScaleAndTranslationCarryOverToTheResult) {
  std::mt19937_64 rng(7);
  const auto points = synth::SpherePoints(kCentre, kRadius, 60, 60, 0.05, rng);
  constexpr double kScale = 1000.0;
  const cv::Point3d kShift(250.0, -400.0, 75.0);
  std::vector<cv::Point3d> scaled, shifted;
  for (const cv::Point3d& p : points) {
    scaled.push_back(p * kScale);
    shifted.push_back(p + kShift);
  }
  // Relative tolerance: the fits' own rounding (well below 1e-9 relative), amplified up to about
  // 1e3 by the cap's conditioning.
  constexpr double kRelTol = 1e-7;
  for (int method : kMethods) {
    SCOPED_TRACE(MethodName(method));
    const Sphere s = Fit(method, points);
    const Sphere big = Fit(method, scaled);
    const Sphere moved = Fit(method, shifted);
    EXPECT_LT(cv::norm(big.centre - s.centre * kScale), kRelTol * kScale * kRadius);
    EXPECT_NEAR(big.radius, s.radius * kScale, kRelTol * kScale * kRadius);
    EXPECT_LT(cv::norm(moved.centre - (s.centre + kShift)), kRelTol * cv::norm(kShift));
    EXPECT_NEAR(moved.radius, s.radius, kRelTol * cv::norm(kShift));
  }
}

// Short arcs, where the fits differ: points on a cap of half-angle 30 degrees with strong noise.
// The hyper fit has no essential bias; Pratt and Taubin overestimate the radius by terms of order
// sigma^2 / R (Pratt about twice as much as Taubin), and the iterative fit minimises Kasa's
// objective, which underestimates it heavily. The fits run on the same points, so the differences
// of their radii show these biases free of the sampling scatter that the errors themselves carry.
TEST(SphereFits, ShortArcsCompareTheFits) {
  constexpr int kSeeds = 200;
  constexpr int kCount = 40;
  constexpr double kCapDeg = 30.0;
  constexpr double kSigma = 0.2;
  double centreSq[4] = {}, radiusSq[4] = {}, radiusBias[4] = {};
  for (int seed = 1; seed <= kSeeds; ++seed) {
    std::mt19937_64 rng(1000 + seed);
    const auto points = synth::SpherePoints(kCentre, kRadius, kCount, kCapDeg, kSigma, rng);
    for (int method : kMethods) {
      const Sphere s = Fit(method, points);
      centreSq[method] += std::pow(cv::norm(s.centre - kCentre), 2) / kSeeds;
      radiusSq[method] += std::pow(s.radius - kRadius, 2) / kSeeds;
      radiusBias[method] += (s.radius - kRadius) / kSeeds;
    }
  }
  for (int method : kMethods) {
    std::printf(
        "30-degree cap, sigma %.2f, %d points, %d seeds: %-9s centre RMS error %.4f, "
        "radius RMS error %.4f, radius bias %+.4f\n",
        kSigma, kCount, kSeeds, MethodName(method), std::sqrt(centreSq[method]),
        std::sqrt(radiusSq[method]), radiusBias[method]);
  }
  const double prattExcess = radiusBias[detail::kFitPratt] - radiusBias[detail::kFitHyper];
  const double taubinExcess = radiusBias[detail::kFitTaubin] - radiusBias[detail::kFitHyper];
  EXPECT_GT(taubinExcess, 0.0);
  EXPECT_GT(prattExcess, taubinExcess);
  // Both excesses are of order sigma^2 / R = 0.004.
  EXPECT_LT(prattExcess, 10 * kSigma * kSigma / kRadius);
  // Kasa's underestimate, of order the radius error itself.
  EXPECT_LT(radiusBias[detail::kFitIterative], radiusBias[detail::kFitHyper] - 0.5);
}

TEST(SphereFits, ObjectDispatchesOnFitMethod) {
  // On a short noisy arc the four fits give four different centres; Calibrate() with a single
  // track makes the pivot that track's sphere centre, so each method must reproduce its own fit.
  std::mt19937_64 rng(11);
  Cone cone;
  cone.markerTracks = {synth::SpherePoints(kCentre, kRadius, 40, 30, 0.2, rng)};
  for (int method : kMethods) {
    SCOPED_TRACE(MethodName(method));
    cone.fitMethod = method;
    cone.Calibrate();
    const Sphere s = Fit(method, cone.markerTracks[0]);
    EXPECT_EQ(cone.pivot, s.centre);
  }
}

TEST(SphereFits, RefuseBrokenInput) {
  cv::Mat delta(6, 3, CV_64F, cv::Scalar(1)), deltaMag2(5, 1, CV_64F, cv::Scalar(1)), coefficients;
  try {
    detail::FitHyperCoefficients(deltaMag2, delta, coefficients);
    ADD_FAILURE() << "row mismatch accepted";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err, "deltaMag2.rows == pnts");
  }
  try {
    detail::FitPrattCoefficients(deltaMag2, delta, coefficients);
    ADD_FAILURE() << "row mismatch accepted";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.err, "deltaMag2.rows == pnts");
  }
  // Four points for a five-coefficient fit, three for Taubin's four.
  EXPECT_THROW(
      detail::FitHyperCoefficients(deltaMag2.rowRange(0, 4), delta.rowRange(0, 4), coefficients),
      cv::Exception);
  EXPECT_THROW(
      detail::FitTaubinCoefficients(deltaMag2.rowRange(0, 3), delta.rowRange(0, 3), coefficients),
      cv::Exception);
  EXPECT_TRUE(coefficients.empty());
  EXPECT_THROW(detail::MinimumSpherePoints(4), cv::Exception);
  EXPECT_THROW(detail::MinimumSpherePoints(-1), cv::Exception);
}

}  // namespace
