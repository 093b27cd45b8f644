#include "GeometryFunctions.h"
#include "imgproc/PointSetLayout.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace Tarnwell::Native::CV {
namespace {

// (D+1)x(D+1) homogeneous translation by `sign` times the first D entries of `mean`.
cv::Mat Translation(const cv::Scalar& mean, int D, int depth, double sign) {
  cv::Mat column = cv::Mat::zeros(D + 1, 1, CV_64F);
  for (int k = 0; k < D; ++k) column.at<double>(k) = sign * mean[k];
  column.convertTo(column, depth);
  cv::Mat T;
  cv::hconcat(cv::Mat::eye(D + 1, D, depth), column, T);
  T.row(D).col(D).setTo(1.0);
  return T;
}

// The D x D block R in the upper left of a (D+1)x(D+1) matrix with a 1 in the corner.
cv::Mat Homogeneous(const cv::Mat& R) {
  const int D = R.rows;
  cv::Mat extended;
  cv::vconcat(R, cv::Mat::zeros(1, D, R.type()), extended);
  cv::hconcat(extended, cv::Mat::zeros(D + 1, 1, R.type()), extended);
  extended.row(D).col(D).setTo(1.0);
  return extended;
}

// Population standard deviation of all coordinates of B - transform(A), A and B given as one row
// of N D-channel points.
double ResidualSpread(const cv::Mat& A, const cv::Mat& B, const cv::Mat& transform) {
  const int D = A.channels();
  const int N = static_cast<int>(A.total());
  cv::Mat homogeneous;
  cv::vconcat(A.reshape(1, N).t(), cv::Mat::ones(1, N, A.depth()), homogeneous);
  const cv::Mat residual = B.reshape(1, N).t() - transform.rowRange(0, D) * homogeneous;
  cv::Scalar mean, stddev;
  cv::meanStdDev(residual, mean, stddev);
  return stddev[0];
}

}  // namespace

// Kabsch registration in D dimensions (Arun, Huang and Blostein): R = V S U^T from the SVD
// U W V^T of the cross-covariance of the centred sets, S flipping the last axis when a proper
// rotation is asked for and U V^T is a reflection.
double GetRigidTransform(cv::InputArray AArray, cv::InputArray BArray, cv::OutputArray transform,
                         bool computeError, bool fixReflection) {
  const cv::Mat A = AArray.getMat();
  const cv::Mat B = BArray.getMat();
  const int depth = A.depth();
  const int channels = A.channels();
  const bool multichannel = channels > 1;
  detail::RequireCondition(A.isContinuous() && B.isContinuous(),
                           "A.isContinuous() && B.isContinuous()");
  detail::RequireCondition(depth == B.depth(), "depth == B.depth()");
  detail::RequireCondition(channels == B.channels(), "channels == B.channels()");
  detail::RequireCondition(A.rows == B.rows, "A.rows == B.rows");
  detail::RequireCondition(A.cols == B.cols, "A.cols == B.cols");
  detail::RequireCondition(A.rows != A.cols, "A.rows != A.cols");
  detail::RequireCondition(multichannel != ((A.rows > 1) == (A.cols > 1)),
                           "(multichannel) != ((A.rows > 1) == (A.cols > 1))");

  const cv::Mat a = detail::PointSetAsRow(A);
  const cv::Mat b = detail::PointSetAsRow(B);
  const int D = a.channels();
  const int N = static_cast<int>(a.total());
  detail::RequireCoordinateCount(D);

  const cv::Scalar aMean = cv::mean(a);
  const cv::Scalar bMean = cv::mean(b);
  const cv::Mat Ac = cv::Mat(a - aMean).reshape(1, N);
  const cv::Mat Bc = cv::Mat(b - bMean).reshape(1, N);
  cv::Mat w, u, vt;
  cv::SVD::compute(Ac.t() * Bc, w, u, vt, cv::SVD::MODIFY_A);

  cv::Mat S = cv::Mat::eye(D, D, depth);
  if (fixReflection) S.row(D - 1).col(D - 1).setTo(cv::determinant(u * vt));
  const cv::Mat R = vt.t() * S * u.t();

  const cv::Mat result =
      Translation(bMean, D, depth, 1.0) * Homogeneous(R) * Translation(aMean, D, depth, -1.0);
  result.copyTo(transform);
  return computeError ? ResidualSpread(a, b, result) : 0.0;
}

}  // namespace Tarnwell::Native::CV
