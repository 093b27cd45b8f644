#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/ImageProcessorSettings.h"
#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// Finds one target (a bright box carrying dark dots) in an 8-bit grayscale image and returns the
// sub-pixel centres of its dots in grid order. The search is stateful: threshold, threshold state
// and grey level carry over from call to call in the settings record, and the long FindTargets
// carries its search regions in the caller's rectangles.
//
// Tracking with the long form. The default record starts in state 3 with threshold 0; its first
// failed search sets the threshold to the mean grey level of the whole frame, which on a dark
// scene lies below the dots, and state 3 keeps it there. Before tracking, a host sets:
//   - dotCount, gridColumns and gridRows (at least 2 x 2), dotSpacing and dotDiameter for its
//     target (the defaults describe the 7-dot tracker on a 4 x 2 grid);
//   - a starting threshold: either thresholdState 2, so that the first call takes Otsu's level of
//     the grey region, or an explicit threshold between the dot and the box grey levels;
//   - roi and targetRect of the first call: the whole image (imageRect) or a region known to
//     hold the target.
// From the first success on, the threshold follows the target (midway between its dots and its
// box) and the search region follows the box (roiMargin pixels around it).
class NATIVE64_API ImageProcessor {
 public:
  // Creates a settings record with the defaults of ImageProcessorSettings.
  ImageProcessor();
  ImageProcessor(const ImageProcessor&) = delete;
  // Shares the other detector's settings record: a change made through one is seen by both. The
  // record is released with its last holder.
  ImageProcessor& operator=(const ImageProcessor& other);
  ~ImageProcessor();

  // Short form: searches the whole of imageRect. The buffer holds imageRect.height rows of
  // imageRect.width bytes, each row preceded by columnOffset bytes that are not image whenever the
  // width is not 1248 (default 27; x of every centre then includes them). A buffer of packed rows
  // of another width therefore needs columnOffset 0; otherwise it is read past its end.
  // FindTargetsInImage (ImageDetection.h) takes the layout from a cv::Mat instead. On success
  // `targets` receives the ordered dot centres in pixels and the result is true; when no target is
  // found the result is false and `targets` is left as it was. Throws cv::Exception for a null
  // buffer, an imageRect without positive size or an imageType other than CV_8UC1.
  bool FindTargets(const unsigned char* image, std::vector<cv::Point_<double>>& targets);

  // Long form, for following a target from frame to frame.
  //   roi (in/out): search region in image pixels; clamped to the image, and afterwards moved to
  //     roiMargin around the found box, grown by 2 pixels per side while the target is lost, or
  //     reset to imageRect.
  //   targetRect (in/out): region whose brightness drives the threshold; the found box on success.
  //   exclusions: image regions in which no dot may lie (used with contourMode 2).
  //   noColumnOffset: true reads rows without leading non-image bytes whatever the width and
  //     columnOffset; false applies columnOffset as the short form does.
  // Result and `targets` as for the short form; `targets` is also replaced (and the result false)
  // when the dots of a found box cannot all be placed on the grid. Throws cv::Exception as the
  // short form does, and for regions that lie outside the image after clamping (or at all, with
  // fixedRoi); std::length_error when 4 or more dots are found and the grid is smaller than 2 x 2
  // or has more than 65536 nodes.
  bool FindTargets(const unsigned char* image, std::vector<cv::Point_<double>>& targets,
                   cv::Rect_<int>& roi, cv::Rect_<int>& targetRect,
                   std::vector<cv::Rect_<int>> exclusions, bool noColumnOffset);

  // The detector's configuration and state; shared with the detectors assigned from this one.
  ImageProcessorSettings* settings;

 private:
  void FindRoiGrayscale(const cv::Mat& img);
  void FindOptimalThreshold(const cv::Mat& img, const cv::Rect_<int>& region);
  std::vector<double> FindCentroidThreshold(const cv::Mat& patch, const cv::Rect_<int>& rect);
  int FindClusterWithHoles(const std::vector<std::vector<cv::Point_<int>>>& contours,
                           const std::vector<cv::Vec<int, 4>>& hierarchy, std::vector<int>& indices,
                           std::vector<cv::Rect_<int>> exclusions);
  bool FindClusterWithoutHoles(const std::vector<std::vector<cv::Point_<int>>>& contours,
                               std::vector<int>& indices) const;
  void FindContourGrayscale(const cv::Mat& img, std::vector<cv::Point_<int>> contour);
  static cv::Point_<double> Centroid(const std::vector<cv::Point_<int>>& contour);
  cv::Point_<double> RefineCentroid(cv::Rect_<int> rect, const cv::Mat& image);
  void SortPoints(const std::vector<cv::Point_<double>>& points,
                  std::vector<cv::Point_<double>>& ordered) const;
  void SortLinearPoints(const std::vector<cv::Point_<double>>& points,
                        std::vector<cv::Point_<double>>& ordered) const;
  static void EdgeDetector(cv::Mat& img);
  int Mod(int a, int b) const;

  static const int MaxGrey = 255;      // top grey level: bright pixels after thresholding
  static const bool oriented = false;  // orientation flag for cv::contourArea (unsigned areas)

  std::shared_ptr<ImageProcessorSettings> settingsOwner;  // keeps `settings` alive while shared
};

}  // namespace Oskelo::CV::Native64
