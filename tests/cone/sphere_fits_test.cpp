#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "cone/SphereFits.h"
#include "native64/Cone.h"
#include "synth/PointScenes.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

struct Sphere {
  cv::Point3d centre;
  double radius;
  bool singular;  // hyper and Pratt: took the null vector of the design matrix
};

const int kMethods[] = {detail::kFitHyper, detail::kFitIterative, detail::kFitPratt,
                        detail::kFitTaubin};
const char* const kNames[] = {"hyper", "iterative", "Pratt", "Taubin"};
const cv::Point3d kCentre(1, 2, 3);
constexpr double kRadius = 10.0;

// One fit through the steps of the object's dispatcher: centre, coefficients, sphere.
Sphere Fit(int method, const std::vector<cv::Point3d>& points) {
  Sphere s{{}, 0, false};
  if (method == detail::kFitIterative) {
    detail::FitIterativeSphere(points, s.centre, s.radius);
    return s;
  }
  cv::Mat delta, deltaMag2, coefficients;
  const cv::Scalar mean = detail::CentrePoints(cv::Mat(points), delta, deltaMag2);
  detail::AlgebraicFitTrace trace;
  if (method == detail::kFitTaubin) detail::FitTaubinCoefficients(deltaMag2, delta, coefficients);
  if (method == detail::kFitHyper) {
    detail::FitHyperCoefficients(deltaMag2, delta, coefficients, &trace);
  }
  if (method == detail::kFitPratt) {
    detail::FitPrattCoefficients(deltaMag2, delta, coefficients, &trace);
  }
  if (method != detail::kFitTaubin && !trace.singular) {
    // The constraint matrix has one negative eigenvalue, so W N^-1 W has exactly one; the chosen
    // eigenvalue is the smallest of the others.
    const cv::Mat_<double> values = trace.eigenvalues;
    EXPECT_EQ(std::count_if(values.begin(), values.end(), [](double v) { return v < 0; }), 1);
    for (double v : values) EXPECT_TRUE(v < 0 || values(trace.chosen) <= v);
  }
  cv::Scalar centre;
  detail::SphereFromCoefficients(coefficients, mean, centre, s.radius);
  s.centre = {centre[0], centre[1], centre[2]};
  s.singular = trace.singular;
  return s;
}

TEST(SphereFits, ExactAndNoisyPointsGiveTheSphere) {
  std::mt19937_64 rng(1);
  const auto exact = synth::SpherePoints(kCentre, kRadius, 200, 180, 0, rng);
  constexpr double kSigma = 0.05;
  const auto noisy = synth::SpherePoints(kCentre, kRadius, 200, 180, kSigma, rng);
  for (int method : kMethods) {
    SCOPED_TRACE(kNames[method]);
    // Exact: rounding (1e-16) amplified by the raw third-order moments of the iterative fit (1e3)
    // and the SVD's conditioning stays far below 1e-9.
    const Sphere s = Fit(method, exact);
    EXPECT_LT(cv::norm(s.centre - kCentre), 1e-9);
    EXPECT_NEAR(s.radius, kRadius, 1e-9);
    // The minimal sets: five points for the hyper and Pratt fits, four for the others; their
    // conditioning can reach 1e6.
    const std::vector<cv::Point3d> few(exact.begin(),
                                       exact.begin() + detail::MinimumSpherePoints(method));
    EXPECT_LT(cv::norm(Fit(method, few).centre - kCentre), 1e-6);
    // Noisy, 200 points over the sphere: standard errors sigma * sqrt(3 / 200) for the centre and
    // sigma / sqrt(200) for the radius; five of them bound the error.
    const Sphere n = Fit(method, noisy);
    EXPECT_LT(cv::norm(n.centre - kCentre), 5 * kSigma * std::sqrt(3.0 / 200));
    EXPECT_NEAR(n.radius, kRadius, 5 * kSigma / std::sqrt(200.0));
    if (method == detail::kFitHyper || method == detail::kFitPratt) {
      EXPECT_TRUE(s.singular);
      EXPECT_FALSE(n.singular);
    }
  }
}

TEST(SphereFits, ScaleAndTranslationCarryOverToTheResult) {
  std::mt19937_64 rng(7);
  const auto points = synth::SpherePoints(kCentre, kRadius, 60, 60, 0.05, rng);
  constexpr double kScale = 1000.0;
  const cv::Point3d kShift(250.0, -400.0, 75.0);
  std::vector<cv::Point3d> scaled, shifted;
  for (const cv::Point3d& p : points) scaled.push_back(p * kScale), shifted.push_back(p + kShift);
  // The fits' rounding (below 1e-9 relative) amplified up to 1e2 by the 60-degree cap.
  constexpr double kRelTol = 1e-7;
  for (int method : kMethods) {
    SCOPED_TRACE(kNames[method]);
    const Sphere s = Fit(method, points), big = Fit(method, scaled), moved = Fit(method, shifted);
    EXPECT_LT(cv::norm(big.centre - s.centre * kScale), kRelTol * kScale * kRadius);
    EXPECT_NEAR(big.radius, s.radius * kScale, kRelTol * kScale * kRadius);
    EXPECT_LT(cv::norm(moved.centre - (s.centre + kShift)), kRelTol * cv::norm(kShift));
    EXPECT_NEAR(moved.radius, s.radius, kRelTol * cv::norm(kShift));
  }
}

// Short arcs: a cap of half-angle 30 degrees with strong noise. The hyper fit has no essential
// bias; Pratt and Taubin overestimate the radius by terms of order sigma^2 / R (Pratt about twice
// as much), and the iterative fit minimises Kasa's objective, which underestimates it heavily. The
// fits share their points, so the differences of their radii show the biases free of sampling
// scatter.
TEST(SphereFits, ShortArcsCompareTheFits) {
  constexpr int kSeeds = 200, kCount = 40;
  constexpr double kSigma = 0.2;
  double centreSq[4] = {}, radiusBias[4] = {};
  for (int seed = 1; seed <= kSeeds; ++seed) {
    std::mt19937_64 rng(1000 + seed);
    const auto points = synth::SpherePoints(kCentre, kRadius, kCount, 30, kSigma, rng);
    for (int method : kMethods) {
      const Sphere s = Fit(method, points);
      centreSq[method] += std::pow(cv::norm(s.centre - kCentre), 2) / kSeeds;
      radiusBias[method] += (s.radius - kRadius) / kSeeds;
    }
  }
  for (int method : kMethods) {
    std::printf(
        "30-degree cap, sigma %.2f, %d points, %d seeds: %-9s centre RMS error %.4f, "
        "radius bias %+.4f\n",
        kSigma, kCount, kSeeds, kNames[method], std::sqrt(centreSq[method]), radiusBias[method]);
  }
  const double prattExcess = radiusBias[detail::kFitPratt] - radiusBias[detail::kFitHyper];
  const double taubinExcess = radiusBias[detail::kFitTaubin] - radiusBias[detail::kFitHyper];
  EXPECT_GT(taubinExcess, 0.0);
  EXPECT_GT(prattExcess, taubinExcess);
  EXPECT_LT(prattExcess, 10 * kSigma * kSigma / kRadius);  // of order sigma^2 / R
  EXPECT_LT(radiusBias[detail::kFitIterative], radiusBias[detail::kFitHyper] - 0.5);
}

TEST(SphereFits, ObjectDispatchesOnFitMethod) {
  // On a short noisy arc the four fits differ; Calibrate() on one track puts the pivot on that
  // track's sphere centre, so each method must reproduce its own fit.
  std::mt19937_64 rng(11);
  Oskelo::CV::Native64::Cone cone;
  cone.markerTracks = {synth::SpherePoints(kCentre, kRadius, 40, 30, 0.2, rng)};
  // A new object fits with the hyper fit and reports angles in order 1 (Rx * Ry * Rz).
  EXPECT_EQ(cone.fitMethod, 0);
  EXPECT_EQ(cone.eulerOrder, 1);
  cone.Calibrate();
  EXPECT_EQ(cone.pivot, Fit(0, cone.markerTracks[0]).centre);
  for (int method : kMethods) {
    cone.fitMethod = method;
    cone.Calibrate();
    EXPECT_EQ(cone.pivot, Fit(method, cone.markerTracks[0]).centre) << kNames[method];
  }
}

TEST(SphereFits, RefuseBrokenInput) {
  const cv::Mat delta(6, 3, CV_64F, cv::Scalar(1)), deltaMag2(5, 1, CV_64F, cv::Scalar(1));
  cv::Mat coefficients;
  for (auto fit : {&detail::FitHyperCoefficients, &detail::FitPrattCoefficients}) {
    try {
      fit(deltaMag2, delta, coefficients, nullptr);
      ADD_FAILURE() << "row mismatch accepted";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.err, "deltaMag2.rows == pnts");
    }
    // Four points for five coefficients.
    EXPECT_THROW(fit(deltaMag2.rowRange(0, 4), delta.rowRange(0, 4), coefficients, nullptr),
                 cv::Exception);
  }
  EXPECT_THROW(
      detail::FitTaubinCoefficients(deltaMag2.rowRange(0, 3), delta.rowRange(0, 3), coefficients),
      cv::Exception);
  EXPECT_TRUE(coefficients.empty());
  EXPECT_THROW(detail::MinimumSpherePoints(4), cv::Exception);
  EXPECT_THROW(detail::MinimumSpherePoints(-1), cv::Exception);
}

// A NaN or infinite coordinate (found by valgrind: cv::eigen leaves its outputs unwritten for a
// NaN matrix, and the fit read them): the hyper and Pratt fits skip the decomposition and every
// coefficient, hence centre and radius, is NaN.
TEST(SphereFits, NonFinitePointsGiveNaNWithoutDecomposing) {
  std::mt19937_64 rng(31);
  for (const double bad : {std::nan(""), HUGE_VAL}) {
    std::vector<cv::Point3d> points = synth::SpherePoints(kCentre, kRadius, 12, 180.0, 0.1, rng);
    points[3].y = bad;
    cv::Mat delta, deltaMag2;
    const cv::Scalar mean = detail::CentrePoints(cv::Mat(points), delta, deltaMag2);
    for (auto fit : {&detail::FitHyperCoefficients, &detail::FitPrattCoefficients}) {
      cv::Mat coefficients;
      detail::AlgebraicFitTrace trace;
      trace.chosen = 7;
      fit(deltaMag2, delta, coefficients, &trace);
      EXPECT_EQ(trace.chosen, -1);  // neither branch was taken
      EXPECT_TRUE(trace.eigenvalues.empty());
      ASSERT_EQ(coefficients.rows, 5);
      for (int i = 0; i < 5; ++i) EXPECT_TRUE(std::isnan(coefficients.at<double>(i))) << i;
      cv::Scalar centre;
      double radius = 0.0;
      detail::SphereFromCoefficients(coefficients, mean, centre, radius);
      EXPECT_TRUE(std::isnan(centre[0]) && std::isnan(radius));
    }
  }
}

}  // namespace
