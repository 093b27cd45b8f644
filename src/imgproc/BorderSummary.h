#pragma once

#include <limits>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

// Border lengths of a binary image without the border points.
namespace Oskelo::CV::Native64::detail {

// Every border of a binary image (non-zero pixels 8-connected, zero pixels 4-connected, the image
// surrounded by zeros) in the two-level form of cv::findContours with cv::RETR_CCOMP: outer
// borders of the components, and the hole borders of each component as its children. Borders are
// numbered in the order the raster scan meets them.
struct BorderSummary {
  std::vector<int> lengths;     // border points, as cv::CHAIN_APPROX_NONE lists them
  std::vector<int> parents;     // for a hole border: index of its component's outer border;
                                // -1 for an outer border
  std::vector<cv::Rect> boxes;  // bounding rectangle of each border's points (cv::boundingRect)
  // The borders in the order cv::findContours lists them: the outer borders from the last met to
  // the first, each followed by its holes from the last met to the first.
  std::vector<int> contourOrder;
};

// Buffers of the border following, kept between calls on images of one size so that each call
// clears only what the previous one wrote.
class BorderScratch {
 public:
  BorderScratch();
  ~BorderScratch();
  BorderScratch(const BorderScratch&) = delete;
  BorderScratch& operator=(const BorderScratch&) = delete;
  struct Buffers;
  Buffers& buffers() { return *buffers_; }

 private:
  std::unique_ptr<Buffers> buffers_;
};

// Suzuki and Abe's border following ("Topological structural analysis of digitized binary
// images by border following", 1985): one raster scan that follows each border as it is met and
// counts its points. Gives the same borders, lengths, parents, bounding rectangles and order as
// cv::findContours in the two-level mode with every border point listed, at a fraction of its
// cost, because no point is stored.
BorderSummary SummarizeBorders(const cv::Mat& binary);

// The same for the binary image of the pixels of `grey` above `threshold` (cv::threshold,
// THRESH_BINARY), without forming that image; rectangles are shifted by `offset`, as
// cv::findContours shifts its points.
BorderSummary SummarizeBordersAbove(const cv::Mat& grey, int threshold, cv::Point offset,
                                    BorderScratch& scratch);

// The number of points cv::findContours lists on the outer border of the component of the pixels
// of `grey` above `threshold` whose first pixel in raster order is `first` (column, row); or, for
// a border longer than `limit`, a number from `limit` on (the following stops there).
int OuterBorderLength(const cv::Mat& grey, int threshold, cv::Point first, BorderScratch& scratch,
                      int limit = std::numeric_limits<int>::max());

}  // namespace Oskelo::CV::Native64::detail
