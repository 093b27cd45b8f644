#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

// The library's one instantiation of the point-list container.
#include <vector>

#include "native64/ExportedTypes.h"

// Sphere fits behind Cone's private fit members and the free FitHyperSphere. The algebraic fits
// work in any dimension D (a circle for D = 2, a sphere for D = 3): they solve for the coefficients
// (A0, A1..AD, A(D+1)) of A0*|x|^2 + a.x + A(D+1) = 0 in coordinates centred on the points' mean,
// returned as a (D+2)x1 CV_64F column (any non-zero multiple is the same sphere).
namespace Oskelo::CV::Native64::detail {

// Values of Cone::fitMethod.
enum SphereFitMethod : int {
  kFitHyper = 0,
  kFitIterative = 1,
  kFitPratt = 2,
  kFitTaubin = 3,
};

// Ratio of the smallest to the largest singular value of the design matrix below which the hyper
// and Pratt fits take its null vector directly: the points lie on a sphere to rounding.
constexpr double kSingularRatio = 1e-12;

// Which way an algebraic fit with a constraint matrix went, and the eigenvalues it chose among.
struct AlgebraicFitTrace {
  bool singular = false;  // took the null vector of the design matrix (exact data)
  cv::Mat eigenvalues;    // regular branch: eigenvalues of W*Ninv*W, in descending order
  int chosen = -1;        // regular branch: index of the chosen eigenvalue
};

// Fewest points each fit of Cone::fitMethod needs for 3-D points. Throws cv::Exception for a
// method outside 0..3.
std::size_t MinimumSpherePoints(int fitMethod);

// Throws cv::Exception unless `fitMethod` is one of 0..3 and `count` points are enough for it.
void RequireSphereFitInput(int fitMethod, std::size_t count);

// Centres N points given as an Nx1 (or 1xN) continuous array of D-channel CV_64F elements:
// delta (NxD) holds p - mean, deltaMag2 (Nx1) the squared length of each row. Returns the mean.
cv::Scalar CentrePoints(const cv::Mat& points, cv::Mat& delta, cv::Mat& deltaMag2);

// Al-Sharadqah and Chernov's hyper fit: the generalised eigenvector of the design matrix
// [deltaMag2 | delta | 1] for the hyper constraint, whose leading-order bias vanishes. Needs
// D + 2 points. Throws cv::Exception with the text "deltaMag2.rows == pnts" when the two inputs
// differ in rows.
void FitHyperCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients,
                          AlgebraicFitTrace* trace = nullptr);

// Pratt's fit: as the hyper fit, under the constraint |a|^2 - 4*A0*A(D+1) = 1, which normalises
// the coefficients by the radius.
void FitPrattCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients,
                          AlgebraicFitTrace* trace = nullptr);

// Taubin's fit, solved by the SVD of [(deltaMag2 - mean) / (2 sqrt(mean)) | delta] (Chernov's
// formulation): the constraint is the mean squared gradient of the sphere's function. Needs D + 1
// points.
void FitTaubinCoefficients(const cv::Mat& deltaMag2, const cv::Mat& delta, cv::Mat& coefficients);

// Centre (the first D entries of `centre`, in the caller's coordinates: `mean` added back) and
// radius of the sphere given by centred coefficients. Coplanar points give A0 near 0 and a
// meaningless or infinite result.
void SphereFromCoefficients(const cv::Mat& coefficients, const cv::Scalar& mean, cv::Scalar& centre,
                            double& radius);

// Centre minimising Kasa's objective mean((|p - c|^2 - r^2)^2) with r^2 = mean |p - c|^2,
// reached by 1000 Newton steps from the points' mean on the raw moments up to third order.
// Writes the centre and the root of the mean squared distance to it. Needs four points not in one
// plane for a meaningful result; an empty list gives NaN.
void FitIterativeSphere(const std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                        double& radius);

}  // namespace Oskelo::CV::Native64::detail
