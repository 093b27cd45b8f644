#include <algorithm>
#include <cmath>

#include "cone/Kabsch.h"
#include "imgproc/PointSetLayout.h"
#include "native64/GeometryFunctions.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace Tarnwell::Native::CV {
namespace {

template <int D>
using Vec = cv::Vec<double, D>;
template <int D>
using Matx = cv::Matx<double, D, D>;

// Per-coordinate mean of the rows of an N x D matrix of element type T.
template <typename T, int D>
Vec<D> Mean(const cv::Mat& points) {
  Vec<D> sum = Vec<D>::all(0.0);
  for (int i = 0; i < points.rows; ++i) {
    const T* p = points.ptr<T>(i);
    for (int k = 0; k < D; ++k) sum[k] += p[k];
  }
  return sum * (1.0 / points.rows);
}

// (A - mean A)^T (B - mean B), summed over the paired rows.
template <typename T, int D>
Matx<D> CrossCovariance(const cv::Mat& A, const cv::Mat& B, const Vec<D>& aMean,
                        const Vec<D>& bMean) {
  Matx<D> H = Matx<D>::zeros();
  for (int i = 0; i < A.rows; ++i) {
    const T* a = A.ptr<T>(i);
    const T* b = B.ptr<T>(i);
    Vec<D> da, db;
    for (int k = 0; k < D; ++k) da[k] = a[k] - aMean[k], db[k] = b[k] - bMean[k];
    for (int r = 0; r < D; ++r) {
      for (int c = 0; c < D; ++c) H(r, c) += da[r] * db[c];
    }
  }
  return H;
}

// Population standard deviation of all D*N coordinates of B - (R a + t).
template <typename T, int D>
double ResidualSpread(const cv::Mat& A, const cv::Mat& B, const Matx<D>& R, const Vec<D>& t) {
  double sum = 0.0, squares = 0.0;
  for (int i = 0; i < A.rows; ++i) {
    const T* a = A.ptr<T>(i);
    const T* b = B.ptr<T>(i);
    Vec<D> point, observed;
    for (int k = 0; k < D; ++k) point[k] = a[k], observed[k] = b[k];
    const Vec<D> residual = observed - (R * point + t);
    for (int k = 0; k < D; ++k) sum += residual[k], squares += residual[k] * residual[k];
  }
  const double entries = static_cast<double>(A.rows) * D;
  const double mean = sum / entries;
  // Rounding may leave a tiny negative variance; a NaN one (from NaN or infinite points) stays NaN
  // rather than reporting a perfect fit.
  const double variance = squares / entries - mean * mean;
  return std::sqrt(variance < 0.0 ? 0.0 : variance);
}

template <typename T, int D>
double Register(const cv::Mat& A, const cv::Mat& B, cv::OutputArray transform, bool computeError,
                bool fixReflection) {
  const int depth = cv::DataType<T>::depth;
  const Vec<D> aMean = Mean<T, D>(A);
  const Vec<D> bMean = Mean<T, D>(B);
  const Matx<D> R = detail::KabschRotation<D>(CrossCovariance<T, D>(A, B, aMean, bMean),
                                              fixReflection, detail::KabschProduct::kDirect);
  // R (a - mean A) + mean B as one affine map.
  const Vec<D> t = bMean - R * aMean;

  transform.create(D + 1, D + 1, depth);
  cv::Mat result = transform.getMat();
  for (int r = 0; r < D; ++r) {
    T* row = result.ptr<T>(r);
    for (int c = 0; c < D; ++c) row[c] = static_cast<T>(R(r, c));
    row[D] = static_cast<T>(t[r]);
  }
  T* last = result.ptr<T>(D);
  for (int c = 0; c < D; ++c) last[c] = T(0);
  last[D] = T(1);
  return computeError ? ResidualSpread<T, D>(A, B, R, t) : 0.0;
}

template <typename T>
double RegisterDepth(const cv::Mat& A, const cv::Mat& B, cv::OutputArray transform,
                     bool computeError, bool fixReflection) {
  switch (A.cols) {
    case 2:
      return Register<T, 2>(A, B, transform, computeError, fixReflection);
    case 3:
      return Register<T, 3>(A, B, transform, computeError, fixReflection);
    default:
      return Register<T, 4>(A, B, transform, computeError, fixReflection);
  }
}

}  // namespace

// Kabsch registration in D dimensions (Arun, Huang and Blostein): the rotation of the centred
// sets' cross-covariance (KabschRotation), then the translation that carries A's mean onto B's.
// Arithmetic in double for either depth.
double GetRigidTransform(cv::InputArray AArray, cv::InputArray BArray, cv::OutputArray transform,
                         bool computeError, bool fixReflection) {
  const cv::Mat A = AArray.getMat();
  const cv::Mat B = BArray.getMat();
  const int depth = A.depth();
  const int channels = A.channels();
  const bool multichannel = channels > 1;
  NATIVE64_REQUIRE(A.isContinuous() && B.isContinuous(), "A.isContinuous() && B.isContinuous()");
  NATIVE64_REQUIRE(depth == B.depth(), "depth == B.depth()");
  NATIVE64_REQUIRE(channels == B.channels(), "channels == B.channels()");
  NATIVE64_REQUIRE(A.rows == B.rows, "A.rows == B.rows");
  NATIVE64_REQUIRE(A.cols == B.cols, "A.cols == B.cols");
  NATIVE64_REQUIRE(A.rows != A.cols, "A.rows != A.cols");
  NATIVE64_REQUIRE(multichannel != ((A.rows > 1) == (A.cols > 1)),
                   "(multichannel) != ((A.rows > 1) == (A.cols > 1))");

  const cv::Mat a = detail::PointsAsRows(A);
  const cv::Mat b = detail::PointsAsRows(B);
  NATIVE64_REQUIRE_COORDINATES(a.cols);
  if (depth == CV_64F) return RegisterDepth<double>(a, b, transform, computeError, fixReflection);
  if (depth == CV_32F) return RegisterDepth<float>(a, b, transform, computeError, fixReflection);
  CV_Error(cv::Error::StsUnsupportedFormat, "GetRigidTransform needs 32- or 64-bit float points");
}

}  // namespace Tarnwell::Native::CV
