#include "workflows/PlateCalibration.h"

#include "CommandError.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;

bool Complete(const Calibration& calibration, std::size_t pair) {
  const std::size_t dots = calibration.nominalPattern.points.size();
  return calibration.leftTargets[pair].size() == dots &&
         calibration.rightTargets[pair].size() == dots;
}

}  // namespace

PairOutcome ExtractPlatePair(Calibration& calibration, const cv::Mat& left, const cv::Mat& right) {
  if (!calibration.ExtractPair(left.data, right.data)) return PairOutcome::kRejected;
  return Complete(calibration, calibration.leftTargets.size() - 1) ? PairOutcome::kUsed
                                                                   : PairOutcome::kIncomplete;
}

std::string OutcomeText(PairOutcome outcome) {
  switch (outcome) {
    case PairOutcome::kUsed:
      return "used";
    case PairOutcome::kIncomplete:
      return "rejected: dots missing in one image";
    case PairOutcome::kRejected:
      return "rejected: the plate was not found in both images";
  }
  return "";
}

int UsablePairs(const Calibration& calibration) {
  int usable = 0;
  for (std::size_t i = 0; i < calibration.leftTargets.size(); ++i)
    usable += Complete(calibration, i);
  return usable;
}

void ComputeCalibration(Calibration& calibration) {
  if (UsablePairs(calibration) == 0) {
    throw WorkFailed("no usable pair: the whole plate must be seen in both images of a pair");
  }
  try {
    calibration.ComputeStereoCalibration();
  } catch (const cv::Exception& e) {
    throw WorkFailed("the calibration failed: " + e.err);
  }
}

}  // namespace dotcal
