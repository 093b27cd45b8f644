#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// A tracked tool calibrated by pivoting: its tip rests in a conical seat while the tool is rocked
// about it, so every marker moves on a sphere about the tip. The host fills `markerTracks` with
// each marker's 3-D positions over the pivoting frames and calls Calibrate(); the resulting
// `pivot` and `markerOffsets` are the tool's rigid model, which FindTransformation_old later fits
// to the observed marker positions of a frame. Lengths are in the unit of the points the host
// passes (the calibration plate's unit for triangulated points); angles are in radians.
//
// Transforms are 4x4 CV_64F homogeneous matrices with rows (R | t) and (0, 0, 0, 1) that map a
// point a to R*a + t.
class NATIVE64_API Cone {
 public:
  // eulerOrder 1, fitMethod 0, pivot (0, 0, 0), reservedValue 1.0, no tracks and no offsets.
  Cone();
  Cone(const Cone& other);             // copies every field; both vectors deeply
  Cone& operator=(const Cone& other);  // copies every field; both vectors deeply
  ~Cone();

  // Fits a sphere (chosen by `fitMethod`) to every marker track, takes the mean of the sphere
  // centres as the pivot and calls Calibrate(pivot). With no tracks the pivot is NaN and the
  // offsets end empty. Throws cv::Exception, changing nothing, when `fitMethod` is outside 0..3
  // or a track holds fewer points than its fit needs (5 for the hyper and Pratt fits, 4 for the
  // iterative and Taubin fits).
  void Calibrate();

  // Stores `pivot` and rebuilds `markerOffsets`: the first position of every track minus the
  // pivot. Throws cv::Exception, changing nothing, when a track is empty.
  void Calibrate(cv::Point3_<double> pivot);

  // Least-squares rigid transform (rotation and translation, no scale) that carries A[i] onto B[i]
  // for every i < A.size(); always a proper rotation, even where a reflection would fit better.
  // An empty A gives a transform holding NaN. Throws cv::Exception, changing nothing, when B holds
  // fewer points than A.
  static void GetRigidTransform(const std::vector<cv::Point3_<double>>& A,
                                const std::vector<cv::Point3_<double>>& B, cv::Mat& transform);

  // Transform that carries `model` onto `observed` (note the order: target first) and its
  // residual: the RMS of the 3n coordinate differences, in length units (NaN for no points).
  // Throws cv::Exception, changing nothing, when `observed` holds fewer points than `model`.
  void FindTransformation(const std::vector<cv::Point3_<double>>& observed,
                          const std::vector<cv::Point3_<double>>& model, cv::Mat& transform,
                          double& error);

  // Locates the calibrated tool from the observed positions of its markers, given in the order of
  // `markerOffsets`. The model is markerOffsets[i] + offset; `transform` carries it onto
  // `observed`, `position` is the transform's translation (the current tool tip for offset
  // (0, 0, 0)) and `angles` its rotation in the order `eulerOrder`. Returns false and writes
  // nothing when the count of observed points differs from that of the offsets; otherwise writes
  // all three outputs and returns whether the residual is below 1000 length units (NaN: false).
  bool FindTransformation_old(const std::vector<cv::Point3_<double>>& observed,
                              cv::Point3_<double>& position, cv::Point3_<double>& angles,
                              cv::Mat& transform, cv::Point3_<double> offset) const;

  // Rotation order of the angles of FindTransformation_old, R = first * second * third:
  // 0 Rx*Rz*Ry, 1 Rx*Ry*Rz, 2 Ry*Rx*Rz, 3 Ry*Rz*Rx, 4 Rz*Rx*Ry, 5 Rz*Ry*Rx; any other value acts
  // as 1. The middle angle lies in [-pi/2, pi/2], the others in [-pi, pi].
  int eulerOrder;
  // Sphere fit used by Calibrate(): 0 hyper (default, unbiased on short arcs), 1 iterative,
  // 2 Pratt, 3 Taubin. Other values make Calibrate() throw. The iterative fit minimises Kasa's
  // algebraic objective, the sum of (|p - c|^2 - r^2)^2 over the points, not the geometric
  // distance; it is biased towards small spheres on short arcs.
  int fitMethod;
  // One list per marker: its positions over the pivoting frames, in length units. Element 0 is the
  // marker's position in the reference (first) frame and defines its offset. Never changed here.
  std::vector<std::vector<cv::Point3_<double>>> markerTracks;
  // One entry per marker: the first position of its track minus `pivot`, in length units. Written
  // by Calibrate; the tool model of FindTransformation_old.
  std::vector<cv::Point3_<double>> markerOffsets;
  // The pivot point (tool tip) in the measurement frame, in length units. Written by Calibrate.
  cv::Point3_<double> pivot;
  // Kept for the host; the library never reads it.
  double reservedValue;

 private:
  void FitSphere(std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                 double& radius) const;
  void FitIterative(std::vector<cv::Point3_<double>>& points, cv::Point3_<double>& center,
                    double& radius) const;
  void FitHyper(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const;
  void FitPratt(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const;
  void FitTaubin(cv::Mat& deltaMag2, cv::Mat& delta, cv::Mat& coefficients) const;
  void GetEulerAngles(cv::Mat& transform, cv::Point3_<double>& angles) const;
  void ComputeAngles(double firstSin, double firstCos, double middleSin, double thirdSin,
                     double thirdCos, cv::Point3_<double>& angles) const;
  double ComputeReprojectionError(const std::vector<cv::Point3_<double>>& model,
                                  const std::vector<cv::Point3_<double>>& observed,
                                  cv::Mat& transform) const;
};

}  // namespace Oskelo::CV::Native64
