#include "imgproc/TargetSearch.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <opencv2/imgproc.hpp>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imgproc/BorderSummary.h"
#include "imgproc/Centroids.h"
#include "imgproc/ContourClustering.h"
#include "imgproc/GridOrdering.h"
#include "imgproc/ThresholdSelection.h"
#include "imgproc/ThresholdStateMachine.h"
#include "native64/Utils.h"

namespace Oskelo::CV::Native64::detail {
namespace {

constexpr int kMaxGrey = 255;
// The camera whose rows carry no leading bytes delivers images of this width.
constexpr int kWidthWithoutColumnOffset = 1248;
// Pixels by which a lost search region grows on every side per call.
constexpr int kGrowthPerSide = 2;
// Fewer dots than this come back unordered: a grid outline needs four corners.
constexpr int kMinDotsToOrder = 4;

// Pixels the border summary can index (with its frame).
constexpr double kLargestSummary = 4294967295.0;
// The grey levels of every this many rows of a frame are counted to tell noisy thresholds.
constexpr int kLevelSampleStep = 8;  // as FrameMeasurements::sampledLevels says
// A threshold is noisy when more than 1 in this many pixels of the frame lies within the levels
// [threshold - 1, threshold + 2]: sensor noise then binarises into tens of thousands of borders.
// (On rendered plates: above 1 in 128 only at the background's and the plate's own level.)
constexpr double kNoisyShare = 128.0;

enum ContourMode { kListOfDots = 1, kBoxWithHoles = 2 };
enum ThresholdState {
  kTracking = 0,
  kBrightnessRetry = 1,
  kOtsuRetry = 2,
  kWholeFrame = 3,
  kForcedWholeFrame = 4
};

int RoundTowardZeroToMultipleOf4(int value) { return value / 4 * 4; }

int SaturatedInt(long long value) {
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool InsideImage(const cv::Rect& region, const cv::Mat& image) {
  return region.x >= 0 && region.y >= 0 && region.width >= 0 && region.height >= 0 &&
         region.width <= image.cols - region.x && region.height <= image.rows - region.y;
}

bool HasPixels(const cv::Rect& region) { return region.width > 0 && region.height > 0; }

std::array<int, 4> Key(const cv::Rect& r) { return {r.x, r.y, r.width, r.height}; }

// The sum of the grey levels of a region of the view (empty regions sum to 0), 16 pixels at a
// time into 64-bit lanes (SSE2 sums of absolute differences from 0).
std::int64_t GreySum(const cv::Mat& view, const cv::Rect& region) {
  std::int64_t total = 0;
  for (int y = region.y; y < region.y + region.height; ++y) {
    const unsigned char* row = view.ptr<unsigned char>(y) + region.x;
    int x = 0;
#if defined(__SSE2__)
    __m128i lanes = _mm_setzero_si128();
    for (; x + 16 <= region.width; x += 16) {
      const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
      lanes = _mm_add_epi64(lanes, _mm_sad_epu8(pixels, _mm_setzero_si128()));
    }
    alignas(16) std::int64_t halves[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(halves), lanes);
    total += halves[0] + halves[1];
#endif
    for (; x < region.width; ++x) total += row[x];
  }
  return total;
}

// The sum over `region` from the sum over `known`: the known sum less the parts of `known`
// outside `region`, plus the parts of `region` outside `known` (each part up to four strips).
std::int64_t GreySumFrom(const cv::Mat& view, const cv::Rect& known, std::int64_t knownSum,
                         const cv::Rect& region) {
  const cv::Rect common = known & region;
  const auto outside = [&view](const cv::Rect& a, const cv::Rect& inner) {
    const std::array<cv::Rect, 4> strips = {
        cv::Rect(a.x, a.y, a.width, inner.y - a.y),                               // above
        cv::Rect(a.x, inner.br().y, a.width, a.br().y - inner.br().y),            // below
        cv::Rect(a.x, inner.y, inner.x - a.x, inner.height),                      // left
        cv::Rect(inner.br().x, inner.y, a.br().x - inner.br().x, inner.height)};  // right
    std::int64_t total = 0;
    for (const cv::Rect& strip : strips) total += GreySum(view, strip);
    return total;
  };
  return knownSum - outside(known, common) + outside(region, common);
}

// Mean grey level of a region into `mean` (left as it was when the region has no pixels),
// measured once per frame and region when the frame's measurements are kept. A region that
// mostly overlaps the last one summed (the box of the last threshold, say) is summed from it.
void MeasureRegionMean(const cv::Mat& view, const cv::Rect& region, int& mean,
                       FrameMeasurements* measurements) {
  if (measurements == nullptr) {
    MeanGrey(view(region), mean);
    return;
  }
  const auto known = measurements->regionMeans.find(Key(region));
  if (known != measurements->regionMeans.end()) {
    mean = known->second;
    return;
  }
  if (!HasPixels(region)) return;
  const auto area = [](const cv::Rect& r) {
    return static_cast<std::int64_t>(r.width) * static_cast<std::int64_t>(r.height);
  };
  const cv::Rect& last = measurements->summedRegion;
  const bool fromLast = measurements->summedTotal >= 0 && 2 * area(last & region) > area(region);
  const std::int64_t sum =
      fromLast ? GreySumFrom(view, last, measurements->summedTotal, region) : GreySum(view, region);
  measurements->summedRegion = region;
  measurements->summedTotal = sum;
  mean = static_cast<int>(sum / area(region));
  measurements->regionMeans.emplace(Key(region), mean);
}

// Refined centre of one dot (NaN when no pixel is darker than its surroundings) and, when wanted,
// its background and centre grey levels; measured once per frame and dot rectangle when the
// frame's measurements are kept.
const FrameMeasurements::Dot& MeasureDot(const ImageProcessorSettings& settings,
                                         const cv::Mat& view, const cv::Rect& dotBox,
                                         bool withLevels, FrameMeasurements* measurements,
                                         FrameMeasurements::Dot& scratch) {
  const auto measure = [&](FrameMeasurements::Dot& dot) {
    dot.centre = RefineCentroid(dotBox, view, settings.refineMargin, settings.refinePower,
                                settings.imageRect.tl());
    if (withLevels) dot.levels = CentroidThresholdLevels(view(dotBox));
  };
  if (measurements == nullptr) {
    measure(scratch);
    return scratch;
  }
  const std::array<int, 4> dotSettings = {settings.refineMargin, settings.refinePower,
                                          settings.imageRect.x, settings.imageRect.y};
  if (measurements->dotSettings != dotSettings) {
    measurements->dots.clear();
    measurements->dotSettings = dotSettings;
  }
  auto [entry, added] = measurements->dots.try_emplace(Key(dotBox));
  FrameMeasurements::Dot& dot = entry->second;
  if (added) {
    measure(dot);
  } else if (withLevels && dot.levels.empty()) {
    dot.levels = CentroidThresholdLevels(view(dotBox));
  }
  return dot;
}

// Threshold for this call, from the state of the previous ones.
void PrepareThreshold(ImageProcessorSettings& settings, const cv::Mat& view,
                      const cv::Rect& targetRect, FrameMeasurements* measurements) {
  if (HasPixels(targetRect)) MeasureRegionMean(view, targetRect, settings.meanGrey, measurements);
  switch (settings.thresholdState) {
    case kTracking:
    case kBrightnessRetry:
      settings.threshold =
          ScaleThresholdByBrightness(settings.threshold, settings.meanGrey, settings.referenceGrey);
      break;
    case kOtsuRetry:
      settings.threshold = OtsuThreshold(
          view(targetRect), static_cast<std::size_t>(targetRect.width) * targetRect.height);
      break;
    default:  // states 3 and 4 keep the threshold
      break;
  }
}

// Whether the box search may read the border summary instead of the contours: the plain box
// search, whose choice depends on nothing but the contours' lengths and hierarchy, while a frame
// is searched again and again.
bool SummaryServes(const ImageProcessorSettings& settings, const std::vector<cv::Rect>& exclusions,
                   const FrameMeasurements* measurements) {
  return measurements != nullptr && settings.contourMode == kBoxWithHoles &&
         settings.contourMethod == cv::CHAIN_APPROX_NONE && !settings.debug && exclusions.empty();
}

// The brightest level of each row into `rows` and of each column into `columns` (all 0 on
// entry), 16 pixels at a time where SSE2 is there.
void BrightestLevels(const cv::Mat& view, unsigned char* rows, unsigned char* columns) {
  for (int r = 0; r < view.rows; ++r) {
    const unsigned char* row = view.ptr<unsigned char>(r);
    unsigned char brightest = 0;
    int c = 0;
#if defined(__SSE2__)
    __m128i rowMax = _mm_setzero_si128();
    for (; c + 16 <= view.cols; c += 16) {
      const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
      __m128i* column = reinterpret_cast<__m128i*>(columns + c);
      _mm_storeu_si128(column, _mm_max_epu8(_mm_loadu_si128(column), pixels));
      rowMax = _mm_max_epu8(rowMax, pixels);
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), rowMax);
    for (unsigned char lane : lanes) brightest = std::max(brightest, lane);
#endif
    for (; c < view.cols; ++c) {
      brightest = std::max(brightest, row[c]);
      columns[c] = std::max(columns[c], row[c]);
    }
    rows[r] = brightest;
  }
}

// The brightest level of every row and column of the frame, measured once per frame.
void MeasureMaxima(const cv::Mat& view, FrameMeasurements& measurements) {
  if (measurements.rowMaxima.size() == static_cast<std::size_t>(view.rows) &&
      measurements.columnMaxima.size() == static_cast<std::size_t>(view.cols)) {
    return;
  }
  measurements.rowMaxima.assign(static_cast<std::size_t>(view.rows), 0);
  measurements.columnMaxima.assign(static_cast<std::size_t>(view.cols), 0);
  BrightestLevels(view, measurements.rowMaxima.data(), measurements.columnMaxima.data());
}

// The first and one past the last index whose level lies above `threshold` (both 0 when none).
std::pair<int, int> SpanAbove(const std::vector<unsigned char>& maxima, int threshold) {
  int first = 0, end = static_cast<int>(maxima.size());
  while (first < end && maxima[static_cast<std::size_t>(first)] <= threshold) ++first;
  while (end > first && maxima[static_cast<std::size_t>(end - 1)] <= threshold) --end;
  return first < end ? std::make_pair(first, end) : std::make_pair(0, 0);
}

// The part of the search region that can hold object pixels at the threshold: for the whole
// frame, the rows and columns with a pixel above it. Outside it the binary image is background,
// so its contours are those of the whole region.
cv::Rect BrightPart(const cv::Mat& view, const cv::Rect& roi, int threshold,
                    FrameMeasurements& measurements) {
  if (roi != cv::Rect(0, 0, view.cols, view.rows)) return roi;
  MeasureMaxima(view, measurements);
  const auto [top, bottom] = SpanAbove(measurements.rowMaxima, threshold);
  const auto [left, right] = SpanAbove(measurements.columnMaxima, threshold);
  return {left, top, right - left, bottom - top};
}

// The box the settings describe.
BoxGeometry Geometry(const ImageProcessorSettings& settings) {
  return ExpectedBoxGeometry(settings.dotCount, settings.gridRows, settings.gridColumns,
                             settings.dotSpacing, settings.dotDiameter, settings.sizeScale);
}

// Pixel counts per grey level of every kLevelSampleStep-th row, measured once per frame.
const std::vector<std::uint32_t>& SampledLevels(const cv::Mat& view,
                                                FrameMeasurements& measurements) {
  if (measurements.sampledLevels.empty()) {
    // Four partial histograms, so that runs of one level do not wait on one counter.
    std::array<std::array<std::uint32_t, kMaxGrey + 1>, 4> partial{};
    const int cols = view.cols;
    for (int r = 0; r < view.rows; r += kLevelSampleStep) {
      const unsigned char* row = view.ptr<unsigned char>(r);
      int c = 0;
      for (; c + 4 <= cols; c += 4) {
        ++partial[0][row[c]];
        ++partial[1][row[c + 1]];
        ++partial[2][row[c + 2]];
        ++partial[3][row[c + 3]];
      }
      for (; c < cols; ++c) ++partial[0][row[c]];
    }
    measurements.sampledLevels.assign(kMaxGrey + 1, 0);
    for (int level = 0; level <= kMaxGrey; ++level) {
      measurements.sampledLevels[static_cast<std::size_t>(level)] =
          partial[0][level] + partial[1][level] + partial[2][level] + partial[3][level];
    }
  }
  return measurements.sampledLevels;
}

// Whether many pixels of the frame lie close to the threshold (a guess, from sampled rows, that
// only decides how the box search goes about its work, never what it finds).
bool NoisyAt(const cv::Mat& view, int threshold, FrameMeasurements& measurements) {
  if (threshold < 0 || threshold >= kMaxGrey) return false;  // a uniform binary image
  const std::vector<std::uint32_t>& levels = SampledLevels(view, measurements);
  double near = 0.0;
  for (int level = std::max(threshold - 1, 0); level <= std::min(threshold + 2, kMaxGrey); ++level)
    near += levels[static_cast<std::size_t>(level)];
  const double sampledPixels =
      static_cast<double>((view.rows + kLevelSampleStep - 1) / kLevelSampleStep) * view.cols;
  return near * kNoisyShare > sampledPixels;
}

// Binarises the search region and extracts its contours in image view coordinates.
void ExtractContours(const ImageProcessorSettings& settings, const cv::Mat& view,
                     const cv::Rect& roi, std::vector<std::vector<cv::Point>>& contours,
                     std::vector<cv::Vec4i>& hierarchy) {
  if (!HasPixels(roi)) return;
  const cv::Mat work = view(roi);
  if (settings.debug) Utils::ShowMat(work);
  cv::Mat binary;
  cv::threshold(work, binary, settings.threshold, kMaxGrey, cv::THRESH_BINARY);
  if (settings.debug) Utils::ShowMat(binary);
  cv::findContours(binary, contours, hierarchy, settings.contourMode, settings.contourMethod,
                   roi.tl());
}

// The target's contours as the search found them: the contours themselves, or the border summary
// that stands for them, with the contours extracted only when a dot needs its points.
class TargetContours {
 public:
  TargetContours(const ImageProcessorSettings& settings, const cv::Mat& view, const cv::Rect& roi)
      : settings_(settings), view_(view), roi_(roi) {}

  void Extract() { ExtractContours(settings_, view_, roi_, contours_, hierarchy_); }
  void Summarise(FrameMeasurements& measurements) {
    const cv::Rect part = BrightPart(view_, roi_, settings_.threshold, measurements);
    // The summary indexes its padded image in 32 bits; a larger one keeps the contours.
    if ((static_cast<double>(part.width) + 2) * (static_cast<double>(part.height) + 2) >
        kLargestSummary) {
      Extract();
      return;
    }
    summarised_ = true;
    if (!HasPixels(part)) return;
    // At a noisy threshold a screen of the components first rules out, at a fraction of the
    // summary's cost, that any component is a box the search accepts; the summary then stays
    // empty, which no box search can tell from a summary without a box.
    if (NoisyAt(view_, settings_.threshold, measurements) && !BoxMayFit(part, measurements)) {
      return;
    }
    summary_ = SummarizeBordersAbove(view_(part), settings_.threshold, part.tl(),
                                     measurements.buffers().borders);
  }

  bool summarised() const { return summarised_; }
  const BorderSummary& summary() const { return summary_; }
  const std::vector<std::vector<cv::Point>>& contours() const { return contours_; }
  const std::vector<cv::Vec4i>& hierarchy() const { return hierarchy_; }

  cv::Rect Box(int index) const {
    if (!summarised_) return cv::boundingRect(contours_[static_cast<std::size_t>(index)]);
    return summary_.boxes[static_cast<std::size_t>(summary_.contourOrder[index])];
  }

  // The mean of a contour's points; the contours are extracted the first time one is needed.
  cv::Point2d Mean(int index) {
    if (summarised_ && contours_.empty()) Extract();
    return ContourMean(contours_[static_cast<std::size_t>(index)]);
  }

 private:
  // Whether a box the search accepts may lie in the part of the view.
  bool BoxMayFit(const cv::Rect& part, FrameMeasurements& measurements) const {
    SearchBuffers& buffers = measurements.buffers();
    return buffers.screen.MayHoldBox(view_(part), settings_.threshold, Geometry(settings_),
                                     settings_.dotCount, buffers.borders);
  }

  const ImageProcessorSettings& settings_;
  const cv::Mat& view_;
  cv::Rect roi_;
  bool summarised_ = false;
  BorderSummary summary_;
  std::vector<std::vector<cv::Point>> contours_;
  std::vector<cv::Vec4i> hierarchy_;
};

// The dot contours of the target and its box, or false when the contours hold no target.
bool ChooseTarget(ImageProcessorSettings& settings, const TargetContours& found,
                  const std::vector<cv::Rect>& exclusions, std::vector<int>& indices,
                  cv::Rect& box) {
  if (settings.contourMode == kBoxWithHoles) {
    const BoxGeometry geometry = Geometry(settings);
    const int best =
        found.summarised()
            ? FindClusterWithHoles(found.summary(), indices, geometry, settings.dotCount)
            : FindClusterWithHoles(found.contours(), found.hierarchy(), indices, exclusions,
                                   geometry, settings.dotCount, settings.debug);
    if (best < 0) {
      AdvanceOnFailure(settings);
      return false;
    }
    box = found.Box(best);
    AdvanceOnSuccess(settings);
    return true;
  }
  if (settings.contourMode == kListOfDots) {
    const double limit = DotAreaLimit(settings.dotSpacing, settings.gridColumns,
                                      settings.imageRect.width, settings.imageRect.height);
    if (!FindClusterWithoutHoles(found.contours(), indices, limit, settings.dotCount)) {
      return false;
    }
    box = cv::Rect();
    for (int j : indices) box |= found.Box(j);
    return true;
  }
  return false;
}

// Regions after a miss: back to the whole image once the counter is 0, otherwise a search region
// grown around the last one; at the image border in state 3 the whole frame is measured instead,
// and a threshold still 0 (never set) starts from that grey level.
void AdaptRegionsAfterMiss(ImageProcessorSettings& settings, const cv::Mat& view, cv::Rect& roi,
                           cv::Rect& targetRect, FrameMeasurements* measurements) {
  if (settings.fixedRoi) return;
  if (settings.stateCounter == 0) {
    roi = settings.imageRect;
    targetRect = settings.imageRect;
    return;
  }
  if (roi.x > kGrowthPerSide && roi.y > kGrowthPerSide) {
    roi = GrownSearchRegion(roi);
  } else if (settings.thresholdState == kWholeFrame) {
    MeasureRegionMean(view, cv::Rect(0, 0, view.cols, view.rows), settings.meanGrey, measurements);
  }
  if (settings.threshold == 0) settings.threshold = settings.meanGrey;
}

void PrintSortResult(std::size_t candidates, std::size_t sorted) {
  std::cout << "Sorted. Started with " << candidates << " and ended up with " << sorted
            << std::endl;
}

}  // namespace

ImageView WrapImageBuffer(const unsigned char* image, const ImageProcessorSettings& settings,
                          bool noColumnOffset) {
  if (image == nullptr) CV_Error(cv::Error::StsNullPtr, "FindTargets: the image buffer is null");
  const cv::Rect& rect = settings.imageRect;
  if (!HasPixels(rect)) {
    CV_Error(cv::Error::StsBadSize, "FindTargets: imageRect needs a positive width and height");
  }
  if (settings.imageType != CV_8UC1) {
    CV_Error(cv::Error::StsUnsupportedFormat,
             "FindTargets: imageType must be 0 (CV_8UC1, one byte per pixel)");
  }
  ImageView view;
  const bool offsetApplies = rect.width != kWidthWithoutColumnOffset && !noColumnOffset;
  view.columnOffset = offsetApplies ? settings.columnOffset : 0;
  if (view.columnOffset < 0) {
    CV_Error(cv::Error::StsOutOfRange, "FindTargets: columnOffset must not be negative");
  }
  // Only the image columns are wrapped: every byte of the view lies inside the caller's buffer of
  // height rows of (width + offset) bytes.
  const std::size_t rowStep = static_cast<std::size_t>(rect.width) + view.columnOffset;
  view.pixels = cv::Mat(rect.height, rect.width, CV_8UC1,
                        const_cast<unsigned char*>(image) + view.columnOffset, rowStep);
  return view;
}

ImageView ViewImage(const cv::Mat& image, const char* operation) {
  if (image.empty()) {
    CV_Error(cv::Error::StsBadArg, cv::format("%s: the image is empty", operation));
  }
  if (image.dims != 2) {
    CV_Error(cv::Error::StsBadSize,
             cv::format("%s: the image has %d dimensions, not 2", operation, image.dims));
  }
  if (image.type() != CV_8UC1) {
    CV_Error(cv::Error::StsUnsupportedFormat,
             cv::format("%s: the image must be CV_8UC1 (8-bit, one channel), not %s", operation,
                        cv::typeToString(image.type()).c_str()));
  }
  return {image, 0};
}

void ClampRegions(cv::Rect& roi, cv::Rect& targetRect, int width, int height) {
  if (roi.x < 0) roi.x = targetRect.x = 0;
  if (roi.y < 0) roi.y = targetRect.y = 0;
  if (roi.width > width) roi.width = targetRect.width = width;
  if (roi.height > height) roi.height = targetRect.height = height;
  // Compared in 64 bits so that regions far outside (or of a negative size) cannot overflow.
  if (static_cast<long long>(roi.x) + roi.width > width) {
    roi.x = targetRect.x = 0;
    roi.width = targetRect.width = width;
  }
  if (static_cast<long long>(roi.y) + roi.height > height) {
    roi.y = targetRect.y = 0;
    roi.height = targetRect.height = height;
  }
}

cv::Rect SearchRegionAroundBox(const cv::Rect& box, int margin) {
  // In 64 bits and saturated to int: a margin of any size gives a region, which the next call
  // clamps to the image.
  const long long m = margin;
  return {SaturatedInt(box.x - m), SaturatedInt(box.y - m),
          RoundTowardZeroToMultipleOf4(SaturatedInt(box.width + 2 * m)),
          SaturatedInt(box.height + 2 * m)};
}

cv::Rect GrownSearchRegion(const cv::Rect& roi) {
  return {roi.x - kGrowthPerSide, roi.y - kGrowthPerSide,
          RoundTowardZeroToMultipleOf4(roi.width + 2 * kGrowthPerSide),
          roi.height + 2 * kGrowthPerSide};
}

bool FindTargets(ImageProcessorSettings& settings, const unsigned char* image,
                 std::vector<cv::Point2d>& targets, cv::Rect& roi, cv::Rect& targetRect,
                 const std::vector<cv::Rect>& exclusions, bool noColumnOffset,
                 FrameMeasurements* measurements) {
  return FindTargets(settings, WrapImageBuffer(image, settings, noColumnOffset), targets, roi,
                     targetRect, exclusions, measurements);
}

bool FindTargets(ImageProcessorSettings& settings, const ImageView& frame,
                 std::vector<cv::Point2d>& targets, cv::Rect& roi, cv::Rect& targetRect,
                 const std::vector<cv::Rect>& exclusions, FrameMeasurements* measurements) {
  const cv::Mat& view = frame.pixels;
  CV_Assert(view.type() == CV_8UC1 && view.dims == 2 && frame.columnOffset >= 0 &&
            view.cols == settings.imageRect.width && view.rows == settings.imageRect.height);

  if (!settings.fixedRoi) {
    // The forced whole-frame state resets the regions before anything is cut, so that the
    // pixels searched and the origin given to the contours agree.
    if (!settings.fixedThreshold && settings.thresholdState == kForcedWholeFrame) {
      roi = settings.imageRect;
      targetRect = settings.imageRect;
    }
    ClampRegions(roi, targetRect, view.cols, view.rows);
  }
  if (!InsideImage(roi, view) || !InsideImage(targetRect, view)) {
    CV_Error(cv::Error::StsBadArg,
             "FindTargets: the search region or the grey region lies outside the image");
  }

  if (!settings.fixedThreshold) PrepareThreshold(settings, view, targetRect, measurements);

  TargetContours found(settings, view, roi);
  if (SummaryServes(settings, exclusions, measurements)) {
    found.Summarise(*measurements);
  } else if (settings.contourMode == kListOfDots || settings.contourMode == kBoxWithHoles) {
    found.Extract();
  }

  std::vector<int> indices;
  cv::Rect box;
  if (!ChooseTarget(settings, found, exclusions, indices, box)) {
    AdaptRegionsAfterMiss(settings, view, roi, targetRect, measurements);
    return false;
  }

  // Regions for the next call follow the box.
  cv::Rect greyRegion = targetRect;
  if (!settings.fixedRoi) {
    roi = SearchRegionAroundBox(box, settings.roiMargin);
    targetRect = box;
    greyRegion = box;
  }
  if (!settings.fixedThreshold) {
    MeasureRegionMean(view, greyRegion, settings.meanGrey, measurements);
  }

  // Dot centres, and the grey levels of each dot for the next threshold.
  std::vector<cv::Point2d> candidates;
  std::vector<double> backgroundLevels, centreLevels;
  candidates.reserve(indices.size());
  FrameMeasurements::Dot scratch;
  for (int j : indices) {
    const FrameMeasurements::Dot& dot =
        MeasureDot(settings, view, found.Box(j), !settings.fixedThreshold, measurements, scratch);
    cv::Point2d centre = dot.centre;
    if (std::isnan(centre.x)) centre = found.Mean(j);
    centre.x += frame.columnOffset;
    candidates.push_back(centre);
    if (!settings.fixedThreshold && dot.levels.size() == 2) {
      backgroundLevels.push_back(dot.levels[0]);
      centreLevels.push_back(dot.levels[1]);
    }
  }
  if (!settings.fixedThreshold) {
    ThresholdFromDotLevels(backgroundLevels, centreLevels, settings.threshold);
  }

  if (settings.debug) std::cout << "Sorting..." << std::endl;
  if (static_cast<int>(candidates.size()) < kMinDotsToOrder) {
    targets = candidates;
  } else {
    SortGridPoints(candidates, settings.gridColumns, settings.gridRows, targets, settings.gridMap);
  }
  if (settings.debug) PrintSortResult(candidates.size(), targets.size());
  return !targets.empty() && targets.size() == indices.size();
}

}  // namespace Oskelo::CV::Native64::detail
