#include "workflows/PlateCalibration.h"

#include <optional>
#include <vector>

#include "CommandError.h"
#include "detection/SizeScale.h"
#include "detection/TargetDetection.h"
#include "workflows/DotCentres.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;

// Why the plate was not found in one image of a rejected pair ("" when it was found).
std::string ImageReason(const cv::Mat& image, const TargetShape& shape, double sizeScale) {
  const Detection detection = DetectTarget(image, shape, sizeScale);
  return detection.found ? "" : detection.reason;
}

}  // namespace

PairResult ExtractPlatePair(Calibration& calibration, const TargetShape& shape, const cv::Mat& left,
                            const cv::Mat& right) {
  std::vector<double> measured;
  for (const cv::Mat* image : {&left, &right}) {
    if (const std::optional<double> scale = MeasureOutlineScale(*calibration.settings, *image))
      measured.push_back(*scale);
  }
  PairResult result;
  result.sizeScale = ChooseSizeScale(measured);
  calibration.settings->sizeScale = result.sizeScale;
  if (Oskelo::CV::Native64::ExtractPairFromImages(calibration, left, right)) {
    result.outcome = PairComplete(calibration, calibration.leftTargets.size() - 1)
                         ? PairOutcome::kUsed
                         : PairOutcome::kIncomplete;
    return result;
  }
  const std::string leftReason = ImageReason(left, shape, result.sizeScale);
  const std::string rightReason = ImageReason(right, shape, result.sizeScale);
  if (!leftReason.empty()) result.reason = "left image: " + leftReason;
  if (!rightReason.empty()) {
    result.reason +=
        (result.reason.empty() ? "" : "; ") + std::string("right image: ") + rightReason;
  }
  if (result.reason.empty()) result.reason = "the plate was not found in both images";
  return result;
}

ExtractedPair ExtractPair(Calibration& calibration, const TargetShape& shape, CentreMethod centres,
                          const cv::Mat& left, const cv::Mat& right) {
  ExtractedPair pair;
  pair.result = ExtractPlatePair(calibration, shape, left, right);
  if (pair.result.outcome == PairOutcome::kRejected) return pair;
  pair.left = calibration.leftTargets.back();
  pair.right = calibration.rightTargets.back();
  if (IsRefined(centres)) {
    pair.refinedLeft = pair.left;
    pair.refinedRight = pair.right;
    pair.keptGrey = RefineTargetCentres(left, pair.refinedLeft, centres) +
                    RefineTargetCentres(right, pair.refinedRight, centres);
  }
  return pair;
}

std::string OutcomeText(const PairResult& result) {
  switch (result.outcome) {
    case PairOutcome::kUsed:
      return "used";
    case PairOutcome::kIncomplete:
      return "rejected: dots missing in one image";
    case PairOutcome::kRejected:
      return "rejected: " + result.reason;
  }
  return "";
}

bool PairComplete(const Calibration& calibration, std::size_t pair) {
  const std::size_t dots = calibration.nominalPattern.points.size();
  return calibration.leftTargets[pair].size() == dots &&
         calibration.rightTargets[pair].size() == dots;
}

int UsablePairs(const Calibration& calibration) {
  int usable = 0;
  for (std::size_t i = 0; i < calibration.leftTargets.size(); ++i)
    usable += PairComplete(calibration, i);
  return usable;
}

void AddRefinedCentres(const Calibration& calibration, const cv::Mat& left, const cv::Mat& right,
                       CentreMethod method, RefinedCentres& centres) {
  while (centres.left.size() < calibration.leftTargets.size()) {
    const std::size_t pair = centres.left.size();
    centres.left.push_back(calibration.leftTargets[pair]);
    centres.right.push_back(calibration.rightTargets[pair]);
    centres.keptGrey += RefineTargetCentres(left, centres.left.back(), method);
    centres.keptGrey += RefineTargetCentres(right, centres.right.back(), method);
  }
}

Oskelo::CV::Native64::UnbiasedCalibrationResult ComputeUnbiasedCalibration(
    Calibration& calibration, const RefinedCentres& centres, double dotRadius) {
  if (UsablePairs(calibration) == 0) {
    throw WorkFailed("no pair accepted: the whole plate must be seen in both images of a pair");
  }
  // Only the complete pairs take part, as in the library's calibration.
  Calibration complete = calibration;
  complete.leftTargets.clear();
  complete.rightTargets.clear();
  RefinedCentres used;
  std::vector<std::size_t> pairs;
  for (std::size_t i = 0; i < calibration.leftTargets.size(); ++i) {
    if (!PairComplete(calibration, i)) continue;
    complete.leftTargets.push_back(calibration.leftTargets[i]);
    complete.rightTargets.push_back(calibration.rightTargets[i]);
    used.left.push_back(centres.left[i]);
    used.right.push_back(centres.right[i]);
    pairs.push_back(i);
  }
  Oskelo::CV::Native64::UnbiasedCalibrationOptions options;
  options.dotRadius = dotRadius;
  try {
    Oskelo::CV::Native64::UnbiasedCalibrationResult result =
        Oskelo::CV::Native64::CalibrateUnbiased(complete, used.left, used.right, options);
    calibration.parameters = result.parameters;
    calibration.rmsLeft = result.rmsLeft;
    calibration.rmsRight = result.rmsRight;
    calibration.rmsStereo = result.rmsStereo;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      calibration.leftTargets[pairs[k]] = result.leftTargets[k];
      calibration.rightTargets[pairs[k]] = result.rightTargets[k];
    }
    return result;
  } catch (const cv::Exception& e) {
    throw WorkFailed("the calibration failed: " + e.err);
  }
}

void ComputeCalibration(Calibration& calibration) {
  if (UsablePairs(calibration) == 0) {
    throw WorkFailed("no pair accepted: the whole plate must be seen in both images of a pair");
  }
  try {
    calibration.ComputeStereoCalibration();
  } catch (const cv::Exception& e) {
    throw WorkFailed("the calibration failed: " + e.err);
  }
}

}  // namespace dotcal
