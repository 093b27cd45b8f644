#pragma once

#include <functional>
#include <string>
#include <vector>

#include "native64/Native64.h"

namespace dotcal {

// How far one view's dots lie from the plate that fits them in both cameras at once: the dots are
// triangulated with the calibration, the nominal plate is registered onto the points (rigid,
// least squares) and projected back into each image. A plate labelled differently in the two
// images (a square plate turned by 90 degrees, any plate by 180) or dots misplaced by blur or
// clutter lie far off; the per-camera view errors, each with its own best pose, miss the first.
struct StereoViewError {
  int pair = 0;           // index of the view's pair in the calibration data
  double rms = 0.0;       // RMS over both images' dots, pixels
  double maxLeft = 0.0;   // the largest dot residual in the left image, pixels
  double maxRight = 0.0;  // ... in the right image
};

// One per complete pair of a calibrated object, in pair order.
std::vector<StereoViewError> ComputeStereoViewErrors(
    const Oskelo::CV::Native64::Calibration& calibration);

struct ViewRejectionOptions {
  // A view is dropped when its RMS exceeds this multiple of the median view's. Good views of one
  // series lie within about 1.5 times the median; a blurred or shaken view lies at 3 or more.
  double maxRmsOverMedian = 3.0;
  // ... or when one of its dots lies farther than this from the fitted plate, in pixels: a
  // mislabelled plate or a foreign blob puts dots many pixels off, while good centres lie within
  // a few tenths.
  double maxDotResidualPx = 1.0;
  // No view is dropped below this many views: the calibration needs them, and the median of a
  // few says little.
  int minViews = 4;
};

struct DroppedView {
  int pair = 0;
  StereoViewError error;  // as measured in the calibration that dropped it
  double medianRms = 0.0;
  std::string reason;  // a sentence: which bound it broke, and by how much
};

// A view whose right image was labelled from another corner of the plate than its left image,
// and is used relabelled.
struct RelabelledView {
  int pair = 0;
  int degrees = 0;         // the turn of the plate between the two labellings: 90, 180 or 270
  StereoViewError before;  // as labelled
  StereoViewError after;   // relabelled, in the final calibration's predecessor
};

struct ViewRejection {
  std::vector<DroppedView> dropped;  // in the order dropped
  std::vector<RelabelledView> relabelled;
};

// The stereo view error of one pair's centres in a calibrated object; with `leftResiduals` and
// `rightResiduals`, each dot's residual as well (the fitted plate's projection minus the centre).
StereoViewError StereoViewErrorOf(const Oskelo::CV::Native64::Calibration& calibration,
                                  const std::vector<cv::Point2d>& left,
                                  const std::vector<cv::Point2d>& right,
                                  std::vector<cv::Point2d>* leftResiduals = nullptr,
                                  std::vector<cv::Point2d>* rightResiduals = nullptr);

// The relabellings that a plate of `columns` x `rows` dots allows: the plate turned by 180
// degrees, and a square one by 90 and 270 as well. Each gives, for every label j, the index in
// the first labelling of the dot that takes label j.
struct PlateTurn {
  int degrees = 0;
  std::vector<int> order;
};
std::vector<PlateTurn> PlateTurns(int columns, int rows);

// The worst view beyond the options' bounds among `errors`, as an index into it, or -1 when every
// view is within them (or there are too few views to drop one). `reason` says why.
int WorstOutlier(const std::vector<StereoViewError>& errors, const ViewRejectionOptions& options,
                 double& medianRms, std::string& reason);

// Calibrates with `calibrate` (which calibrates the object from its complete pairs), then, while a
// view is beyond the bounds, drops the worst one and calibrates again. A dropped pair's target
// lists are emptied in `calibration`, which keeps it out of every later step (the calibration,
// the view errors, the file's list of pairs used). Then each dropped view is tried with its right
// image relabelled by each turn of the plate (PlateTurns): one that lies within the bounds of the
// final calibration is restored so labelled (`relabel(pair, order)` lets the caller reorder its
// own copies of the pair's right centres the same way), and the rig calibrated once more.
ViewRejection CalibrateDroppingOutliers(
    Oskelo::CV::Native64::Calibration& calibration,
    const std::function<void(Oskelo::CV::Native64::Calibration&)>& calibrate,
    const std::function<void(int pair, const std::vector<int>& order)>& relabel,
    const ViewRejectionOptions& options);

}  // namespace dotcal
