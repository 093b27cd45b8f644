// The survey of what the box search sees: its verdicts are the search's own, region by region,
// on rendered plates and trackers and on drawn shapes whose lengths put them at the edges of the
// search's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <string>

#include "native64/Calibration.h"
#include "native64/ImageDetection.h"
#include "native64/TargetSurvey.h"
#include "synth/GroundTruth.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"

namespace {

using namespace Oskelo::CV::Native64;

constexpr int kForcedWholeFrame = 4;
constexpr int kTracking = 0;
constexpr int kHalfway = 120;  // between the rendered dots (40) and boxes (200)
constexpr std::uint64_t kSeed = 31;

// A camera of 640 x 512 px (focal length 800 px) in which the plate's outline lies inside the
// outline window of its nominal geometry.
synth::Camera SmallCamera() {
  synth::Camera camera;
  camera.imageSize = {640, 512};
  camera.K = cv::Matx33d(800, 0, 319.5, 0, 800, 255.5, 0, 0, 1);
  return camera;
}

struct Scene {
  synth::PlacedTarget placed;
  cv::Mat image;
};

std::vector<Scene> PlateScenes(int count) {
  const synth::Camera camera = SmallCamera();
  std::vector<Scene> scenes;
  for (const synth::PlacedTarget& placed :
       synth::PlateViews(camera, count, kSeed, 1000.0, 2000.0)) {
    synth::RenderSettings render;
    render.seed = kSeed + scenes.size();
    scenes.push_back({placed, synth::Render(camera, {placed}, render).image});
  }
  return scenes;
}

ImageProcessorSettings PlateSettings() { return *Calibration().settings; }

// Paints dot `dot` over with the box's grey, out to 1.4 times its radius: clear of the blurred
// rim, and of the neighbours, whose rims lie three radii from its centre.
cv::Mat WithDotPaintedOver(const Scene& scene, std::size_t dot) {
  cv::Mat painted = scene.image.clone();
  std::vector<cv::Point> polygon;
  for (const cv::Point2d& p : synth::ProjectDotRim(SmallCamera(), scene.placed, dot, 32, 1.4)) {
    polygon.emplace_back(cvRound(p.x), cvRound(p.y));
  }
  cv::fillConvexPoly(painted, polygon, cv::Scalar(200));
  return painted;
}

std::vector<const SurveyedRegion*> Qualifying(const TargetSurvey& survey) {
  std::vector<const SurveyedRegion*> regions;
  for (const SurveyedRegion& r : survey.regions) {
    if (r.qualifies) regions.push_back(&r);
  }
  return regions;
}

// One forced whole-frame search at `threshold`; true when the search found a box (the state
// machine then goes to tracking), with the box in `box`.
bool BoxSearchFinds(const ImageProcessorSettings& settings, const cv::Mat& image, int threshold,
                    cv::Rect& box) {
  ImageProcessor detector;
  *detector.settings = settings;
  detector.settings->thresholdState = kForcedWholeFrame;
  detector.settings->threshold = threshold;
  std::vector<cv::Point2d> targets;
  cv::Rect roi;
  FindTargetsInImage(detector, image, targets, roi, box, {});
  return detector.settings->thresholdState == kTracking;
}

TEST(TargetSurvey, TheFoundBoxIsTheOneRegionThatQualifies) {
  const ImageProcessorSettings settings = PlateSettings();
  const Scene scene = PlateScenes(1)[0];
  cv::Rect box;
  ASSERT_TRUE(BoxSearchFinds(settings, scene.image, kHalfway, box));

  const TargetSurvey survey = SurveyTargets(settings, scene.image, kHalfway);
  EXPECT_EQ(survey.threshold, kHalfway);
  const std::vector<const SurveyedRegion*> qualifying = Qualifying(survey);
  ASSERT_EQ(qualifying.size(), 1u);
  EXPECT_EQ(qualifying[0]->bounds, box);
  EXPECT_EQ(qualifying[0]->dotSizedHoles, 117);
  EXPECT_EQ(qualifying[0], &survey.regions[0]);  // the plate has the longest outline
}

TEST(TargetSurvey, ADotPaintedOverLeavesOneDotTooFew) {
  const ImageProcessorSettings settings = PlateSettings();
  const cv::Mat painted = WithDotPaintedOver(PlateScenes(1)[0], 40);
  const TargetSurvey survey = SurveyTargets(settings, painted, kHalfway);
  ASSERT_FALSE(survey.regions.empty());
  EXPECT_TRUE(survey.regions[0].outlineFits);
  EXPECT_EQ(survey.regions[0].dotSizedHoles, settings.dotCount - 1);
  EXPECT_TRUE(Qualifying(survey).empty());
  cv::Rect box;
  EXPECT_FALSE(BoxSearchFinds(settings, painted, kHalfway, box));
}

TEST(TargetSurvey, TheIdealLengthAtUnitScaleGivesTheScaleThatFitsAnOutline) {
  ImageProcessorSettings settings = PlateSettings();
  const cv::Mat image = PlateScenes(1)[0].image;
  // At three times the nominal scale the window starts above the plate's outline of about
  // 1200 boundary pixels: at half the ideal length, 1.5 times the nominal ideal of 1848.
  settings.sizeScale = 3.0;
  TargetSurvey survey = SurveyTargets(settings, image, kHalfway);
  ASSERT_FALSE(survey.regions.empty());
  const SurveyedRegion plate = survey.regions[0];
  EXPECT_LE(plate.outlineLength, survey.minOutlineLength);
  EXPECT_FALSE(plate.outlineFits);
  EXPECT_TRUE(Qualifying(survey).empty());
  cv::Rect box;
  EXPECT_FALSE(BoxSearchFinds(settings, image, kHalfway, box));

  settings.sizeScale = plate.outlineLength / survey.idealOutlineLengthAtUnitScale;
  survey = SurveyTargets(settings, image, kHalfway);
  // The scale's round trip through a division and a product: a few units in the last place.
  EXPECT_NEAR(survey.idealOutlineLength, plate.outlineLength, 1e-9 * plate.outlineLength);
  ASSERT_EQ(Qualifying(survey).size(), 1u);
  EXPECT_TRUE(BoxSearchFinds(settings, image, kHalfway, box));
  EXPECT_EQ(box, plate.bounds);
}

// A single-dot target drawn large: a bright 1000 x 1000 box (outline 2 * 999 + 2 * 999 = 3996
// boundary pixels) with a dark 880 x 880 hole (outline about 3520), for a geometry whose dot
// window starts at 0.5 * 3996 * 1.65 = 3297 and has its middle at 9890. The dots' score is then
// about 6370; a scale whose ideal outline is 3996 adds nothing to it, one whose ideal is 7900 adds
// 3904 and lifts the score past 10000, where a search that started from a best score of 10000
// would never choose it although it fits every size rule (as a plate in a large image does).
struct LargeSingleDot {
  cv::Mat image;
  ImageProcessorSettings settings;
  static constexpr double kDotRatio = 1.65;  // dot perimeter over box perimeter

  LargeSingleDot() : image(1100, 1100, CV_8UC1, cv::Scalar(0)) {
    image(cv::Rect(50, 50, 1000, 1000)).setTo(200);
    image(cv::Rect(110, 110, 880, 880)).setTo(0);
    settings.dotCount = 1;
    settings.gridColumns = settings.gridRows = 1;
    settings.dotSpacing = 30.0;  // a box perimeter of 2.5 * (30 + 30) = 150 pattern units
    settings.dotDiameter = kDotRatio * 150.0 / CV_PI;
  }
  // The scale whose ideal outline length is `ideal`.
  double ScaleFor(double ideal) const {
    return ideal / SurveyTargets(settings, image, 100).idealOutlineLengthAtUnitScale;
  }
};

TEST(TargetSurvey, ABoxScoringAboveTenThousandStillQualifiesAndIsFound) {
  LargeSingleDot large;
  for (const auto& [ideal, qualifies] : {std::pair{3996.0, true}, std::pair{7900.0, true}}) {
    large.settings.sizeScale = large.ScaleFor(ideal);
    const TargetSurvey survey = SurveyTargets(large.settings, large.image, 100);
    ASSERT_EQ(survey.regions.size(), 1u);
    const SurveyedRegion& box = survey.regions[0];
    EXPECT_EQ(box.outlineLength, 3996);
    EXPECT_TRUE(box.outlineFits) << ideal;
    EXPECT_EQ(box.dotSizedHoles, 1) << ideal;
    EXPECT_EQ(box.qualifies, qualifies) << ideal;
    cv::Rect found;
    EXPECT_EQ(BoxSearchFinds(large.settings, large.image, 100, found), qualifies) << ideal;
  }
}

// Over every fifth threshold, on plates at several distances, a plate with a dot painted over and
// trackers: some region qualifies exactly when the forced whole-frame search finds a box, and the
// box it finds is one of those regions.
TEST(TargetSurvey, SomeRegionQualifiesExactlyWhenTheBoxSearchFindsABox) {
  struct Case {
    std::string name;
    ImageProcessorSettings settings;
    cv::Mat image;
    bool showsABox;  // at some threshold
  };
  std::vector<Case> cases;
  const std::vector<Scene> plates = PlateScenes(3);
  for (std::size_t i = 0; i < plates.size(); ++i) {
    cases.push_back({"plate " + std::to_string(i), PlateSettings(), plates[i].image, true});
  }
  cases.push_back({"painted plate", PlateSettings(), WithDotPaintedOver(plates[1], 0), false});

  ImageProcessorSettings tracker;
  tracker.gridColumns = 4;
  tracker.gridRows = 2;
  const synth::Camera camera = SmallCamera();
  for (int i = 0; i < 2; ++i) {
    const synth::PlacedTarget placed = synth::PlaceInView(
        synth::Target::Tracker(), camera, {200.0 + 200 * i, 250.0}, 400.0, 20.0 * i, -15.0, 30.0);
    synth::RenderSettings render;
    render.seed = kSeed + 10 + i;
    cases.push_back({"tracker " + std::to_string(i), tracker,
                     synth::Render(camera, {placed}, render).image, true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int found = 0;
    for (int t = 0; t <= 255; t += 5) {
      const TargetSurvey survey = SurveyTargets(c.settings, c.image, t);
      const std::vector<const SurveyedRegion*> qualifying = Qualifying(survey);
      cv::Rect box;
      const bool boxFound = BoxSearchFinds(c.settings, c.image, t, box);
      ASSERT_EQ(!qualifying.empty(), boxFound) << "threshold " << t;
      if (!boxFound) continue;
      ++found;
      EXPECT_TRUE(std::any_of(qualifying.begin(), qualifying.end(),
                              [&](const SurveyedRegion* r) { return r->bounds == box; }))
          << "threshold " << t;
    }
    EXPECT_EQ(found > 0, c.showsABox);
  }
}

}  // namespace
