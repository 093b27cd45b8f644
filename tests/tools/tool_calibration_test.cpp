#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "CommandError.h"
#include "calibration/known_rig.h"
#include "inputs/ToolFile.h"
#include "scratch_folder.h"
#include "synth/PointScenes.h"
#include "workflows/PivotToolScene.h"
#include "workflows/StereoRendering.h"
#include "workflows/ToolCalibration.h"

namespace {

using Oskelo::CV::Native64::Calibration;

constexpr int kFrames = 12;
// With the exact calibration and 12 frames the tip lies within about 0.07 mm of the truth (dots
// triangulated to ~0.02 mm, amplified by the sphere fits on a 25-degree cap); 0.5 mm leaves room
// while a wrong marker order or frame is off by millimetres.
constexpr double kTipTolMm = 0.5;

class ToolSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { SetKnownCalibration(calibration_, rig_); }

  dotcal::StereoImages Frame(const synth::PlacedTarget& pose, int index) const {
    return dotcal::RenderStereo(rig_, pose, synth::RenderSettings(), 5, dotcal::Sequence::kTool,
                                index);
  }

  const synth::StereoRig rig_ = synth::StereoRig::Default();
  Calibration calibration_;
};

TEST_F(ToolSequenceTest, FindsTheTipWithEveryFitAndSkipsLostFrames) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, kFrames);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  const cv::Mat blank(rig_.left.imageSize, CV_8UC1, cv::Scalar(20));
  std::vector<cv::Point2d> leftDots;
  for (int k = 0; k < kFrames; ++k) {
    const dotcal::StereoImages images = Frame(scene.frames[k], k);
    EXPECT_EQ(sequence.AddFrame(images.left, images.right, leftDots), dotcal::FrameOutcome::kUsed);
    EXPECT_EQ(leftDots.size(), 7u);
    if (k == 5) {  // the target hidden from the right camera for a frame
      EXPECT_EQ(sequence.AddFrame(images.left, blank, leftDots), dotcal::FrameOutcome::kLost);
    }
  }
  ASSERT_EQ(sequence.Frames().size(), static_cast<std::size_t>(kFrames));

  const cv::Point3d trueTip(cv::Matx33d(calibration_.parameters.rectificationLeft) *
                            cv::Vec3d(scene.tip));
  for (const char* method : {"hyper", "iterative", "pratt", "taubin"}) {
    const dotcal::PivotResult result = sequence.Calibrate(dotcal::FitMethodCode(method));
    EXPECT_LT(cv::norm(result.tip - trueTip), kTipTolMm) << method;
    EXPECT_EQ(result.framesUsed, kFrames);
    ASSERT_EQ(result.markerOffsets.size(), 7u);
    // The first marker's offset is its first position less the tip.
    EXPECT_LT(cv::norm(result.markerOffsets[0] - (sequence.Frames()[0][0] - result.tip)), 1e-9);
    EXPECT_LT(result.tipRms, kTipTolMm) << method;
  }
  // Every method of the pivot command: the pivot at the truth, and the model in the first frame's
  // coordinates, where the tip lies at the pivot (exactly so for the sphere methods).
  for (const char* method : {"pose", "shared-sphere", "hyper"}) {
    const dotcal::ToolPivot pivot = dotcal::CalibrateToolPivot(sequence.Frames(), method);
    EXPECT_LT(cv::norm(pivot.pivot - trueTip), kTipTolMm) << method;
    EXPECT_LT(pivot.tipRms, kTipTolMm) << method;
    ASSERT_EQ(pivot.model.size(), 7u);
    EXPECT_EQ(pivot.motion.frameUsed.size(), static_cast<std::size_t>(kFrames));
    EXPECT_LT(cv::norm(pivot.tipInModel - pivot.pivot), kTipTolMm) << method;
    // The sphere methods' model is the first frame, in whose coordinates the pivot is the tip.
    if (std::string(method) != "pose") {
      EXPECT_EQ(pivot.model, sequence.Frames()[0]);
      EXPECT_EQ(pivot.tipInModel, pivot.pivot);
      EXPECT_EQ(pivot.motion.framesRejected, 0);
    }
  }
  EXPECT_THROW(dotcal::CalibrateToolPivot({}, "pose"), dotcal::WorkFailed);
  EXPECT_THROW(dotcal::CheckPivotMethod("median"), dotcal::UsageError);
}

TEST_F(ToolSequenceTest, ATargetOfAnotherShapeIsNotTakenForTheTool) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, 2);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  std::vector<cv::Point2d> leftDots;
  const dotcal::StereoImages first = Frame(scene.frames[0], 0);
  ASSERT_EQ(sequence.AddFrame(first.left, first.right, leftDots), dotcal::FrameOutcome::kUsed);
  // The same 4 x 2 tracker with another node empty: seven dots, but not at the same distances.
  synth::PlacedTarget other = scene.frames[1];
  other.target = synth::Target::Tracker(4, 2, 16.0, 8.0, {6});
  const dotcal::StereoImages second = Frame(other, 1);
  EXPECT_EQ(sequence.AddFrame(second.left, second.right, leftDots),
            dotcal::FrameOutcome::kNotRigid);
  EXPECT_EQ(sequence.Frames().size(), 1u);
}

TEST_F(ToolSequenceTest, TooFewFramesForTheFitFailTheWork) {
  const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig_, 4);
  dotcal::ToolSequence sequence(calibration_, dotcal::TargetShape::Tracker());
  std::vector<cv::Point2d> leftDots;
  for (int k = 0; k < 4; ++k) {
    const dotcal::StereoImages images = Frame(scene.frames[k], k);
    sequence.AddFrame(images.left, images.right, leftDots);
  }
  // Four frames: enough for the iterative and Taubin fits, one short for hyper and Pratt.
  EXPECT_THROW(sequence.Calibrate(dotcal::FitMethodCode("hyper")), dotcal::WorkFailed);
  EXPECT_THROW(sequence.Calibrate(dotcal::FitMethodCode("pratt")), dotcal::WorkFailed);
  EXPECT_NO_THROW(sequence.Calibrate(dotcal::FitMethodCode("taubin")));
  EXPECT_THROW(dotcal::FitMethodCode("median"), dotcal::UsageError);
}

// Tool files and the tool frame.

const std::string kScratch = DOTCAL_SCRATCH;
// Coordinates of 100 to 200 mm through a rotation and back: a few ulps of 200, far below 1e-9.
constexpr double kFrameTol = 1e-9;

std::vector<cv::Point3d> ToolFrameOf(const std::vector<cv::Point3d>& markers) {
  const cv::Matx44d tool_from_markers(dotcal::ToolFrameFromMarkers(markers));
  std::vector<cv::Point3d> inTool;
  for (const cv::Point3d& p : markers) {
    const cv::Vec4d q = tool_from_markers * cv::Vec4d(p.x, p.y, p.z, 1.0);
    inTool.emplace_back(q[0], q[1], q[2]);
  }
  return inTool;
}

TEST(ToolFrame, DependsOnTheMarkerLayoutOnlyAndFollowsTheRule) {
  std::mt19937_64 rng(11);
  // Marker 1 lies on the line through the centroid and marker 0 (within the tenth of the rule),
  // so marker 2 fixes the y axis.
  std::vector<cv::Point3d> markers = {{100, 0, 0}, {-45, 4, 0}, {-30, 60, 10}, {-25, -64, -10}};
  const std::vector<cv::Point3d> inTool = ToolFrameOf(markers);
  cv::Point3d centroid(0, 0, 0);
  for (const cv::Point3d& p : inTool) centroid += p * 0.25;
  EXPECT_LT(cv::norm(centroid), kFrameTol);
  EXPECT_GT(inTool[0].x, 0.0);  // marker 0 on +x
  EXPECT_NEAR(inTool[0].y, 0.0, kFrameTol);
  EXPECT_NEAR(inTool[0].z, 0.0, kFrameTol);
  EXPECT_NEAR(inTool[2].z, 0.0, kFrameTol);  // marker 2 in the x-y plane, on +y
  EXPECT_GT(inTool[2].y, 0.0);
  // Distances are kept: the transform is rigid.
  for (std::size_t i = 0; i < markers.size(); ++i) {
    for (std::size_t j = i + 1; j < markers.size(); ++j) {
      EXPECT_NEAR(cv::norm(inTool[i] - inTool[j]), cv::norm(markers[i] - markers[j]), kFrameTol);
    }
  }
  // Wherever the camera saw the tool, the tool frame is the same.
  for (int trial = 0; trial < 5; ++trial) {
    const std::vector<cv::Point3d> moved =
        synth::Moved(markers, synth::RandomRotation(rng), cv::Vec3d(300, -200, 900));
    const std::vector<cv::Point3d> again = ToolFrameOf(moved);
    for (std::size_t m = 0; m < markers.size(); ++m) {
      EXPECT_LT(cv::norm(again[m] - inTool[m]), kFrameTol) << trial << ", marker " << m;
    }
  }
  // Collinear markers, or too few, define no frame.
  EXPECT_THROW(dotcal::ToolFrameFromMarkers({{0, 0, 0}, {10, 0, 0}, {25, 0.5, 0}}),
               dotcal::WorkFailed);
  EXPECT_THROW(dotcal::ToolFrameFromMarkers({{0, 0, 0}, {10, 0, 0}}), dotcal::WorkFailed);
  EXPECT_THROW(dotcal::ToolFrameFromMarkers({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}), dotcal::WorkFailed);
}

dotcal::ToolDefinition ExampleTool() {
  dotcal::ToolDefinition tool;
  tool.name = "pointer";
  tool.tracker = dotcal::TargetShape::Tracker();
  for (int m = 0; m < tool.tracker.dots; ++m)
    tool.markers.emplace_back(m * 16.0 - 48.1, 0.3 * m, 0.1);
  tool.tip = {1.0 / 3.0, -2.5, -150.125};
  tool.pivotResidual = 0.21;
  tool.framesUsed = 118;
  tool.framesRejected = 2;
  tool.tiltMedianDeg = 12.4;
  tool.tiltMaxDeg = 19.8;
  tool.method = "pose";
  tool.created = "2026-12-09T06:00:00Z";
  return tool;
}

TEST(ToolFile, RoundTripsEveryFieldAndTheChecksumIsFnv1a) {
  const std::string folder = ScratchFolder(kScratch);
  for (bool withCalibration : {false, true}) {
    dotcal::ToolDefinition tool = ExampleTool();
    if (withCalibration) {
      tool.calibrationFile = "calib.yml";
      tool.calibrationChecksum = "fnv1a64:0123456789abcdef";
      tool.method = "shared-sphere";
    }
    const std::string path = folder + "/tool.yml";
    dotcal::WriteToolFile(path, tool);
    const dotcal::ToolDefinition read = dotcal::ReadToolFile(path);
    EXPECT_EQ(read.name, tool.name);
    EXPECT_EQ(read.unit, tool.unit);
    EXPECT_EQ(read.tracker.columns, tool.tracker.columns);
    EXPECT_EQ(read.tracker.rows, tool.tracker.rows);
    EXPECT_EQ(read.tracker.dots, tool.tracker.dots);
    EXPECT_EQ(read.tracker.spacing, tool.tracker.spacing);
    EXPECT_EQ(read.tracker.diameter, tool.tracker.diameter);
    EXPECT_EQ(read.tracker.margin, tool.tracker.margin);
    EXPECT_EQ(read.tracker.emptyNodes, tool.tracker.emptyNodes);
    // YAML keeps doubles to 17 significant digits: exact.
    EXPECT_EQ(read.markers, tool.markers);
    EXPECT_EQ(read.tip, tool.tip);
    EXPECT_EQ(read.pivotResidual, tool.pivotResidual);
    EXPECT_EQ(read.framesUsed, tool.framesUsed);
    EXPECT_EQ(read.framesRejected, tool.framesRejected);
    EXPECT_EQ(read.tiltMedianDeg, tool.tiltMedianDeg);
    EXPECT_EQ(read.tiltMaxDeg, tool.tiltMaxDeg);
    EXPECT_EQ(read.method, tool.method);
    EXPECT_EQ(read.created, tool.created);
    EXPECT_EQ(read.calibrationFile, tool.calibrationFile);
    EXPECT_EQ(read.calibrationChecksum, tool.calibrationChecksum);
  }
  // FNV-1a 64 of "a" is af63dc4c8601ec8c (the published test vector); of no bytes, the basis.
  std::ofstream(folder + "/a.txt", std::ios::binary) << "a";
  std::ofstream(folder + "/empty.txt", std::ios::binary);
  EXPECT_EQ(dotcal::FileChecksum(folder + "/a.txt"), "fnv1a64:af63dc4c8601ec8c");
  EXPECT_EQ(dotcal::FileChecksum(folder + "/empty.txt"), "fnv1a64:cbf29ce484222325");
  EXPECT_THROW(dotcal::FileChecksum(folder + "/missing.yml"), dotcal::WorkFailed);
}

// A hand-written tool file, key by key as the header shows it.
struct ToolKey {
  const char* key;
  std::string text;
};

std::vector<ToolKey> HandWrittenTool() {
  return {
      {"name", "name: pointer\n"},
      {"unit", "unit: mm\n"},
      {"tracker",
       "tracker: {columns: 4, rows: 2, spacing: 16, dot_diameter: 8, margin: 16, unit: mm, "
       "empty_nodes: [5]}\n"},
      {"frame_rule", "frame_rule: \"the usual\"\n"},
      {"markers",
       "markers: !!opencv-matrix\n  rows: 7\n  cols: 3\n  dt: d\n  data: [ -24, -8, 0, -8, -8, 0, "
       "8, -8, 0, 24, -8, 0, -24, 8, 0, 8, 8, 0, 24, 8, 0 ]\n"},
      {"tip", "tip: [0, 0, -150]\n"},
      {"pivot_residual", "pivot_residual: 0.21\n"},
      {"frames_used", "frames_used: 118\n"},
      {"frames_rejected", "frames_rejected: 2\n"},
      {"tilt_median_deg", "tilt_median_deg: 12.4\n"},
      {"tilt_max_deg", "tilt_max_deg: 19.8\n"},
      {"method", "method: pose\n"},
      {"created", "created: \"2026-12-09T06:00:00Z\"\n"},
      {"calibration_file", "calibration_file: \"\"\n"},
      {"calibration_checksum", "calibration_checksum: \"\"\n"},
  };
}

std::string ToolText(const std::vector<ToolKey>& keys, const std::string& without = "",
                     const std::string& replaced = "", const std::string& by = "") {
  std::string text;
  for (const ToolKey& k : keys) {
    if (k.key == without) continue;
    text += k.key == replaced ? by : k.text;
  }
  return text;
}

std::string ToolFileError(const std::string& path) {
  try {
    dotcal::ReadToolFile(path);
  } catch (const dotcal::WorkFailed& e) {
    return e.what();
  }
  return "";
}

TEST(ToolFile, RefusesEveryMissingKeyAndMalformedValueNamingIt) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string path = folder + "/tool.yml";
  const auto write = [&](const std::string& text) { std::ofstream(path) << text; };
  const std::vector<ToolKey> keys = HandWrittenTool();
  write(ToolText(keys));
  const dotcal::ToolDefinition good = dotcal::ReadToolFile(path);
  EXPECT_EQ(good.markers.size(), 7u);
  EXPECT_EQ(good.tip, cv::Point3d(0, 0, -150));
  EXPECT_TRUE(good.calibrationFile.empty());

  for (const ToolKey& k : keys) {
    write(ToolText(keys, k.key));
    EXPECT_EQ(ToolFileError(path), path + ": " + k.key + " is missing") << k.key;
  }
  struct Case {
    const char* key;
    std::string text, message;
  };
  const std::string sixMarkers =
      "markers: !!opencv-matrix\n  rows: 6\n  cols: 3\n  dt: d\n  data: [ -24, -8, 0, -8, -8, 0, "
      "8, -8, 0, 24, -8, 0, -24, 8, 0, 8, 8, 0 ]\n";
  for (const Case& c : {
           Case{"markers", sixMarkers, ": markers holds 6 markers, but the tracker has 7 dots"},
           Case{"markers",
                "markers: !!opencv-matrix\n  rows: 2\n  cols: 3\n  dt: d\n  data: [ 1, 0, 0, 0, 1, "
                "0 ]\n",
                ": markers holds 2 markers; a tool needs at least 3"},
           Case{"markers",
                "markers: !!opencv-matrix\n  rows: 7\n  cols: 2\n  dt: d\n  data: [ 1, 0, "
                "0, 0, 1, 0, 1, 1, 2, 2, 3, 3, 4, 4 ]\n",
                ": markers is not an N x 3 matrix"},
           Case{"markers", "markers: [1, 2, 3]\n", ": markers is not an N x 3 matrix"},
           Case{"tip", "tip: [0, -150]\n", ": tip is not a list of 3 finite numbers"},
           Case{"tip", "tip: [0, 0, .nan]\n", ": tip is not a list of 3 finite numbers"},
           Case{"frames_used", "frames_used: 1.5\n", ": frames_used is not a whole number"},
           Case{"pivot_residual", "pivot_residual: small\n", ": pivot_residual is not a number"},
           Case{"method", "method: median\n", ": method is 'median', not pose"},
           Case{"unit", "unit: furlong\n", ": unit is 'furlong'"},
           Case{"name", "name: [1]\n", ": name is not a text"},
           Case{"calibration_checksum", "calibration_checksum: \"md5:00\"\n",
                ": calibration_checksum is not fnv1a64:"},
           Case{"tracker", "tracker: {columns: 4, rows: 2, dot_diameter: 8}\n",
                ": tracker.spacing is missing"},
           Case{"tracker", "tracker: {columns: 4, rows: 2, spacing: 16, dot_diameter: 20}\n",
                ": tracker: the dot diameter must be positive and smaller than the spacing"},
           Case{"tracker", "tracker: 7\n", ": tracker is not a map"},
       }) {
    write(ToolText(keys, "", c.key, c.text));
    EXPECT_EQ(ToolFileError(path).find(path + c.message), 0u)
        << c.text << " gives: " << ToolFileError(path);
  }
  write("name: [unclosed\n");
  EXPECT_NE(ToolFileError(path).find(": not a YAML, XML or JSON tool file"), std::string::npos);
  EXPECT_THROW(dotcal::ReadToolFile(folder + "/missing.yml"), dotcal::UsageError);
}

}  // namespace
