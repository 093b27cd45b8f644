#pragma once

#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

// The peer of the plate detection: OpenCV's blob-based symmetric circle grid, with a blob
// detector whose limits admit the plate's dots at every distance the benchmarks render.
class CirclesGridPeer {
 public:
  CirclesGridPeer() {
    cv::SimpleBlobDetector::Params params;
    params.minArea = 20;     // the smallest dots of a far, tilted plate cover a few tens of pixels
    params.maxArea = 20000;  // the nearest plates' dots; the dark ground around the box is larger
    blobs_ = cv::SimpleBlobDetector::create(params);
  }

  // Finds the 9 x 13 plate; false when the grid is not found.
  bool Find(const cv::Mat& image, std::vector<cv::Point2f>& centres) const {
    return cv::findCirclesGrid(image, cv::Size(9, 13), centres, cv::CALIB_CB_SYMMETRIC_GRID,
                               blobs_);
  }

 private:
  cv::Ptr<cv::FeatureDetector> blobs_;
};
