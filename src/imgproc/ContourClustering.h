#pragma once

#include <limits>
#include <opencv2/core.hpp>
#include <vector>

#include "imgproc/BorderSummary.h"

// Picks the target among the contours of a binarised search region: a bright box whose holes are
// the dots (two-level hierarchy), or a set of separate dot contours.
namespace Oskelo::CV::Native64::detail {

// Contour lengths (in contour points, i.e. boundary pixels) a target's box and dots may have.
struct BoxGeometry {
  double minBoxLength = 0.0;    // a box must be strictly longer ...
  double maxBoxLength = 0.0;    // ... and strictly shorter
  double idealBoxLength = 0.0;  // scores are distances from it
  double dotRatio = 0.0;        // dot perimeter / box perimeter of the nominal target
  double lowFactor = 0.0;       // dot window: box length * dotRatio * [lowFactor, highFactor]
  double highFactor = 0.0;
};

// Lengths a hole of a box of length `boxLength` must lie strictly between to count as a dot, and
// the length the dot scores are measured from.
struct DotWindow {
  double low = 0.0;
  double high = 0.0;
  double expected = 0.0;
};

// Whether a contour of this length can be the box: strictly inside the box window.
bool BoxLengthFits(const BoxGeometry& geometry, double boxLength);
DotWindow DotWindowFor(const BoxGeometry& geometry, double boxLength);
// Whether a hole of this length counts as a dot: strictly inside the window.
bool DotLengthFits(const DotWindow& window, double dotLength);

// Scores of the box search, lower is better, in boundary pixels. They are kept in 64 bits and
// start from no score at all, so that any qualifying box can be chosen: a plate in a large image
// scores far more than 10000 (its outline alone is tens of thousands of pixels long, and each of
// its dots' lengths differs from the window's middle by tens of pixels).
using Score = long long;
constexpr Score kNoScore = std::numeric_limits<Score>::max();
// The running score of a box's dots after one more dot: its length's distance from the window's
// middle added, the sum truncated toward zero (kNoScore when it is not finite or beyond 1e18).
Score AddDotScore(Score dotScore, double dotLength, const DotWindow& window);
// A box's score: its length's distance from the ideal plus its dots' score, truncated likewise.
Score BoxScore(const BoxGeometry& geometry, double boxLength, Score dotScore);

// The expected geometry for a target of `dotCount` dots on a gridRows x gridColumns grid with the
// given spacing and dot diameter (pattern units), the box window scaled by `sizeScale`.
BoxGeometry ExpectedBoxGeometry(int dotCount, int gridRows, int gridColumns, double dotSpacing,
                                double dotDiameter, double sizeScale);

// Chooses the box among the contours that have holes (hierarchy of cv::RETR_CCOMP): its length
// must lie strictly inside the box window and exactly `dotCount` of its holes must have a length
// strictly inside the dot window and no point in an exclusion rectangle (bounds included). A hole
// of dot length that touches an exclusion discards the dots accepted before it. Score: distance
// of the box length from the ideal plus the summed (truncated) distances of the dot lengths from
// the window's middle; the lowest score wins, ties keep the lower contour index. Returns the box's
// contour index and its dot contours in `indices` (hierarchy order), or -1 with `indices` as
// passed. `debug` prints each candidate as it is examined.
int FindClusterWithHoles(const std::vector<std::vector<cv::Point>>& contours,
                         const std::vector<cv::Vec4i>& hierarchy, std::vector<int>& indices,
                         const std::vector<cv::Rect>& exclusions, const BoxGeometry& geometry,
                         int dotCount, bool debug);

// FindClusterWithHoles without exclusions on the contours that `borders` stand for, indexed as
// cv::findContours lists them (BorderSummary::contourOrder): the same box and dots, by contour
// index.
int FindClusterWithHoles(const BorderSummary& borders, std::vector<int>& indices,
                         const BoxGeometry& geometry, int dotCount);

// Largest area (pixels) a dot contour may have for the list search: (2 * spacing * columns + 1)
// times the image area; with 0 columns, the image area.
double DotAreaLimit(double dotSpacing, int gridColumns, int imageWidth, int imageHeight);

// Every contour whose unsigned area lies strictly between 0 and `areaLimit` is a dot. True, with
// their indices in contour order, when there are exactly `dotCount`; false with `indices` empty
// otherwise.
bool FindClusterWithoutHoles(const std::vector<std::vector<cv::Point>>& contours,
                             std::vector<int>& indices, double areaLimit, int dotCount);

// Mean grey level of the pixels enclosed by a contour, scanned row by row: the contour points are
// sorted by row then column, and each row from its lowest to (excluding) its highest contour
// column is summed. Points of row 0 join the initial span (row 0, columns 0 to 0), which counts
// only when no other row follows. Spans are clipped to the image. Returns false and leaves `mean`
// as it was when no pixel is counted.
bool ContourMeanGrey(const cv::Mat& img, std::vector<cv::Point> contour, int& mean);

}  // namespace Oskelo::CV::Native64::detail
