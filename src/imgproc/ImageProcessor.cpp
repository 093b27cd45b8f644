#include "native64/ImageProcessor.h"

#include "imgproc/Centroids.h"
#include "imgproc/ContourClustering.h"
#include "imgproc/EdgeDetector.h"
#include "imgproc/GridOrdering.h"
#include "imgproc/TargetSearch.h"
#include "imgproc/ThresholdSelection.h"
#include "utils/FlooredMod.h"

namespace Oskelo::CV::Native64 {

ImageProcessor::ImageProcessor()
    : settings(nullptr), settingsOwner(std::make_shared<ImageProcessorSettings>()) {
  settings = settingsOwner.get();
}

ImageProcessor& ImageProcessor::operator=(const ImageProcessor& other) {
  settingsOwner = other.settingsOwner;
  settings = other.settings;
  return *this;
}

ImageProcessor::~ImageProcessor() { settings = nullptr; }

bool ImageProcessor::FindTargets(const unsigned char* image,
                                 std::vector<cv::Point_<double>>& targets) {
  // One rectangle serves as both regions, starting from the whole image on every call.
  cv::Rect_<int> region = settings->imageRect;
  return FindTargets(image, targets, region, region, {}, false);
}

bool ImageProcessor::FindTargets(const unsigned char* image,
                                 std::vector<cv::Point_<double>>& targets, cv::Rect_<int>& roi,
                                 cv::Rect_<int>& targetRect, std::vector<cv::Rect_<int>> exclusions,
                                 bool noColumnOffset) {
  return detail::FindTargets(*settings, image, targets, roi, targetRect, exclusions,
                             noColumnOffset);
}

void ImageProcessor::FindRoiGrayscale(const cv::Mat& img) {
  detail::MeanGrey(img, settings->meanGrey);
}

void ImageProcessor::FindOptimalThreshold(const cv::Mat& img, const cv::Rect_<int>& region) {
  const std::size_t pixels =
      region.width > 0 && region.height > 0
          ? static_cast<std::size_t>(region.width) * static_cast<std::size_t>(region.height)
          : 0;
  settings->threshold = detail::OtsuThreshold(img, pixels);
}

std::vector<double> ImageProcessor::FindCentroidThreshold(const cv::Mat& patch,
                                                          const cv::Rect_<int>& /*rect*/) {
  // The patch is the rectangle's copy: its size is the rectangle's.
  return detail::CentroidThresholdLevels(patch);
}

int ImageProcessor::FindClusterWithHoles(const std::vector<std::vector<cv::Point_<int>>>& contours,
                                         const std::vector<cv::Vec<int, 4>>& hierarchy,
                                         std::vector<int>& indices,
                                         std::vector<cv::Rect_<int>> exclusions) {
  const ImageProcessorSettings& s = *settings;
  const detail::BoxGeometry geometry = detail::ExpectedBoxGeometry(
      s.dotCount, s.gridRows, s.gridColumns, s.dotSpacing, s.dotDiameter, s.sizeScale);
  return detail::FindClusterWithHoles(contours, hierarchy, indices, exclusions, geometry,
                                      s.dotCount, s.debug);
}

bool ImageProcessor::FindClusterWithoutHoles(
    const std::vector<std::vector<cv::Point_<int>>>& contours, std::vector<int>& indices) const {
  const ImageProcessorSettings& s = *settings;
  return detail::FindClusterWithoutHoles(
      contours, indices,
      detail::DotAreaLimit(s.dotSpacing, s.gridColumns, s.imageRect.width, s.imageRect.height),
      s.dotCount);
}

void ImageProcessor::FindContourGrayscale(const cv::Mat& img,
                                          std::vector<cv::Point_<int>> contour) {
  detail::ContourMeanGrey(img, std::move(contour), settings->meanGrey);
}

cv::Point_<double> ImageProcessor::Centroid(const std::vector<cv::Point_<int>>& contour) {
  return detail::ContourMean(contour);
}

cv::Point_<double> ImageProcessor::RefineCentroid(cv::Rect_<int> rect, const cv::Mat& image) {
  return detail::RefineCentroid(rect, image, settings->refineMargin, settings->refinePower,
                                settings->imageRect.tl());
}

void ImageProcessor::SortPoints(const std::vector<cv::Point_<double>>& points,
                                std::vector<cv::Point_<double>>& ordered) const {
  detail::SortGridPoints(points, settings->gridColumns, settings->gridRows, ordered,
                         settings->gridMap);
}

void ImageProcessor::SortLinearPoints(const std::vector<cv::Point_<double>>& /*points*/,
                                      std::vector<cv::Point_<double>>& /*ordered*/) const {
  // Linear targets are not ordered: the output keeps whatever it held.
}

void ImageProcessor::EdgeDetector(cv::Mat& img) { detail::EdgeDetector(img); }

int ImageProcessor::Mod(int a, int b) const { return detail::FlooredMod(a, b); }

}  // namespace Oskelo::CV::Native64
