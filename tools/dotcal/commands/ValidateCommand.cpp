#include <cmath>
#include <nlohmann/json.hpp>

#include "CommandError.h"
#include "Commands.h"
#include "detection/TargetDetection.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "reports/ProgressBar.h"
#include "reports/TextFormat.h"
#include "workflows/CalibrationCheck.h"
#include "workflows/DotCentres.h"

namespace dotcal {
namespace {

using nlohmann::json;

// The default spacing limit as a share of the target's spacing: 0.2 mm on the 30 mm plate, about
// 1.1 m from the rendered rig. The unchanged rendered rig (centre noise about 0.004 px) gives a
// spacing RMS of 0.006 to 0.009 mm; centres as noisy as a real rig's (about 0.05 px, rendered with
// more sensor noise) about 0.11 mm; a right camera turned by 0.1 degrees about its vertical axis,
// which moves the dots along their rows only, 0.25 mm. 0.2 mm lies between: almost twice a real
// rig's figure and below that turn's. The default epipolar limit (ValidateOptions) is 0.2 px:
// the rendered rig gives 0.005 px, a real rig's noise about sqrt(2) x 0.05 = 0.07 px, and a turn of
// 0.1 degrees 2.7 px about the camera's horizontal axis and 0.40 px about its optical axis.
constexpr double kDefaultSpacingShare = 0.2 / 30.0;

// One pair of the check: its figures, or why it could not be measured.
struct PairCheck {
  bool used = false;
  std::string reason;  // when not used
  CheckFigures figures;
};

// "no plate in the left image (...)" for a pair whose plate was not found in both images.
std::string MissText(const Detection& left, const Detection& right) {
  std::string text = "not used: ";
  if (!left.found) text += "left image: " + left.reason;
  if (!left.found && !right.found) text += "; ";
  if (!right.found) text += "right image: " + right.reason;
  return text;
}

PairCheck CheckOnePair(const CalibrationFile& file, StereoCentres& centres,
                       const TargetShape& shape, const cv::Mat& leftImage,
                       const cv::Mat& rightImage) {
  Detection left = DetectTarget(leftImage, shape);
  Detection right = DetectTarget(rightImage, shape);
  PairCheck check;
  if (!left.found || !right.found) {
    check.reason = MissText(left, right);
    return check;
  }
  std::vector<cv::Point3d> points;
  centres.Triangulate(leftImage, rightImage, left.dots, right.dots, points);
  check.figures =
      CheckPair(file.parameters, left.dots, right.dots, points, shape.columns, shape.spacing);
  check.used = true;
  return check;
}

std::string FiguresText(const CheckFigures& f, const std::string& unit) {
  return Format(
      "spacing error RMS %.4f max %.4f %s, epipolar RMS %.4f px, reprojection RMS %.4f px",
      f.spacing.rms, f.spacing.max, unit.c_str(), f.epipolarRms, f.reprojectionRms);
}

// One sentence on what probably happened to a calibration that no longer fits.
std::string Diagnosis(CheckVerdict verdict, const CheckFigures& f, const CheckLimits& limits,
                      const std::string& unit) {
  if (verdict == CheckVerdict::kRigMoved) {
    return Format(
        "the calibration no longer fits: the epipolar error (RMS %.4f px, limit %.4g px) says "
        "that the cameras moved relative to each other, the rig moved; calibrate it again",
        f.epipolarRms, limits.maxEpipolarRms);
  }
  return Format(
      "the calibration no longer fits: the spacing error (RMS %.4f %s, limit %.4g %s) with a "
      "small epipolar error (RMS %.4f px) points at the lenses, the focus or zoom changed (a "
      "camera turned about its vertical axis looks the same); calibrate it again",
      f.spacing.rms, unit.c_str(), limits.maxSpacingRms, unit.c_str(), f.epipolarRms);
}

json SpacingJson(const SpacingErrors& s) {
  return {{"rms", s.rms}, {"max", s.max}, {"count", s.count}};
}

json FiguresJson(const CheckFigures& f) {
  return {{"spacing_error", SpacingJson(f.spacing)},
          {"epipolar_rms", f.epipolarRms},
          {"reprojection_rms", f.reprojectionRms},
          {"dots", f.dots}};
}

const char* VerdictName(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::kFits:
      return "fits";
    case CheckVerdict::kRigMoved:
      return "rig_moved";
    case CheckVerdict::kIntrinsicsChanged:
      return "intrinsics_changed";
  }
  return "";
}

json ResultJson(const ValidateOptions& options, const TargetShape& shape,
                const std::vector<FilePair>& pairs, const std::vector<PairCheck>& checks,
                const CheckFigures& pooled, const CheckLimits& limits, CheckVerdict verdict,
                const std::string& diagnosis) {
  json list = json::array();
  int used = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    json pair = {
        {"index", i}, {"left", pairs[i].left}, {"right", pairs[i].right}, {"used", checks[i].used}};
    if (checks[i].used) {
      pair.update(FiguresJson(checks[i].figures));
      ++used;
    } else {
      pair["reason"] = checks[i].reason;
    }
    list.push_back(pair);
  }
  json j = FiguresJson(pooled);
  j["calibration"] = options.calib;
  j["centres"] = options.centres;
  j["target"] = {{"name", shape.name},
                 {"columns", shape.columns},
                 {"rows", shape.rows},
                 {"spacing", shape.spacing},
                 {"unit", shape.unit}};
  j["max_spacing_error"] = limits.maxSpacingRms;
  j["max_epipolar"] = limits.maxEpipolarRms;
  j["pairs"] = list;
  j["pairs_used"] = used;
  j["verdict"] = VerdictName(verdict);
  j["exit_status"] = verdict == CheckVerdict::kFits ? kExitSuccess : kExitNoLongerFits;
  j["diagnosis"] = diagnosis;  // empty when the calibration fits
  return j;
}

CheckLimits Limits(const ValidateOptions& options, const TargetShape& shape) {
  CheckLimits limits;
  limits.maxSpacingRms = Given(options.maxSpacingError) ? options.maxSpacingError
                                                        : kDefaultSpacingShare * shape.spacing;
  limits.maxEpipolarRms = options.maxEpipolar;
  if (!(limits.maxSpacingRms > 0) || !std::isfinite(limits.maxSpacingRms)) {
    throw UsageError("--max-spacing-error must be a positive length");
  }
  if (!(limits.maxEpipolarRms > 0) || !std::isfinite(limits.maxEpipolarRms)) {
    throw UsageError("--max-epipolar must be a positive number of pixels");
  }
  return limits;
}

// The target must be a complete plate in the calibration's unit: its spacing is the yardstick
// of the triangulated distances, which come out in the calibration's unit.
TargetShape ValidationTarget(const ValidateOptions& options, const CalibrationFile& file) {
  const TargetShape shape = ResolveTarget(options.target, TargetShape::Plate());
  if (shape.dots != shape.columns * shape.rows) {
    throw UsageError(
        "the target has empty nodes: validation needs a plate with a dot on every "
        "node, whose neighbour distances are all the spacing");
  }
  if (!file.unit.empty() && file.unit != shape.unit) {
    throw UsageError("the calibration " + options.calib + " measures in " + file.unit +
                     " and the target is described in " + shape.unit + ": describe the target in " +
                     file.unit);
  }
  return shape;
}

}  // namespace

void RunValidate(const ValidateOptions& options, std::ostream& out, std::ostream& err) {
  // With --json the figures go to stdout as JSON, and the text for people to stderr.
  std::ostream& text = options.json ? err : out;
  const CentreMethod method = ParseCentreMethod(options.centres);
  const int bits = ParseBits(options.bits);
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> pairs =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const TargetShape shape = ValidationTarget(options, file);
  const CheckLimits limits = Limits(options, shape);
  const ImageSeries series = ImageSeries::Scan(PairedFiles(pairs), bits, file.imageSize,
                                               "the calibration " + options.calib);
  const auto calibration = MakeCalibration(file);
  StereoCentres centres(calibration, method, shape.diameter / 2.0);

  std::vector<PairCheck> checks;
  {
    ProgressBar progress(err, "checking the pairs", static_cast<int>(pairs.size()),
                         ProgressBar::StderrIsTerminal());
    for (const FilePair& pair : pairs) {
      checks.push_back(
          CheckOnePair(file, centres, shape, series.Load(pair.left), series.Load(pair.right)));
      progress.Advance();
    }
  }
  std::vector<CheckFigures> used;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    text << "pair " << i << " (" << pairs[i].left << ", " << pairs[i].right << "): "
         << (checks[i].used ? FiguresText(checks[i].figures, shape.unit) : checks[i].reason)
         << "\n";
    if (checks[i].used) used.push_back(checks[i].figures);
  }
  if (used.empty()) {
    throw WorkFailed("no pair shows the whole plate in both images: nothing to validate with");
  }
  const CheckFigures pooled = PooledFigures(used);
  text << Format("%zu of %zu pairs used, %s dot centres\n", used.size(), pairs.size(),
                 CentreMethodName(method));
  text << Format(
      "spacing error (%g %s): RMS %.4f, max %.4f %s over %d neighbour distances (limit %.4g)\n",
      shape.spacing, shape.unit.c_str(), pooled.spacing.rms, pooled.spacing.max, shape.unit.c_str(),
      pooled.spacing.count, limits.maxSpacingRms);
  text << Format("epipolar error: RMS %.4f px over %d dots (limit %.4g px)\n", pooled.epipolarRms,
                 pooled.dots, limits.maxEpipolarRms);
  text << Format("reprojection error: RMS %.4f px\n", pooled.reprojectionRms);

  const CheckVerdict verdict = JudgeFigures(pooled, limits);
  const std::string diagnosis =
      verdict == CheckVerdict::kFits ? "" : Diagnosis(verdict, pooled, limits, shape.unit);
  if (verdict == CheckVerdict::kFits) text << "the calibration fits these pairs\n";
  if (options.json) {
    out << ResultJson(options, shape, pairs, checks, pooled, limits, verdict, diagnosis).dump(2)
        << "\n";
  }
  if (verdict != CheckVerdict::kFits) throw NoLongerFits(diagnosis);
}

}  // namespace dotcal
