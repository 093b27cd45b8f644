#include "inputs/RosCameraInfo.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "CommandError.h"

namespace dotcal {
namespace {

// plumb_bob, ROS's name for OpenCV's five-coefficient model, takes k1 k2 p1 p2 k3.
constexpr std::size_t kPlumbBobCoefficients = 5;

// Seventeen significant digits carry every double through text and back unchanged.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A matrix as ROS writes it: a map of its shape and its values row by row.
std::string MatrixEntry(const std::string& key, int rows, int cols, const double* values,
                        const std::string& path) {
  std::string data;
  for (int i = 0; i < rows * cols; ++i) {
    if (!std::isfinite(values[i])) throw WorkFailed(path + ": " + key + " is not finite");
    data += (i > 0 ? ", " : "") + Number(values[i]);
  }
  return key + ":\n  rows: " + std::to_string(rows) + "\n  cols: " + std::to_string(cols) +
         "\n  data: [" + data + "]\n";
}

// The name as a double-quoted YAML scalar, so that any printable text reads back as written.
std::string QuotedName(const std::string& name, const std::string& path) {
  std::string quoted = "\"";
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw WorkFailed(path + ": the camera name holds a control character");
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

RosCameraInfo MakeRosCameraInfo(const std::string& cameraName, cv::Size imageSize,
                                const cv::Matx33d& K, const std::vector<double>& D,
                                const cv::Matx33d& R, const cv::Matx34d& P, double metresPerUnit) {
  if (!(metresPerUnit > 0.0) || !std::isfinite(metresPerUnit))
    throw WorkFailed("camera_info: the length unit must be a positive number of metres");
  RosCameraInfo info{cameraName, imageSize, K, D, R, P};
  for (int row = 0; row < 3; ++row) info.P(row, 3) *= metresPerUnit;
  return info;
}

void WriteRosCameraInfo(const std::string& path, const RosCameraInfo& info) {
  if (info.imageSize.width <= 0 || info.imageSize.height <= 0)
    throw WorkFailed(path + ": the image is empty");
  if (info.D.size() != kPlumbBobCoefficients)
    throw WorkFailed(path + ": plumb_bob takes 5 distortion coefficients, not " +
                     std::to_string(info.D.size()));
  std::ostringstream text;
  text << "image_width: " << std::to_string(info.imageSize.width) << "\n"
       << "image_height: " << std::to_string(info.imageSize.height) << "\n"
       << "camera_name: " << QuotedName(info.cameraName, path) << "\n"
       << MatrixEntry("camera_matrix", 3, 3, info.K.val, path) << "distortion_model: plumb_bob\n"
       << MatrixEntry("distortion_coefficients", 1, static_cast<int>(kPlumbBobCoefficients),
                      info.D.data(), path)
       << MatrixEntry("rectification_matrix", 3, 3, info.R.val, path)
       << MatrixEntry("projection_matrix", 3, 4, info.P.val, path);

  std::ofstream file(path);
  file << text.str();
  file.close();
  if (!file) throw WorkFailed(path + ": cannot be written");
}

}  // namespace dotcal
