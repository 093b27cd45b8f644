// The built dotcal program's validate command on the series that the dotcal_render and
// dotcal_calibrate tests wrote: the calibration still fits its own rig, and no longer fits a rig
// whose right camera turned by 0.1 degrees after calibration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "inputs/CalibrationFile.h"
#include "run_dotcal.h"
#include "scratch_folder.h"

namespace {

using nlohmann::json;

const std::string kSeries = DOTCAL_SERIES;
const std::string kScratch = DOTCAL_SCRATCH;

// Four of the series' pairs keep the runs short; they are spread over the plate poses.
const std::string kLeft = kSeries + "/plate/left_0[2468].png";
const std::string kRight = kSeries + "/plate/right_0[2468].png";
constexpr double kTurnDeg = 0.1;

DotcalRun Validate(const std::string& calib, const std::string& folder,
                   std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"validate", "--calib", calib, "--left",
                                        kLeft,      "--right", kRight};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return RunDotcal(DOTCAL_PROGRAM, arguments, folder);
}

// The calibration of a rig whose right camera turned, after it was calibrated, by `angleDeg`
// about `axis` (in the right camera's own frame, through its centre): written to `path` from the
// series' calibration. The turned camera sees turn * (R x + T) where the calibrated one saw
// R x + T; the series' images are taken by the rig as it is, so they are seen through a rig that
// differs from the written calibration by exactly that turn. Rectification and the epipolar
// matrices follow the turned-back pose, as calibration would have written them.
void WriteTurnedCalibration(const std::string& path, const cv::Vec3d& axis, double angleDeg) {
  dotcal::CalibrationFile file = dotcal::ReadCalibrationFile(kSeries + "/calib.yml");
  auto& p = file.parameters;
  cv::Mat turn;
  cv::Rodrigues(cv::Mat(axis * (angleDeg * CV_PI / 180.0)), turn);
  const cv::Mat R = turn.t() * p.rotation;
  const cv::Mat T = turn.t() * p.translation;
  cv::stereoRectify(p.cameraMatrixLeft, p.distortionLeft, p.cameraMatrixRight, p.distortionRight,
                    file.imageSize, R, T, p.rectificationLeft, p.rectificationRight,
                    p.projectionLeft, p.projectionRight, p.disparityToDepth,
                    cv::CALIB_ZERO_DISPARITY, -1);
  const cv::Mat Tx = (cv::Mat_<double>(3, 3) << 0, -T.at<double>(2), T.at<double>(1),
                      T.at<double>(2), 0, -T.at<double>(0), -T.at<double>(1), T.at<double>(0), 0);
  p.rotation = R;
  p.translation = T;
  p.essential = Tx * R;
  p.fundamental = p.cameraMatrixRight.inv().t() * p.essential * p.cameraMatrixLeft.inv();
  dotcal::WriteCalibrationFile(path, file);
}

// An image of the series' size that shows no plate (a bright, even field), written to `folder`;
// the detector rejects it at once, which keeps these runs short.
std::string NoPlateImage(const std::string& folder) {
  const std::string path = folder + "/no_plate.png";
  cv::imwrite(path, cv::Mat(1082, 1248, CV_8UC1, cv::Scalar(200)));
  return path;
}

double Number(const std::string& text, const std::string& before) {
  const std::size_t at = text.find(before);
  EXPECT_NE(at, std::string::npos) << before << " in " << text;
  return at == std::string::npos ? NAN : std::stod(text.substr(at + before.size()));
}

// The figures of the text output's summary.
struct Summary {
  double spacingRms, spacingMax, epipolarRms, reprojectionRms;
};

Summary ReadSummary(const std::string& text) {
  const std::size_t at = text.find("pairs used");
  const std::string tail = at == std::string::npos ? text : text.substr(at);
  return {Number(tail, "RMS "), Number(tail, "max "), Number(tail, "epipolar error: RMS "),
          Number(tail, "reprojection error: RMS ")};
}

// On the rig it was calibrated on, the series' calibration gives (these 4 pairs, conic centres)
// spacing RMS 0.0170 mm, epipolar RMS 0.0099 px and reprojection RMS 0.0049 px; 5 new pairs of the
// same rig give 0.0147 mm, 0.0106 px and 0.0052 px. Each bound is 3 times the figure: a figure
// that is computed through a wrong camera or matrix (distortion, rectification or pose of the
// other camera) is off by tenths of a pixel or more.
constexpr double kFitSpacingRmsMm = 0.05;
constexpr double kFitEpipolarRmsPx = 0.03;
constexpr double kFitReprojectionRmsPx = 0.015;

TEST(DotcalValidate, TheRigThatWasCalibratedFits) {
  const std::string folder = ScratchFolder(kScratch);
  const DotcalRun run = Validate(kSeries + "/calib.yml", folder);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("4 of 4 pairs used, model dot centres"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("the calibration fits these pairs"), std::string::npos) << run.out;
  const Summary s = ReadSummary(run.out);
  std::printf(
      "unchanged rig: spacing RMS %.4f max %.4f mm, epipolar %.4f px, reprojection %.4f px\n",
      s.spacingRms, s.spacingMax, s.epipolarRms, s.reprojectionRms);
  EXPECT_LT(s.spacingRms, kFitSpacingRmsMm);
  EXPECT_LT(s.epipolarRms, kFitEpipolarRmsPx);
  EXPECT_LT(s.reprojectionRms, kFitReprojectionRmsPx);
  // Every pair has its own line.
  EXPECT_NE(run.out.find("pair 3 (" + kSeries + "/plate/left_08.png, " + kSeries +
                         "/plate/right_08.png): spacing error RMS "),
            std::string::npos)
      << run.out;
}

// The right camera turned by 0.1 degrees about each of its axes, with the default limits
// (0.2 mm, 0.2 px). Measured on these pairs: about the horizontal axis the rows of matched dots
// move apart by 2.6985 px RMS (spacing RMS 0.0202 mm); about the optical axis by 0.3990 px (0.0626
// mm); about the vertical axis the dots move along their rows only, so the epipolar RMS stays at
// 0.0672 px and the depth, hence the spacing, is off instead: 0.2462 mm RMS.
TEST(DotcalValidate, ARightCameraTurnedByATenthOfADegreeNoLongerFits) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string pitch = folder + "/pitch.yml", roll = folder + "/roll.yml",
                    yaw = folder + "/yaw.yml";
  WriteTurnedCalibration(pitch, {1, 0, 0}, kTurnDeg);
  WriteTurnedCalibration(roll, {0, 0, 1}, kTurnDeg);
  WriteTurnedCalibration(yaw, {0, 1, 0}, kTurnDeg);

  std::string pitchOut;
  for (const std::string& path : {pitch, roll}) {
    const DotcalRun run = Validate(path, folder);
    EXPECT_EQ(run.status, 3) << path << "\n" << run.out << run.err;
    EXPECT_NE(run.err.find("the cameras moved relative to each other, the rig moved"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("the calibration fits"), std::string::npos) << run.out;
    if (path == pitch) pitchOut = run.out;
  }
  // About the horizontal axis every dot's row moves by the focal length times the angle
  // (1500 px x 1.745 mrad = 2.62 px); measured 3 % above it, from the dots away from the image
  // centre, so within 10 %.
  const Summary turned = ReadSummary(pitchOut);
  const double expectedPx = 1500.0 * kTurnDeg * CV_PI / 180.0;
  EXPECT_NEAR(turned.epipolarRms, expectedPx, 0.1 * expectedPx);
  // Triangulation splits the rows' disagreement evenly between the two images, so each image's
  // dots miss their projections by half of it: measured 1.3265 against 1.3493 px, 1.7 % apart.
  EXPECT_NEAR(turned.reprojectionRms, turned.epipolarRms / 2.0, 0.05 * turned.epipolarRms / 2.0);

  const DotcalRun run = Validate(yaw, folder);
  EXPECT_EQ(run.status, 3) << run.out << run.err;
  EXPECT_NE(run.err.find("the focus or zoom changed (a camera turned about its vertical axis "
                         "looks the same)"),
            std::string::npos)
      << run.err;
}

// The JSON of a turned rig and of the same run's text: every figure, per pair and pooled, with the
// verdict. A pair that shows no plate is reported and left out.
TEST(DotcalValidate, JsonCarriesTheFiguresOfTheText) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string path = folder + "/pitch.yml";
  WriteTurnedCalibration(path, {1, 0, 0}, kTurnDeg);
  const std::string blank = NoPlateImage(folder);
  const std::vector<std::string> extra = {"--left", blank, "--right", blank};
  std::vector<std::string> withJson = extra;
  withJson.push_back("--json");
  const DotcalRun text = Validate(path, folder, extra);
  const DotcalRun run = Validate(path, folder, withJson);
  ASSERT_EQ(run.status, 3) << run.err;
  ASSERT_EQ(text.status, 3) << text.err;
  const json j = json::parse(run.out);
  for (const char* key : {"calibration", "centres", "target", "max_spacing_error", "max_epipolar",
                          "pairs", "pairs_used", "spacing_error", "epipolar_rms",
                          "reprojection_rms", "dots", "verdict", "exit_status", "diagnosis"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_EQ(j["pairs"].size(), 5u);
  EXPECT_EQ(j["pairs_used"], 4);
  EXPECT_EQ(j["dots"], 4 * 117);
  EXPECT_EQ(j["spacing_error"]["count"], 4 * (8 * 13 + 9 * 12));
  EXPECT_EQ(j["verdict"], "rig_moved");
  EXPECT_EQ(j["exit_status"], 3);
  EXPECT_DOUBLE_EQ(j["max_spacing_error"].get<double>(), 0.2);
  EXPECT_DOUBLE_EQ(j["max_epipolar"].get<double>(), 0.2);
  EXPECT_NE(run.err.find(j["diagnosis"].get<std::string>()), std::string::npos) << run.err;
  // The unused pair says why; its image is named in the text as well.
  EXPECT_FALSE(j["pairs"][4]["used"].get<bool>());
  EXPECT_NE(j["pairs"][4]["reason"].get<std::string>().find("left image: "), std::string::npos);
  EXPECT_NE(text.out.find("no_plate.png): not used: left image: "), std::string::npos) << text.out;

  // The text prints 4 decimals: the JSON's figures round to them.
  const Summary s = ReadSummary(text.out);
  EXPECT_NEAR(j["spacing_error"]["rms"].get<double>(), s.spacingRms, 5e-5);
  EXPECT_NEAR(j["spacing_error"]["max"].get<double>(), s.spacingMax, 5e-5);
  EXPECT_NEAR(j["epipolar_rms"].get<double>(), s.epipolarRms, 5e-5);
  EXPECT_NEAR(j["reprojection_rms"].get<double>(), s.reprojectionRms, 5e-5);
  // The pooled RMS is over every dot of the pairs used, the max the largest of theirs.
  double sumSquares = 0.0, largest = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double rms = j["pairs"][i]["epipolar_rms"].get<double>();
    sumSquares += rms * rms * j["pairs"][i]["dots"].get<double>();
    largest = std::max(largest, j["pairs"][i]["spacing_error"]["max"].get<double>());
  }
  EXPECT_NEAR(j["epipolar_rms"].get<double>(), std::sqrt(sumSquares / (4 * 117)), 1e-12);
  EXPECT_DOUBLE_EQ(j["spacing_error"]["max"].get<double>(), largest);
  for (int i = 0; i < 4; ++i) {
    const json& pair = j["pairs"][i];
    EXPECT_TRUE(pair["used"].get<bool>());
    const std::size_t at = text.out.find("pair " + std::to_string(i) + " (");
    ASSERT_NE(at, std::string::npos);
    const std::string line = text.out.substr(at, text.out.find('\n', at) - at);
    EXPECT_NEAR(pair["spacing_error"]["rms"].get<double>(), Number(line, "RMS "), 5e-5) << line;
    EXPECT_NEAR(pair["spacing_error"]["max"].get<double>(), Number(line, "max "), 5e-5) << line;
    EXPECT_NEAR(pair["epipolar_rms"].get<double>(), Number(line, "epipolar RMS "), 5e-5) << line;
    EXPECT_NEAR(pair["reprojection_rms"].get<double>(), Number(line, "reprojection RMS "), 5e-5)
        << line;
  }
}

TEST(DotcalValidate, NoUsablePairFailsAndBadOptionsAreUsageErrors) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string calib = kSeries + "/calib.yml";
  // The tool frames show no plate: each pair says why, and the work fails.
  DotcalRun run = RunDotcal(DOTCAL_PROGRAM,
                            {"validate", "--calib", calib, "--left", kSeries + "/tool/left_000.png",
                             "--right", kSeries + "/tool/right_000.png"},
                            folder);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("no pair shows the whole plate in both images"), std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("pair 0 (" + kSeries + "/tool/left_000.png, " + kSeries +
                         "/tool/right_000.png): not used: left image: "),
            std::string::npos)
      << run.out;

  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--max-epipolar", "0"},
        {"--max-spacing-error", "-1"},
        {"--unit", "cm"},                  // the calibration measures in mm
        {"--grid", "4x2", "--dots", "7"},  // a node without a dot
        {"--centres", "sharp"}}) {
    run = Validate(calib, folder, extra);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(extra) << run.err;
  }
}

}  // namespace
