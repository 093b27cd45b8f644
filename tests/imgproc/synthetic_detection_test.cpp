// Acceptance of the detector on rendered images with known ground truth: the calibration plate in
// many poses, and a tracker followed across the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "native64/ImageProcessor.h"
#include "synth/Camera.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"
#include "synth/Target.h"

using Oskelo::CV::Native64::ImageProcessor;

namespace {

// Centre accuracy against the true area centroids, with sensor noise sigma 1.5 grey levels and
// optical blur sigma 0.7 px (the renderer's defaults).
constexpr double kCentreRmsPx = 0.05;
constexpr double kCentreMaxPx = 0.15;
constexpr int kPlateViews = 20;
constexpr std::uint64_t kPlateSeed = 2024;
constexpr int kPlateColumns = 9, kPlateRows = 13;

// Halfway between the rendered dot and box grey levels.
int HalfwayThreshold(const synth::RenderSettings& render) {
  return static_cast<int>((render.dotLevel + render.boxLevel) / 2.0);
}

// Index of the truth dot nearest to `p`.
int NearestDot(const std::vector<synth::DotTruth>& truth, const cv::Point2d& p) {
  int best = -1;
  double bestDistance = 0.0;
  for (int i = 0; i < static_cast<int>(truth.size()); ++i) {
    const double d = cv::norm(truth[i].areaCentroid - p);
    if (best < 0 || d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

struct ErrorStats {
  double sumSquares = 0.0;
  double max = 0.0;
  int count = 0;
  void Add(double error) {
    sumSquares += error * error;
    max = std::max(max, error);
    ++count;
  }
  double Rms() const { return std::sqrt(sumSquares / count); }
};

// The plate rendered once for the whole program: the renders are the slow part.
class PlateDetection : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    camera_ = new synth::Camera(synth::StereoRig::Default().left);
    frames_ = new std::vector<synth::Rendering>();
    const synth::Target plate = synth::Target::CalibrationPlate();
    for (const synth::PlacedTarget& pose :
         synth::PlateViews(*camera_, kPlateViews, kPlateSeed, 1000.0, 3500.0)) {
      synth::RenderSettings render;
      render.seed = kPlateSeed + frames_->size();
      frames_->push_back(synth::Render(*camera_, {pose}, render));
    }
  }
  static void TearDownTestSuite() {
    delete frames_;
    delete camera_;
  }

  // Configured as the calibration object configures its detector.
  static void ConfigureAsCalibration(ImageProcessor& detector) {
    auto& s = *detector.settings;
    s.fixedThreshold = false;
    s.dotDiameter = 15.0;
    s.imageRect = cv::Rect(0, 0, 1248, 1082);
    s.dotCount = 117;
    s.dotSpacing = 30.0;
    s.gridColumns = kPlateColumns;
    s.gridRows = kPlateRows;
  }

  static synth::Camera* camera_;
  static std::vector<synth::Rendering>* frames_;
};
synth::Camera* PlateDetection::camera_ = nullptr;
std::vector<synth::Rendering>* PlateDetection::frames_ = nullptr;

TEST_F(PlateDetection, FindsEveryDotInGridOrderWithinTheAccuracyGoal) {
  ImageProcessor detector;
  ConfigureAsCalibration(detector);
  ErrorStats errors;
  for (std::size_t view = 0; view < frames_->size(); ++view) {
    const synth::Rendering& frame = (*frames_)[view];
    const std::vector<synth::DotTruth>& truth = frame.truth[0];
    detector.settings->thresholdState = 4;
    detector.settings->threshold = HalfwayThreshold(synth::RenderSettings());
    std::vector<cv::Point2d> targets;
    ASSERT_TRUE(detector.FindTargets(frame.image.data, targets)) << "view " << view;
    ASSERT_EQ(targets.size(), 117u) << "view " << view;

    // Grid order: 13 lines of 9 dots, each line one plate row walked in one direction, the lines
    // following each other row by row. Truth dots are row-major: dot = row * 9 + column.
    std::vector<int> columnOf, rowOf;
    for (const cv::Point2d& p : targets) {
      const int dot = NearestDot(truth, p);
      columnOf.push_back(dot % kPlateColumns);
      rowOf.push_back(dot / kPlateColumns);
      errors.Add(cv::norm(truth[dot].areaCentroid - p));
    }
    const int columnStep = columnOf[1] - columnOf[0];
    const int rowStep = rowOf[kPlateColumns] - rowOf[0];
    ASSERT_TRUE(std::abs(columnStep) == 1 && std::abs(rowStep) == 1) << "view " << view;
    for (int i = 0; i < 117; ++i) {
      const int line = i / kPlateColumns, position = i % kPlateColumns;
      EXPECT_EQ(rowOf[i], rowOf[0] + line * rowStep) << "view " << view << " dot " << i;
      EXPECT_EQ(columnOf[i], columnOf[0] + position * columnStep)
          << "view " << view << " dot " << i;
    }
    EXPECT_EQ(detector.settings->gridMap.size(), static_cast<std::size_t>(kPlateRows));
  }
  std::printf("plate: %d centres, RMS error %.4f px, max %.4f px\n", errors.count, errors.Rms(),
              errors.max);
  EXPECT_LE(errors.Rms(), kCentreRmsPx);
  EXPECT_LE(errors.max, kCentreMaxPx);
}

// A plate-sized grid rendered with the given nodes empty (node = row * 9 + column), detected as
// the calibration detects.
std::vector<cv::Point2d> DetectGrid(ImageProcessor& detector, const synth::Camera& camera,
                                    const std::vector<int>& emptyNodes, double spinDeg,
                                    std::vector<synth::DotTruth>& truth) {
  const synth::Target grid = emptyNodes.empty() ? synth::Target::CalibrationPlate()
                                                : synth::Target::Tracker(kPlateColumns, kPlateRows,
                                                                         30.0, 15.0, emptyNodes);
  const synth::PlacedTarget pose =
      synth::PlaceInView(grid, camera, {624.0, 541.0}, 750.0, 12.0, -9.0, spinDeg);
  const synth::Rendering rendering = synth::Render(camera, {pose}, synth::RenderSettings());
  truth = rendering.truth[0];
  detector.settings->dotCount = static_cast<int>(truth.size());
  detector.settings->thresholdState = 4;
  detector.settings->threshold = HalfwayThreshold(synth::RenderSettings());
  std::vector<cv::Point2d> targets;
  EXPECT_TRUE(detector.FindTargets(rendering.image.data, targets));
  return targets;
}

TEST_F(PlateDetection, PlateTurnedAQuarterStillComesInRowsOfNine) {
  ImageProcessor detector;
  ConfigureAsCalibration(detector);
  std::vector<synth::DotTruth> truth;
  const std::vector<cv::Point2d> targets = DetectGrid(detector, *camera_, {}, 90.0, truth);
  ASSERT_EQ(targets.size(), 117u);
  // Each line of 9 is one plate row: the 9-dot side now runs down the image, so the other
  // placement of the grid was chosen.
  for (int line = 0; line < kPlateRows; ++line) {
    const int row = NearestDot(truth, targets[line * kPlateColumns]) / kPlateColumns;
    for (int k = 1; k < kPlateColumns; ++k) {
      EXPECT_EQ(NearestDot(truth, targets[line * kPlateColumns + k]) / kPlateColumns, row);
    }
  }
}

TEST_F(PlateDetection, MissingEdgeDotsChooseTheReferenceCorner) {
  ImageProcessor detector;
  ConfigureAsCalibration(detector);
  std::vector<synth::DotTruth> truth;
  // A dot missing on the border: the corner whose walk along the border meets the gap soonest
  // is the reference, so the gap lies on the first line, as many nodes from its start as the
  // walk took (1 or 7 along a 9-dot side, 5 or 7 along a 13-dot side).
  for (const auto& [emptyNode, lineLength, gapAt] :
       {std::tuple{1, kPlateColumns, std::vector<int>{1, 7}},
        std::tuple{kPlateColumns * 5 + 8, kPlateRows, std::vector<int>{5, 7}}}) {
    const std::vector<cv::Point2d> targets =
        DetectGrid(detector, *camera_, {emptyNode}, 0.0, truth);
    ASSERT_EQ(targets.size(), 116u) << "empty node " << emptyNode;
    const auto& gridMap = detector.settings->gridMap;
    int ones = 0;
    for (const auto& line : gridMap)
      ones += static_cast<int>(std::count(line.begin(), line.end(), 1));
    EXPECT_EQ(ones, 116);
    ASSERT_EQ(static_cast<int>(gridMap[0].size()), lineLength) << "empty node " << emptyNode;
    const int gap =
        static_cast<int>(std::find(gridMap[0].begin(), gridMap[0].end(), 0) - gridMap[0].begin());
    EXPECT_TRUE(gap == gapAt[0] || gap == gapAt[1]) << "empty node " << emptyNode << " gap " << gap;
  }
}

// A missing corner dot takes its corner off the dot cloud's outline: the ordering then fits the
// grid to a quadrilateral one node short on two sides, misses about half of the nodes, and the
// search reports failure rather than a wrong order.
TEST_F(PlateDetection, MissingCornerDotIsReportedAsNotFound) {
  ImageProcessor detector;
  ConfigureAsCalibration(detector);
  std::vector<synth::DotTruth> truth;
  const synth::PlacedTarget pose =
      synth::PlaceInView(synth::Target::Tracker(kPlateColumns, kPlateRows, 30.0, 15.0, {0}),
                         *camera_, {624.0, 541.0}, 750.0, 12.0, -9.0, 0.0);
  const synth::Rendering rendering = synth::Render(*camera_, {pose}, synth::RenderSettings());
  detector.settings->dotCount = 116;
  detector.settings->thresholdState = 4;
  detector.settings->threshold = HalfwayThreshold(synth::RenderSettings());
  std::vector<cv::Point2d> targets;
  EXPECT_FALSE(detector.FindTargets(rendering.image.data, targets));
  EXPECT_LT(targets.size(), 116u);
}

TEST(TrackerDetection, FollowsTheTrackerAcrossTheImage) {
  constexpr int kFrames = 60;
  const synth::Camera camera = synth::StereoRig::Default().left;
  const synth::Target tracker = synth::Target::Tracker();

  ImageProcessor detector;
  auto& s = *detector.settings;
  s.imageRect = cv::Rect(0, 0, camera.imageSize.width, camera.imageSize.height);
  s.gridColumns = 4;
  s.gridRows = 2;
  s.thresholdState = 2;  // seed the threshold with Otsu's level of the first grey region

  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  std::vector<int> dotOfIndex;  // physical dot at each output index, fixed by the first success
  ErrorStats errors;
  bool found = false;
  for (int frame = 0; frame < kFrames; ++frame) {
    // Across the image, about 10 px per frame, turning and tilting slowly; about 1000 mm away,
    // where the box's perimeter is about 380 px.
    const double t = frame / static_cast<double>(kFrames - 1);
    const cv::Point2d pixel(250.0 + 700.0 * t, 300.0 + 450.0 * t);
    const synth::PlacedTarget pose = synth::PlaceInView(
        tracker, camera, pixel, 1000.0 + 100.0 * t, 15.0 * t, -10.0 + 20.0 * t, -10.0 + 20.0 * t);
    synth::RenderSettings render;
    render.seed = 500 + frame;
    const synth::Rendering rendering = synth::Render(camera, {pose}, render);
    const std::vector<synth::DotTruth>& truth = rendering.truth[0];

    std::vector<cv::Point2d> targets;
    const bool ok = detector.FindTargets(rendering.image.data, targets, roi, targetRect, {}, false);
    if (!ok) {
      EXPECT_FALSE(found) << "lost at frame " << frame;
      continue;
    }
    found = true;
    ASSERT_EQ(targets.size(), 7u) << "frame " << frame;
    std::vector<int> dots;
    for (const cv::Point2d& p : targets) {
      const int dot = NearestDot(truth, p);
      dots.push_back(dot);
      errors.Add(cv::norm(truth[dot].areaCentroid - p));
    }
    if (dotOfIndex.empty()) dotOfIndex = dots;
    EXPECT_EQ(dots, dotOfIndex) << "frame " << frame;

    // The next search region holds the whole tracker and is a small part of the image.
    for (const synth::DotTruth& dot : truth) EXPECT_TRUE(roi.contains(dot.areaCentroid));
    EXPECT_LT(roi.area(), s.imageRect.area() / 20);
  }
  EXPECT_TRUE(found);
  std::printf("tracker: %d centres, RMS error %.4f px, max %.4f px\n", errors.count, errors.Rms(),
              errors.max);
  EXPECT_LE(errors.Rms(), kCentreRmsPx);
}

}  // namespace
