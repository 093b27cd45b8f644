#include "imgproc/EdgeDetector.h"

#include <cstdio>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "native64/Utils.h"
#include "utils/Display.h"

namespace Oskelo::CV::Native64::detail {
namespace {

void PrintStage(const Utils::Stopwatch& watch) {
  std::printf("\n%f", watch.GetElapsedTime());
  std::fflush(stdout);
}

}  // namespace

void EdgeDetector(cv::Mat& img) {
  Utils::Stopwatch watch;
  watch.Start();
  cv::Mat edges;
  cv::GaussianBlur(img, edges, cv::Size(5, 5), 0, 0, cv::BORDER_DEFAULT);
  cv::Canny(edges, edges, 20, 30, 5, false);
  watch.Stop();
  PrintStage(watch);
  Utils::ShowMat(edges);

  watch.Start();
  img = cv::Scalar(255) - img;
  watch.Stop();
  PrintStage(watch);

  watch.Start();
  cv::GaussianBlur(img, img, cv::Size(3, 3), 0, 0, cv::BORDER_DEFAULT);
  watch.Stop();
  PrintStage(watch);

  if (DisplayAvailable()) {
    cv::namedWindow("blurred", cv::WINDOW_AUTOSIZE);
    cv::imshow("blurred", img);
  }

  // The 16-bit response goes to its own matrix: OpenCV's Laplacian computed in place into a deeper
  // type reads rows it has already overwritten.
  watch.Start();
  cv::Mat response;
  cv::Laplacian(img, response, CV_16S, 1, 1.0, 0.0, cv::BORDER_DEFAULT);
  watch.Stop();
  PrintStage(watch);

  watch.Start();
  cv::convertScaleAbs(response, img, 1.0, 0.0);
  watch.Stop();
  PrintStage(watch);
  Utils::ShowMat(img);
}

}  // namespace Oskelo::CV::Native64::detail
