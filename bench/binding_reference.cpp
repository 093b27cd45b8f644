// The C++ side of bench/binding_overhead.py: times the calls that the Python module wraps, on the
// same inputs, so that the script can report the module's overhead as a ratio from one run.
//   binding_reference LEFT RIGHT CALIB SIZE_SCALE REPEATS
// LEFT and RIGHT are a tracker frame pair, CALIB a dotcal calibration file. Prints JSON: the
// median time per call (ns, over 5 batches of REPEATS calls) of the tracking-form detection in
// LEFT and of triangulating the tracker's dots from both images.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "inputs/CalibrationFile.h"
#include "native64/Native64.h"

namespace {

using namespace Oskelo::CV::Native64;

// The 7-dot tracker's detector, as examples/python/track_video.py sets it up.
void ConfigureTracker(ImageProcessorSettings& s, double sizeScale) {
  s.gridColumns = 4;
  s.gridRows = 2;
  s.dotCount = 7;
  s.dotSpacing = 16.0;
  s.dotDiameter = 8.0;
  s.fixedThreshold = s.fixedRoi = false;
  s.thresholdState = 2;
  s.sizeScale = sizeScale;
}

template <typename Call>
double MedianNs(int repeats, Call call) {
  std::vector<double> batches;
  for (int b = 0; b < 5; ++b) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeats; ++i) call();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    batches.push_back(took.count() / repeats);
  }
  std::nth_element(batches.begin(), batches.begin() + 2, batches.end());
  return batches[2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: binding_reference LEFT RIGHT CALIB SIZE_SCALE REPEATS\n");
    return 2;
  }
  const cv::Mat left = cv::imread(argv[1], cv::IMREAD_GRAYSCALE);
  const cv::Mat right = cv::imread(argv[2], cv::IMREAD_GRAYSCALE);
  const double sizeScale = std::stod(argv[4]);
  const int repeats = std::stoi(argv[5]);
  const Calibration calibration = dotcal::MakeCalibration(dotcal::ReadCalibrationFile(argv[3]));

  // The tracked dots of both images, each after a first call that sets the threshold and region.
  std::vector<cv::Point2d> dots[2];
  cv::Rect roi[2], target[2];
  int side = 0;
  for (const cv::Mat* image : {&left, &right}) {
    ImageProcessor detector;
    ConfigureTracker(*detector.settings, sizeScale);
    roi[side] = target[side] = cv::Rect(0, 0, image->cols, image->rows);
    for (int i = 0; i < 2; ++i)
      FindTargetsInImage(detector, *image, dots[side], roi[side], target[side], {});
    ++side;
  }
  if (dots[0].size() != 7 || dots[1].size() != 7) {
    std::fprintf(stderr, "the tracker was not found in both images\n");
    return 1;
  }
  ImageProcessor detector;
  ConfigureTracker(*detector.settings, sizeScale);
  cv::Rect r(0, 0, left.cols, left.rows), t = r;
  std::vector<cv::Point2d> found;
  FindTargetsInImage(detector, left, found, r, t, {});
  int tracked = 0;
  const double trackNs = MedianNs(
      repeats, [&] { tracked += FindTargetsInImage(detector, left, found, r, t, {}) ? 1 : 0; });
  std::vector<cv::Point3d> points;
  const double triangulateNs =
      MedianNs(repeats, [&] { calibration.Triangulate(dots[0], dots[1], points); });
  std::printf("{\"track_ns\": %.1f, \"triangulate_ns\": %.1f, \"tracked\": %d}\n", trackNs,
              triangulateNs, tracked);
  return 0;
}
