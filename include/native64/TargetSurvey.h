#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/ImageProcessorSettings.h"
#include "native64/Native64Export.h"

// What the box search of FindTargets (contourMode 2) sees in an image at one threshold: every
// bright region that has holes, with its outline length and how many of its holes have the length
// of a dot, judged by the same size rules the search applies. A host uses it to tell a user why a
// target was not found (too few dots, an outline outside the accepted range, no region at all)
// and to choose sizeScale for its images: the accepted outline lengths are tied to the numeric
// value of dotSpacing, the dot lengths only to the outline's own length.
namespace Oskelo::CV::Native64 {

// One bright region with holes (an outer contour of cv::RETR_CCOMP with at least one child).
struct SurveyedRegion {
  cv::Rect_<int> bounds;   // bounding box of the outline, image pixels
  int outlineLength = 0;   // points of the outline contour, i.e. its length in boundary pixels
  int holes = 0;           // holes of any length
  // Holes whose length lies strictly inside the dot window of this outline: the holes the search
  // counts as dots (it needs exactly dotCount of them).
  int dotSizedHoles = 0;
  double dotLengthLow = 0.0;   // dot window of this outline, boundary pixels (exclusive bounds)
  double dotLengthHigh = 0.0;
  bool outlineFits = false;  // outlineLength lies strictly inside the survey's outline window
  // outlineFits and exactly dotCount dot-sized holes: a box the search may choose. Among several,
  // it takes the one of lowest score (the outline's distance from the ideal length plus its dots'
  // distances from their window's middle).
  bool qualifies = false;
};

struct TargetSurvey {
  int threshold = 0;  // grey level the image was binarised at (pixels above it are bright)
  // Outline window of the box search at the settings' sizeScale, boundary pixels: a box must be
  // strictly longer than the minimum and strictly shorter than the maximum; scores are measured
  // from the ideal length.
  double minOutlineLength = 0.0;
  double maxOutlineLength = 0.0;
  double idealOutlineLength = 0.0;
  // The ideal length at sizeScale 1. sizeScale = outlineLength / idealOutlineLengthAtUnitScale
  // puts a region's outline at the ideal length; the window spans 0.5 to 2 times the ideal.
  double idealOutlineLengthAtUnitScale = 0.0;
  // Every bright region with at least one hole, longest outline first (ties in contour order).
  std::vector<SurveyedRegion> regions;
};

// Binarises the whole of `image` (CV_8UC1, any size and row step) at `threshold` as FindTargets
// does (cv::threshold, THRESH_BINARY, 255), extracts its contours with cv::RETR_CCOMP and the
// settings' contourMethod, and judges every region with holes by the settings' target geometry
// (dotCount, gridColumns, gridRows, dotSpacing, dotDiameter, sizeScale). Reads nothing else of the
// settings and changes nothing. Throws cv::Exception for an empty image, another type or more
// than two dimensions, and OpenCV's own for a contourMethod that cv::findContours does not know.
NATIVE64_API TargetSurvey SurveyTargets(const ImageProcessorSettings& settings,
                                        const cv::Mat& image, int threshold);

}  // namespace Oskelo::CV::Native64
