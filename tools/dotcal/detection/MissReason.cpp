#include "detection/MissReason.h"

#include <utility>
#include <vector>

#include "detection/ThresholdSweep.h"
#include "reports/TextFormat.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::SurveyedRegion;
using Oskelo::CV::Native64::SurveyTargets;
using Oskelo::CV::Native64::TargetSurvey;

// The region that comes closest to the target, with the survey it was seen in.
struct Closest {
  bool any = false;
  SurveyedRegion region;
  TargetSurvey survey;  // its threshold and outline window, without its regions
};

// Closer: fewer holes missing or extra, then a qualifying or fitting outline, then a longer one.
bool Closer(const SurveyedRegion& a, const SurveyedRegion& b, int dotCount) {
  const int missA = std::abs(a.dotSizedHoles - dotCount),
            missB = std::abs(b.dotSizedHoles - dotCount);
  if (missA != missB) return missA < missB;
  if (a.qualifies != b.qualifies) return a.qualifies;
  if (a.outlineFits != b.outlineFits) return a.outlineFits;
  return a.outlineLength > b.outlineLength;
}

Closest FindClosest(const Oskelo::CV::Native64::ImageProcessorSettings& settings,
                    const cv::Mat& image) {
  Closest closest;
  for (int threshold : SweepThresholds()) {
    TargetSurvey survey = SurveyTargets(settings, image, threshold);
    const std::vector<SurveyedRegion> regions = std::move(survey.regions);
    survey.regions.clear();  // the window and threshold are all a reason needs of the survey
    for (const SurveyedRegion& region : regions) {
      if (closest.any && !Closer(region, closest.region, settings.dotCount)) continue;
      closest.any = true;
      closest.region = region;
      closest.survey = survey;
    }
  }
  return closest;
}

}  // namespace

std::string ExplainMiss(const Oskelo::CV::Native64::ImageProcessorSettings& settings,
                        const cv::Mat& image) {
  const Closest closest = FindClosest(settings, image);
  const std::string range = Format("%d to %d", SweepThresholds().front(), SweepThresholds().back());
  if (!closest.any) {
    return "no threshold from " + range +
           " separates the target from its surroundings: no bright region with holes appears";
  }
  const SurveyedRegion& r = closest.region;
  const TargetSurvey& s = closest.survey;
  const int expected = settings.dotCount;
  if (r.qualifies) {
    return Format(
        "a bright region with %d holes of dot size was found (threshold %d), but its dots do "
        "not lie on the %d x %d grid: check the grid and the empty nodes",
        r.dotSizedHoles, s.threshold, settings.gridColumns, settings.gridRows);
  }
  if (r.dotSizedHoles == expected) {
    const bool above = r.outlineLength >= s.maxOutlineLength;
    return Format(
        "a bright region with %d holes exists (threshold %d) but its outline is %d px, %s the "
        "%.0f px that this target at this scale allows",
        r.dotSizedHoles, s.threshold, r.outlineLength, above ? "above" : "below",
        above ? s.maxOutlineLength : s.minOutlineLength);
  }
  std::string text = Format(
      "the bright region with holes that comes closest (threshold %d, outline %d px) has %d "
      "holes of dot size; %d expected",
      s.threshold, r.outlineLength, r.dotSizedHoles, expected);
  if (r.dotSizedHoles > expected) text += ": does the target carry more dots than described?";
  return text;
}

}  // namespace dotcal
