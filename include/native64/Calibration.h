#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "native64/CalibrationParameters.h"
#include "native64/ExportedTypes.h"
#include "native64/ImageProcessor.h"
#include "native64/ImageProcessorSettings.h"
#include "native64/Native64Export.h"
#include "native64/NominalPattern.h"

namespace Oskelo::CV::Native64 {

// Calibrates a stereo pair of cameras from image pairs of the calibration plate (9 x 13 dark dots,
// spacing 30, diameter 15) and triangulates matched image points into 3-D points in plate units.
//
// Use: construct; call ExtractPair once per stereo image pair; call ComputeStereoCalibration; then
// Triangulate as often as needed. Copies share one detector and one settings record (a settings
// change made through one copy is seen by all); target lists are copied deeply and parameter
// matrices share their element storage. The detector is released with the last copy.
class NATIVE64_API Calibration {
 public:
  // One detected target while SortTargets orders a view against the plate.
  struct Container {
    cv::Point_<double> imagePoint;    // target centre in the image, pixels
    cv::Point_<double> patternPoint;  // the same target mapped into plate coordinates
  };

  // Builds the nominal plate, zero parameter matrices (32-bit floats) and a detector configured
  // for the plate: dotCount 117 on a 9 x 13 grid, dotSpacing 30, dotDiameter 15, imageRect
  // (0, 0, 1248, 1082), fixedThreshold false.
  Calibration();
  Calibration(const Calibration& other);
  Calibration& operator=(const Calibration& other);
  ~Calibration();

  // Finds the plate in both 8-bit images of one stereo pair. Each buffer is read as the detector
  // reads it: imageRect.height rows of imageRect.width bytes, each row preceded by columnOffset
  // bytes that are not image whenever the width is not 1248 (x of every centre then includes
  // them). A buffer of packed rows of another width therefore needs columnOffset 0; otherwise it is
  // read past its end. ExtractPairFromImages (ImageDetection.h) takes the layout from its images.
  // For each camera the binarisation threshold is swept from 20 to 215 in steps of 5; the middle
  // successful threshold is used for a final detection. When both final detections succeed, both
  // ordered target lists are appended to leftTargets and rightTargets and the result is true;
  // otherwise nothing is appended. Throws cv::Exception for a null image, and before the sweep
  // changes anything for a layout that detection refuses (see ImageProcessor::FindTargets).
  bool ExtractPair(const unsigned char* left, const unsigned char* right);

  // Calibrates both cameras and their relative pose from every accumulated pair whose two lists
  // hold all nominal targets as finite points, rectifies the pair, and replaces `parameters` and
  // the three RMS values. Throws cv::Exception when no pair is usable; `parameters` then keeps its contents.
  void ComputeStereoCalibration();

  // Turns matched image points (entry i of both lists is one physical target, pixels of the raw
  // images) into 3-D points in the rectified left camera's frame, in plate units. `points` is
  // cleared first. Throws cv::Exception before a calibration has been computed, and for lists that
  // are empty or of different lengths.
  void Triangulate(const std::vector<cv::Point_<double>>& left,
                   const std::vector<cv::Point_<double>>& right,
                   std::vector<cv::Point3_<double>>& points) const;

  ImageProcessorSettings* settings;  // the detector's settings record, shared by every copy
  NominalPattern nominalPattern;     // plate geometry: 9 x 13 targets, spacing 30
  // Ordered target centres (pixels) per accepted pair; target j of a list is the image of nominal
  // point j. Entry i of both lists comes from the same pair.
  std::vector<std::vector<cv::Point_<double>>> leftTargets;
  std::vector<std::vector<cv::Point_<double>>> rightTargets;
  CalibrationParameters parameters;  // the calibration result
  double rmsLeft;                    // RMS reprojection error of the left camera's calibration, px
  double rmsRight;                   // the same for the right camera, px
  double rmsStereo;                  // RMS reprojection error of the stereo calibration, px
  ImageProcessor* imageProcessor;    // the detector used by ExtractPair, shared by every copy

 private:
  // Orders detected points against the plate grid (width targets per row, height rows) by the
  // homography of the outline's four corners; `ordered` stays empty when no four corners are found
  // or when fewer than width x height points are given.
  void SortTargets(const std::vector<cv::Point_<double>>& points,
                   std::vector<cv::Point_<double>>& ordered,
                   const std::vector<cv::Point3_<double>>& nominal, cv::Size_<int> gridSize) const;
  int Mod(int a, int b) const;

  static void Project(const std::vector<cv::Point_<double>>& points, const cv::Mat& cameraMatrix,
                      const cv::Mat& projection, const cv::Mat& rectification,
                      std::vector<cv::Point_<double>>& projected);
  static void UndistortPoints(const std::vector<cv::Point_<double>>& points,
                              std::vector<cv::Point_<double>>& undistorted,
                              const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                              const cv::Mat& rectification, const cv::Mat& projection);

  std::shared_ptr<ImageProcessor> detector_;  // joint owner of imageProcessor
};

}  // namespace Oskelo::CV::Native64
