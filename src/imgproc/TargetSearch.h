#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <unordered_map>
#include <vector>

#include "imgproc/BorderSummary.h"
#include "imgproc/OuterBorderScreen.h"
#include "native64/ImageProcessorSettings.h"

// The target search behind ImageProcessor::FindTargets and FindTargetsInImage: sees the caller's
// pixels as an image view, binarises the search region, picks the target among its contours,
// computes and orders the dot centres, and adapts threshold and search regions for the next call.
namespace Oskelo::CV::Native64::detail {

// The caller's pixels seen as an image, without a copy: a raw buffer's height rows of `width`
// pixels after `columnOffset` leading bytes each (row step width + columnOffset), or a cv::Mat
// with its own row step.
struct ImageView {
  cv::Mat pixels;        // CV_8UC1, 2-D, imageRect.width x imageRect.height
  int columnOffset = 0;  // leading non-image bytes per row of a raw buffer; added to every x
};

// Checks the buffer and the settings that decide its layout, then wraps it. The column offset is
// 0 when the width is 1248 or `noColumnOffset` is set, otherwise settings.columnOffset. Throws
// cv::Exception for a null buffer, an imageRect without positive size, an imageType other than
// CV_8UC1 or a negative column offset.
ImageView WrapImageBuffer(const unsigned char* image, const ImageProcessorSettings& settings,
                          bool noColumnOffset);

// Checks an image that carries its own layout and views it with column offset 0. Throws
// cv::Exception, naming `operation`, for an empty image, more than two dimensions or a type other
// than CV_8UC1.
ImageView ViewImage(const cv::Mat& image, const char* operation);

// Pulls the search region back into a width x height image: a side that starts before the image
// moves to 0, a size beyond the image shrinks to it, and a region that ends beyond the image
// moves to 0 with the image's size. `targetRect` follows each change made to `roi`.
void ClampRegions(cv::Rect& roi, cv::Rect& targetRect, int width, int height);

// Search region for the next call: the box with `margin` on every side, its width rounded toward
// zero to a multiple of 4. It may reach outside the image; the next call clamps it.
cv::Rect SearchRegionAroundBox(const cv::Rect& box, int margin);

// Search region after a miss: 2 pixels more on every side, the width rounded toward zero to a
// multiple of 4.
cv::Rect GrownSearchRegion(const cv::Rect& roi);

// Buffers of the border following and of the component screen that stand in for the contours of
// the box search, kept between searches so that each reuses what the last one allocated.
struct SearchBuffers {
  BorderScratch borders;
  OuterBorderScreen screen;
};

// A hash of a rectangle's x, y, width and height, for the measurements kept per region.
struct RegionKeyHash {
  std::size_t operator()(const std::array<int, 4>& key) const {
    std::size_t hash = 0;
    for (int value : key) hash = hash * 1000003u ^ static_cast<unsigned>(value);
    return hash;
  }
};

// Measurements of one frame that stay valid while the same frame is searched again, for instance
// at a sweep of thresholds in state 4. Each depends only on the frame's pixels and the region it
// was taken from, so reusing it gives exactly the result of measuring again.
struct FrameMeasurements {
  // Mean grey levels of regions (keyed by x, y, width, height); regions without pixels are not
  // kept, their measurement leaves the mean as it was.
  std::unordered_map<std::array<int, 4>, int, RegionKeyHash> regionMeans;
  // The last region whose grey levels were summed, and the sum (-1 before the first).
  cv::Rect summedRegion;
  std::int64_t summedTotal = -1;

  // The brightest grey level of each row and of each column of the frame: the pixels above a
  // threshold lie within the rows and columns whose brightest level is above it.
  std::vector<unsigned char> rowMaxima, columnMaxima;

  // Pixel counts of each grey level in every 8th row of the frame (empty until measured).
  std::vector<std::uint32_t> sampledLevels;

  // Buffers of the box search over the binary images; the searches of several frames may share
  // one set (`sharedBuffers`).
  SearchBuffers ownBuffers;
  SearchBuffers* sharedBuffers = nullptr;
  SearchBuffers& buffers() { return sharedBuffers != nullptr ? *sharedBuffers : ownBuffers; }

  // Refined centre and grey levels of each dot, keyed by the dot's bounding rectangle, for the
  // refinement settings they were measured with.
  struct Dot {
    cv::Point2d centre;
    std::vector<double> levels;
  };
  std::unordered_map<std::array<int, 4>, Dot, RegionKeyHash> dots;
  std::array<int, 4> dotSettings{};  // refineMargin, refinePower, imageRect.x, imageRect.y
};

// FindTargets, long form (see ImageProcessor), on a view whose size is imageRect's (checked).
// `measurements`, when given, must belong to the frame in `frame`; it saves measuring the same
// grey region again.
bool FindTargets(ImageProcessorSettings& settings, const ImageView& frame,
                 std::vector<cv::Point2d>& targets, cv::Rect& roi, cv::Rect& targetRect,
                 const std::vector<cv::Rect>& exclusions,
                 FrameMeasurements* measurements = nullptr);

// The same on the caller's raw buffer, wrapped by WrapImageBuffer.
bool FindTargets(ImageProcessorSettings& settings, const unsigned char* image,
                 std::vector<cv::Point2d>& targets, cv::Rect& roi, cv::Rect& targetRect,
                 const std::vector<cv::Rect>& exclusions, bool noColumnOffset,
                 FrameMeasurements* measurements = nullptr);

}  // namespace Oskelo::CV::Native64::detail
