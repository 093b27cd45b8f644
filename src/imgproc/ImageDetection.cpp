#include "native64/ImageDetection.h"

#include "imgproc/TargetSearch.h"

namespace Oskelo::CV::Native64 {
namespace {

// Checks the image before anything changes, then gives the detector the image's size.
detail::ImageView TakeImageLayout(ImageProcessorSettings& settings, const cv::Mat& image) {
  const detail::ImageView frame = detail::ViewImage(image, "FindTargetsInImage");
  settings.imageRect.width = image.cols;
  settings.imageRect.height = image.rows;
  return frame;
}

}  // namespace

bool FindTargetsInImage(ImageProcessor& detector, const cv::Mat& image,
                        std::vector<cv::Point_<double>>& targets) {
  ImageProcessorSettings& settings = *detector.settings;
  const detail::ImageView frame = TakeImageLayout(settings, image);
  // One rectangle serves as both regions, from the whole image on every call, as in the short
  // ImageProcessor::FindTargets.
  cv::Rect_<int> region = settings.imageRect;
  return detail::FindTargets(settings, frame, targets, region, region, {});
}

bool FindTargetsInImage(ImageProcessor& detector, const cv::Mat& image,
                        std::vector<cv::Point_<double>>& targets, cv::Rect_<int>& roi,
                        cv::Rect_<int>& targetRect, const std::vector<cv::Rect_<int>>& exclusions) {
  ImageProcessorSettings& settings = *detector.settings;
  const detail::ImageView frame = TakeImageLayout(settings, image);
  return detail::FindTargets(settings, frame, targets, roi, targetRect, exclusions);
}

}  // namespace Oskelo::CV::Native64
