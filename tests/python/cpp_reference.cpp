// The C++ API's results on image files, as JSON, for the Python tests to compare with the
// module's results on the same files:
//   cpp_reference find IMAGE          FindTargetsInImage with the plate's detector at threshold 120
//   cpp_reference calibrate L R ...   ExtractPairFromImages per pair, ComputeStereoCalibration, and
//                                     the first accepted pair triangulated
#include <cstdio>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "native64/Native64.h"

namespace {

using nlohmann::json;
using namespace Oskelo::CV::Native64;

json Points(const std::vector<cv::Point2d>& points) {
  json out = json::array();
  for (const cv::Point2d& p : points) out.push_back({p.x, p.y});
  return out;
}

json Matrix(const cv::Mat& m) {
  json rows = json::array();
  for (int r = 0; r < m.rows; ++r) {
    json row = json::array();
    for (int c = 0; c < m.cols; ++c) row.push_back(m.at<double>(r, c));
    rows.push_back(row);
  }
  return rows;
}

cv::Mat Read(const std::string& path) {
  const cv::Mat image = cv::imread(path, cv::IMREAD_GRAYSCALE);
  if (image.empty()) throw std::runtime_error("cannot read " + path);
  return image;
}

json Find(const std::string& path) {
  // The plate's detector, as the Calibration object configures it.
  Calibration calibration;
  ImageProcessor detector;
  *detector.settings = *calibration.settings;
  detector.settings->thresholdState = 4;  // one whole-frame detection at threshold 120
  detector.settings->threshold = 120;
  std::vector<cv::Point2d> targets;
  const bool found = FindTargetsInImage(detector, Read(path), targets);
  return {
      {"found", found}, {"targets", Points(targets)}, {"threshold", detector.settings->threshold}};
}

json Calibrate(int count, char** paths) {
  Calibration calibration;
  json accepted = json::array();
  for (int i = 0; i + 1 < count; i += 2) {
    accepted.push_back(ExtractPairFromImages(calibration, Read(paths[i]), Read(paths[i + 1])));
  }
  calibration.ComputeStereoCalibration();
  std::vector<cv::Point3d> points;
  calibration.Triangulate(calibration.leftTargets[0], calibration.rightTargets[0], points);
  json triangulated = json::array();
  for (const cv::Point3d& p : points) triangulated.push_back({p.x, p.y, p.z});
  const CalibrationParameters& p = calibration.parameters;
  return {{"accepted", accepted},
          {"left_targets", Points(calibration.leftTargets[0])},
          {"camera_matrix_left", Matrix(p.cameraMatrixLeft)},
          {"camera_matrix_right", Matrix(p.cameraMatrixRight)},
          {"distortion_left", Matrix(p.distortionLeft)},
          {"rotation", Matrix(p.rotation)},
          {"translation", Matrix(p.translation)},
          {"rms_stereo", calibration.rmsStereo},
          {"triangulated", triangulated}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: cpp_reference find IMAGE | calibrate LEFT RIGHT ...\n");
    return 2;
  }
  const std::string command = argv[1];
  const json result = command == "find" ? Find(argv[2]) : Calibrate(argc - 2, argv + 2);
  std::printf("%s\n", result.dump().c_str());
  return 0;
}
