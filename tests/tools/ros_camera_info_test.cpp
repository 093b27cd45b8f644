#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <opencv2/calib3d.hpp>

#include "CommandError.h"
#include "inputs/RosCameraInfo.h"
#include "scratch_folder.h"
#include "synth/StereoRig.h"

namespace {

const std::string kRoot = DOTCAL_SCRATCH;
constexpr double kMetresPerMm = 0.001;

std::string Slurp(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The file's text parsed by OpenCV's YAML reader, which wants the directive that ROS's files
// do not carry.
cv::FileStorage Parse(const std::string& text) {
  return cv::FileStorage("%YAML:1.0\n" + text, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                                                   cv::FileStorage::FORMAT_YAML);
}

// The data of a {rows, cols, data} map, after checking its shape.
std::vector<double> MatrixData(const cv::FileNode& node, int rows, int cols) {
  EXPECT_EQ(static_cast<int>(node["rows"]), rows) << node.name();
  EXPECT_EQ(static_cast<int>(node["cols"]), cols) << node.name();
  const cv::FileNode data = node["data"];
  EXPECT_TRUE(data.isSeq()) << node.name();
  std::vector<double> values;
  for (const cv::FileNode& value : data) values.push_back(static_cast<double>(value));
  EXPECT_EQ(values.size(), static_cast<std::size_t>(rows * cols)) << node.name();
  return values;
}

// The right camera of the synthetic rig after a rectification: its own K and distortion, a
// rectifying rotation and a projection whose fourth column holds lengths in mm: fx' * Tx and,
// for a rig not quite level, fy' * Ty.
struct RightCamera {
  synth::Camera camera = synth::StereoRig::Default().right;
  cv::Matx33d R;
  cv::Matx34d P{1450.25, 0, 610.5, 1450.25 * -250.0, 0, 1450.25, 540.125, 1450.25 * 4.0, 0,
                0,       1, 0};
  std::vector<double> D;
  RightCamera() {
    cv::Rodrigues(cv::Vec3d(0.0123, -0.0698, 0.0031), R);
    D.assign(camera.distortion.val, camera.distortion.val + 5);
  }
};

TEST(RosCameraInfo, WritesEveryValueAtFullPrecisionWithTheBaselineInMetres) {
  const RightCamera right;
  const dotcal::RosCameraInfo info = dotcal::MakeRosCameraInfo(
      "stereo/right \"B\"", {1248, 1082}, right.camera.K, right.D, right.R, right.P, kMetresPerMm);
  // Only the lengths change unit: fx' * Tx = 1450.25 px * -0.25 m, fy' * Ty = 1450.25 px *
  // 0.004 m (one rounding each, which EXPECT_DOUBLE_EQ's 4 ulp allow for).
  EXPECT_DOUBLE_EQ(info.P(0, 3), 1450.25 * -0.25);
  EXPECT_DOUBLE_EQ(info.P(1, 3), 1450.25 * 0.004);
  EXPECT_EQ(info.P(2, 3), 0.0);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) EXPECT_EQ(info.P(row, col), right.P(row, col));
  }
  EXPECT_EQ(info.K, right.camera.K);
  EXPECT_EQ(info.R, right.R);
  EXPECT_EQ(info.D, right.D);

  const std::string path = ScratchFolder(kRoot) + "/right.yaml";
  dotcal::WriteRosCameraInfo(path, info);
  const std::string text = Slurp(path);
  // ROS's files start with their first key; OpenCV's "%YAML:1.0" would stop ROS's YAML parser.
  EXPECT_EQ(text.rfind("image_width: 1248\n", 0), 0u);
  const cv::FileStorage file = Parse(text);
  ASSERT_TRUE(file.isOpened());
  EXPECT_EQ(static_cast<int>(file["image_width"]), 1248);
  EXPECT_EQ(static_cast<int>(file["image_height"]), 1082);
  EXPECT_EQ(static_cast<std::string>(file["camera_name"]), "stereo/right \"B\"");
  EXPECT_EQ(static_cast<std::string>(file["distortion_model"]), "plumb_bob");
  // %.17g gives back every double exactly: the comparisons are exact.
  EXPECT_EQ(MatrixData(file["camera_matrix"], 3, 3),
            std::vector<double>(info.K.val, info.K.val + 9));
  EXPECT_EQ(MatrixData(file["distortion_coefficients"], 1, 5), info.D);
  EXPECT_EQ(MatrixData(file["rectification_matrix"], 3, 3),
            std::vector<double>(info.R.val, info.R.val + 9));
  EXPECT_EQ(MatrixData(file["projection_matrix"], 3, 4),
            std::vector<double>(info.P.val, info.P.val + 12));
}

TEST(RosCameraInfo, RefusesWhatItCannotWrite) {
  const RightCamera right;
  const dotcal::RosCameraInfo good = dotcal::MakeRosCameraInfo(
      "right", {1248, 1082}, right.camera.K, right.D, right.R, right.P, kMetresPerMm);
  const std::string folder = ScratchFolder(kRoot);
  EXPECT_THROW(dotcal::WriteRosCameraInfo(folder + "/missing/right.yaml", good),
               dotcal::WorkFailed);

  dotcal::RosCameraInfo bad = good;
  bad.D.push_back(0.0);  // eight-coefficient models are not plumb_bob
  EXPECT_THROW(dotcal::WriteRosCameraInfo(folder + "/a.yaml", bad), dotcal::WorkFailed);
  bad = good;
  bad.P(2, 2) = NAN;
  EXPECT_THROW(dotcal::WriteRosCameraInfo(folder + "/b.yaml", bad), dotcal::WorkFailed);
  bad = good;
  bad.cameraName = "right\ncamera_name: left";
  EXPECT_THROW(dotcal::WriteRosCameraInfo(folder + "/c.yaml", bad), dotcal::WorkFailed);
  bad = good;
  bad.imageSize = {0, 1082};
  EXPECT_THROW(dotcal::WriteRosCameraInfo(folder + "/d.yaml", bad), dotcal::WorkFailed);

  for (double unit : {0.0, -0.001, static_cast<double>(NAN)}) {
    EXPECT_THROW(dotcal::MakeRosCameraInfo("right", {1248, 1082}, right.camera.K, right.D, right.R,
                                           right.P, unit),
                 dotcal::WorkFailed)
        << unit;
  }
}

}  // namespace
