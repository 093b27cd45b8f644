#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "imgproc/BorderSummary.h"
#include "imgproc/ContourClustering.h"
#include "imgproc/RowBits.h"

// Ruling out, for a whole binary image at once, that any component is a box the box search
// would accept.
namespace Oskelo::CV::Native64::detail {

// Labels the 8-connected components of a binary image by their runs (union-find over the runs
// that touch from row to row) and keeps each component's pixel count and extent. Two bounds on
// the outer border's length L then hold without following it:
//   L <= 8 n     for n pixels: the following is a cycle through distinct (pixel, previous
//                neighbour) states, of which a pixel has 8;
//   L >= 2 (e-1) for an extent of e rows or columns: the border passes through the component's
//                outermost pixels, and each step moves by one row or column at most.
// The holes are counted as the labelling goes (see Unite). Only the components with a box's
// holes that the bounds leave have their outer border followed, and only those with a box's
// outer border have their holes' borders followed.
class OuterBorderScreen {
 public:
  // False when no component of the pixels of `grey` above `threshold` is a box the box search
  // accepts: an outer border of a box's length (BoxLengthFits), at least one hole, and exactly
  // `dotCount` holes of a dot's length (DotLengthFits). True when one may be.
  bool MayHoldBox(const cv::Mat& grey, int threshold, const BoxGeometry& geometry, int dotCount,
                  BorderScratch& borders);

 private:
  // The runs of object pixels of one row: its bits, the runs' first and last columns, and a
  // component each belongs to.
  struct RowRuns {
    RowBits bits{0};
    std::vector<int> firsts, lasts, ids;
    int count = 0;
  };
  // Per started component; meaningful at the roots, each the first started of its component.
  struct Component {
    std::uint32_t pixels = 0;  // fewer than the 2^32 the border summary can index
    std::uint32_t holes = 0;
    int firstRow = 0, firstColumn = 0;  // the component's first pixel in raster order
    int bottom = 0, left = 0, right = 0;
  };

  void Label(const cv::Mat& grey, int threshold);
  // Cloned for processors with a population count instruction, which the run counts use (the
  // clone attribute must stand on the declaration and the definition alike).
  __attribute__((target_clones("popcnt", "default"))) void LabelRow(int r);
  int Root(int id);
  void Unite(int a, int b);
  struct Candidate {
    cv::Point first;  // the component's first pixel in raster order
    cv::Rect box;     // its bounding rectangle
  };
  std::vector<Candidate> Candidates(const BoxGeometry& geometry, int dotCount) const;

  std::vector<int> parents_;  // per started component
  std::vector<Component> components_;
  RowRuns previous_, current_;
};

}  // namespace Oskelo::CV::Native64::detail
