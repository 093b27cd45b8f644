#pragma once

#include <opencv2/core/types.hpp>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/Native64Export.h"

namespace Oskelo::CV::Native64 {

// Configuration and run-time state of the target detector (ImageProcessor). One record is shared
// by a detector, the detectors assigned from it and the calibration object that owns it; every
// FindTargets call reads it and writes its run-time members (threshold, thresholdState,
// stateCounter, meanGrey, gridMap). A plain value record: copies copy every member.
class NATIVE64_API ImageProcessorSettings {
 public:
  ImageProcessorSettings();
  ImageProcessorSettings(const ImageProcessorSettings& other);
  ImageProcessorSettings& operator=(const ImageProcessorSettings& other);
  ~ImageProcessorSettings();

  // OpenCV type with which the caller's buffer is wrapped. Only 0 (CV_8UC1, one byte per pixel)
  // is accepted; FindTargets refuses any other value. The entry points that take a cv::Mat
  // (ImageDetection.h) check the Mat's own type instead and neither read nor change this.
  int imageType;

  // Contour approximation passed to cv::findContours. 1 (CV_CHAIN_APPROX_NONE) keeps every
  // boundary pixel, which the size tests rely on: contour lengths are counted in points.
  int contourMethod;

  // Contour retrieval mode passed to cv::findContours, and the way dots are grouped:
  // 2 (CV_RETR_CCOMP): the target is a bright box whose holes are the dots (drives the threshold
  // state machine); 1 (CV_RETR_LIST): every contour of positive area is a dot, and exactly
  // dotCount of them must be found; any other value makes every search fail.
  int contourMode;

  int reserved0;  // not read by the library

  // State of the adaptive threshold, advanced by every FindTargets call with contourMode 2:
  // 0 tracking (threshold scaled by the brightness of targetRect), 1 brightness retry,
  // 2 Otsu retry (threshold from the histogram of targetRect), 3 whole-frame search (threshold
  // kept), 4 forced whole frame (both regions reset to imageRect, threshold kept). Set 4 with an
  // explicit threshold to run one detection over the whole frame at that threshold.
  int thresholdState;

  // Grey level for binarisation: pixels above it are bright (box), the others dark (dots and
  // background). Written by FindTargets after each success (midway between dot centres and box)
  // and by the state machine; a host may set it before a call.
  int threshold;

  // Mean grey level (0..255) of the last measured region: the grey region before thresholding,
  // the found target box after a success, the whole frame while searching in state 3.
  int meanGrey;

  // Grey level that meanGrey is compared with in states 0 and 1: the threshold is scaled by
  // meanGrey / referenceGrey (with a softened curve below 1). Never written by the library.
  int referenceGrey;

  int reserved1;  // not read by the library

  // Counter of the state machine: the success streak in state 0 (a loss after more than 12
  // successes retries locally before searching the whole frame), a countdown in states 1 and 2,
  // and a count that runs below zero in state 3. At 0 a failed search resets the regions to
  // imageRect.
  int stateCounter;

  // Leading bytes of every row of the caller's buffer that are not image (default 27). Applied
  // whenever imageRect.width is not 1248, unless the long FindTargets is given noColumnOffset: the
  // buffer must then hold imageRect.height rows of width + columnOffset bytes, and x of every
  // centre includes the offset. A host whose buffer has packed rows of another width sets 0 (or
  // passes noColumnOffset), or else the detector reads past the buffer's end. The entry points
  // that take a cv::Mat (ImageDetection.h) neither apply nor change it.
  int columnOffset;

  // Width and height: the image size in pixels (the buffer holds height rows). x and y: an origin
  // added to every refined dot centre. The whole rectangle is the search region of the short
  // FindTargets and the region to which a lost search resets. Width and height must be positive.
  // The entry points that take a cv::Mat set width and height to its size.
  cv::Rect_<int> imageRect;

  int roiMargin;  // pixels added on every side of a found target box to form the next search region
  int refineMargin;  // pixels added on every side of a dot's bounding box for centre refinement
  int refinePower;   // exponent of the darkness weight of centre refinement (2: squared depth)

  // true: FindTargets uses the caller's regions exactly as given (no clamping, moving, growing or
  // resetting); they must then lie inside the image.
  bool fixedRoi;

  // true: FindTargets uses threshold as it is: no brightness scaling, no Otsu, no update from the
  // found dots. The state machine and the region search still run.
  bool fixedThreshold;

  bool reservedFlag0;  // not read by the library

  // true: print progress lines to standard output and show intermediate images (which waits for
  // a key press when a display is available).
  bool debug;

  // Nodes of the dot grid along its first and second axis. To order 4 or more dots each must be
  // at least 2 and the grid may have at most 65536 nodes; otherwise ordering throws
  // std::length_error.
  int gridColumns;
  int gridRows;

  bool reservedFlag1;  // not read by the library

  // Written by the ordering of found dots: one list per output line of the grid, one entry per
  // node, 1 where a dot was found, 0 where it is missing.
  std::vector<std::vector<int>> gridMap;

  // Distance between neighbouring dot centres, in the target's length unit. With gridRows and
  // gridColumns it gives the expected perimeter of the box, hence the accepted contour lengths.
  double dotSpacing;
  // Dot diameter, in the unit of dotSpacing: sets the accepted contour length of a dot.
  double dotDiameter;
  // Factor on the accepted range of box contour lengths (1: the range for the nominal geometry).
  double sizeScale;
  // Number of dots a target must show to be found.
  int dotCount;
};

}  // namespace Oskelo::CV::Native64
