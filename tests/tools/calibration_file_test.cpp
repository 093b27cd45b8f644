#include <gtest/gtest.h>

#include <fstream>

#include "CommandError.h"
#include "calibration/known_rig.h"
#include "inputs/CalibrationFile.h"
#include "scratch_folder.h"
#include "synth/StereoRig.h"

namespace {

using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::CalibrationParameters;

const std::string kRoot = DOTCAL_SCRATCH;

// The exact calibration of the synthetic rig, as a calibrated object would hold it.
dotcal::CalibrationFile KnownFile() {
  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  auto& p = calibration.parameters;
  p.essential = cv::Mat::eye(3, 3, CV_64F);
  p.fundamental = cv::Mat::eye(3, 3, CV_64F) * 2.0;
  calibration.rmsLeft = 0.011;
  calibration.rmsRight = 0.012;
  calibration.rmsStereo = 0.013;
  return dotcal::FromCalibration(calibration, {1248, 1082});
}

std::string Slurp(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The error message of reading `path`, or "" when it reads.
template <typename Error>
std::string ReadError(const std::string& path) {
  try {
    dotcal::ReadCalibrationFile(path);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(CalibrationFile, RoundTripsEveryMatrixAndTheEstimatedDistortion) {
  const std::string path = ScratchFolder(kRoot) + "/calib.yml";
  dotcal::CalibrationFile written = KnownFile();
  // Distinct values in every field of the uncertainty, so that a key swapped or a row cut short
  // shows.
  auto& u = written.uncertainty;
  u.views = 12;
  u.centreNoisePx = 0.0123;
  for (int k = 0; k < 9; ++k) u.left[k] = 0.1 + k, u.right[k] = 0.2 + k;
  u.rotation = {1e-5, 2e-5, 3e-5};
  u.translation = {0.01, 0.02, 0.03};
  u.baseline = 0.025;
  u.covariance = cv::Mat(24, 24, CV_64F);
  cv::randu(u.covariance, -1.0, 1.0);
  u.medianDistance = 1234.5;
  u.atCentre = {{1, 2, 3}, {0.1, 0.2, 0.3}, 0.37};
  u.atCorner = {{4, 5, 6}, {0.4, 0.5, 0.6}, 0.88};
  dotcal::WriteCalibrationFile(path, written);
  // The five estimated coefficients go to the file; the three zeros behind them do not.
  EXPECT_NE(Slurp(path).find("D1: !!opencv-matrix\n   rows: 1\n   cols: 5"), std::string::npos);

  const dotcal::CalibrationFile read = dotcal::ReadCalibrationFile(path);
  EXPECT_EQ(read.imageSize, cv::Size(1248, 1082));
  const CalibrationParameters& a = written.parameters;
  const CalibrationParameters& b = read.parameters;
  for (const auto& [x, y] : {std::pair{&a.cameraMatrixLeft, &b.cameraMatrixLeft},
                             {&a.cameraMatrixRight, &b.cameraMatrixRight},
                             {&a.distortionLeft, &b.distortionLeft},
                             {&a.distortionRight, &b.distortionRight},
                             {&a.rotation, &b.rotation},
                             {&a.translation, &b.translation},
                             {&a.essential, &b.essential},
                             {&a.fundamental, &b.fundamental},
                             {&a.rectificationLeft, &b.rectificationLeft},
                             {&a.rectificationRight, &b.rectificationRight},
                             {&a.projectionLeft, &b.projectionLeft},
                             {&a.projectionRight, &b.projectionRight},
                             {&a.disparityToDepth, &b.disparityToDepth}}) {
    ASSERT_EQ(y->type(), CV_64FC1);
    ASSERT_EQ(x->size(), y->size());
    EXPECT_EQ(cv::norm(*x, *y, cv::NORM_INF), 0.0);  // YAML keeps doubles to 17 digits
  }
  EXPECT_EQ(read.rmsStereo, 0.013);
  const auto& v = read.uncertainty;
  EXPECT_EQ(v.views, u.views);
  EXPECT_EQ(v.centreNoisePx, u.centreNoisePx);
  EXPECT_EQ(v.left, u.left);
  EXPECT_EQ(v.right, u.right);
  EXPECT_EQ(v.rotation, u.rotation);
  EXPECT_EQ(v.translation, u.translation);
  EXPECT_EQ(v.baseline, u.baseline);
  EXPECT_EQ(cv::norm(v.covariance, u.covariance, cv::NORM_INF), 0.0);
  EXPECT_EQ(v.medianDistance, u.medianDistance);
  for (const auto& [x, y] : {std::pair{&u.atCentre, &v.atCentre}, {&u.atCorner, &v.atCorner}}) {
    EXPECT_EQ(x->point, y->point);
    EXPECT_EQ(x->sigma, y->sigma);
    EXPECT_EQ(x->total, y->total);
  }

  // What the file gives triangulates as the object it came from.
  Calibration original;
  SetKnownCalibration(original, synth::StereoRig::Default());
  const std::vector<cv::Point2d> left = {{600, 500}, {700, 520}}, right = {{550, 505}, {640, 525}};
  std::vector<cv::Point3d> expected, got;
  original.Triangulate(left, right, expected);
  dotcal::MakeCalibration(read).Triangulate(left, right, got);
  EXPECT_EQ(got, expected);
}

TEST(CalibrationFile, ShortDistortionRowsArePaddedAndLongOnesKept) {
  const std::string folder = ScratchFolder(kRoot);
  dotcal::CalibrationFile file = KnownFile();
  // Four coefficients (k1, k2, p1, p2) and the rational model's eight.
  file.parameters.distortionLeft = (cv::Mat_<double>(1, 4) << -0.1, 0.02, 0.001, -0.002);
  file.parameters.distortionRight = (cv::Mat_<double>(1, 8) << -0.1, 0.02, 0, 0, 0.01, 0.3, 0, 0);
  dotcal::WriteCalibrationFile(folder + "/calib.yml", file);
  const dotcal::CalibrationFile read = dotcal::ReadCalibrationFile(folder + "/calib.yml");
  EXPECT_EQ(read.parameters.distortionLeft.size(), cv::Size(8, 1));
  EXPECT_EQ(read.parameters.distortionLeft.at<double>(0, 3), -0.002);
  EXPECT_EQ(read.parameters.distortionLeft.at<double>(0, 4), 0.0);
  EXPECT_EQ(read.parameters.distortionRight.at<double>(0, 5), 0.3);
}

TEST(CalibrationFile, MalformedFilesAreRefusedNamingTheKey) {
  const std::string folder = ScratchFolder(kRoot);
  const auto write = [&](const std::string& name, const dotcal::CalibrationFile& file) {
    dotcal::WriteCalibrationFile(folder + "/" + name, file);
    return folder + "/" + name;
  };
  dotcal::CalibrationFile file = KnownFile();
  file.parameters.projectionLeft = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_EQ(dotcal::ReadCalibrationFile(write("p1.yml", KnownFile())).imageSize.width, 1248);
  EXPECT_NE(
      ReadError<dotcal::WorkFailed>(write("p1_square.yml", file)).find("P1 is 3x3, expected 3x4"),
      std::string::npos);

  file = KnownFile();
  file.parameters.rotation.at<double>(1, 1) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(ReadError<dotcal::WorkFailed>(write("nan.yml", file))
                .find("R holds a value that is not finite"),
            std::string::npos);

  file = KnownFile();
  file.parameters.distortionLeft = cv::Mat::zeros(1, 6, CV_64F);
  EXPECT_NE(ReadError<dotcal::WorkFailed>(write("d6.yml", file))
                .find("D1 is 1x6, expected a row of 4, 5 or 8"),
            std::string::npos);

  file = KnownFile();
  file.parameters.cameraMatrixRight = cv::Mat::eye(3, 3, CV_64FC2);
  EXPECT_NE(ReadError<dotcal::WorkFailed>(write("m2.yml", file)).find("M2 is 3x3 with 2 channels"),
            std::string::npos);

  file = KnownFile();
  file.parameters.cameraMatrixLeft = cv::Mat::zeros(3, 3, CV_64F);
  EXPECT_NE(ReadError<dotcal::WorkFailed>(write("m1_zero.yml", file))
                .find("M1 has no positive focal lengths"),
            std::string::npos);

  file = KnownFile();
  file.imageSize = {-5, 1082};
  EXPECT_NE(ReadError<dotcal::WorkFailed>(write("width.yml", file)).find("image_width is -5"),
            std::string::npos);

  std::ofstream(folder + "/list.yml") << "%YAML:1.0\n---\n- 1\n- 2\n";
  EXPECT_NE(ReadError<dotcal::WorkFailed>(folder + "/list.yml").find("not a YAML, XML or JSON"),
            std::string::npos);
  std::ofstream(folder + "/empty.yml");
  EXPECT_NE(ReadError<dotcal::WorkFailed>(folder + "/empty.yml").find("empty.yml"),
            std::string::npos);
  EXPECT_NE(ReadError<dotcal::UsageError>(folder + "/absent.yml").find("absent.yml: no such file"),
            std::string::npos);
  EXPECT_NE(ReadError<dotcal::WorkFailed>(folder).find("not a file"), std::string::npos);
}

TEST(CalibrationFile, UnwritablePlacesAreReported) {
  const std::string folder = ScratchFolder(kRoot);
  std::ofstream(folder + "/file") << "x";
  // A folder cannot be made inside a file.
  EXPECT_THROW(dotcal::WriteCalibrationFile(folder + "/file/calib.yml", KnownFile()),
               dotcal::WorkFailed);
}

}  // namespace
