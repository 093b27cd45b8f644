#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "inputs/RosCameraInfo.h"
#include "reports/CalibrationReport.h"
#include "reports/Coverage.h"
#include "reports/ErrorPlot.h"
#include "reports/Overlay.h"
#include "reports/ProgressBar.h"
#include "reports/ResidualPlot.h"
#include "reports/TextFormat.h"
#include "reports/ViewErrors.h"
#include "workflows/DotCentres.h"
#include "workflows/ParallelFor.h"
#include "workflows/PlateCalibration.h"
#include "workflows/ViewRejection.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::CalibrationUncertainty;
using Oskelo::CV::Native64::PointUncertainty;

std::string Stem(const std::string& path) { return fs::path(path).stem().string(); }

void WriteOverlays(const std::string& folder, const FilePair& files, const cv::Mat& left,
                   const cv::Mat& right, const Calibration& calibration) {
  WriteImage((fs::path(folder) / (Stem(files.left) + "_dots.png")).string(),
             DrawDots(left, calibration.leftTargets.back()));
  WriteImage((fs::path(folder) / (Stem(files.right) + "_dots.png")).string(),
             DrawDots(right, calibration.rightTargets.back()));
}

// The calibration file: the result, and what it was made from.
CalibrationFile MakeFile(const Calibration& calibration, const TargetShape& shape, cv::Size size,
                         const std::vector<FilePair>& pairs, const ViewErrors& views,
                         const std::vector<DroppedView>& dropped) {
  CalibrationFile file = FromCalibration(calibration, size);
  file.perViewErrors = cv::Mat(static_cast<int>(views.pairs.size()), 2, CV_64F);
  for (std::size_t v = 0; v < views.pairs.size(); ++v) {
    file.perViewErrors.at<double>(static_cast<int>(v), 0) = views.left[v];
    file.perViewErrors.at<double>(static_cast<int>(v), 1) = views.right[v];
  }
  file.boardWidth = shape.columns;
  file.boardHeight = shape.rows;
  file.squareSize = shape.spacing;
  file.dotDiameter = shape.diameter;
  file.unit = shape.unit;
  file.calibrationTime = IsoTimeNow();
  file.pairsUsed = static_cast<int>(views.pairs.size());
  for (int pair : views.pairs) {
    file.leftImages.push_back(pairs[pair].left);
    file.rightImages.push_back(pairs[pair].right);
  }
  for (const DroppedView& view : dropped) {
    file.droppedLeftImages.push_back(pairs[view.pair].left);
    file.droppedRightImages.push_back(pairs[view.pair].right);
    file.droppedReasons.push_back(view.reason);
  }
  return file;
}

ViewRejectionOptions RejectionOptions(const CalibrateOptions& options) {
  ViewRejectionOptions rejection;
  rejection.maxRmsOverMedian = options.maxViewRatio;
  rejection.maxDotResidualPx = options.maxDotResidual;
  return rejection;
}

const DroppedView* FindDropped(const std::vector<DroppedView>& dropped, std::size_t pair) {
  for (const DroppedView& view : dropped) {
    if (view.pair == static_cast<int>(pair)) return &view;
  }
  return nullptr;
}

// One ROS camera_info file per camera beside the calibration file: <stem>_left.yaml and
// <stem>_right.yaml, lengths in metres.
std::vector<std::string> WriteRosFiles(const std::string& out, const CalibrationFile& file,
                                       double metresPerUnit) {
  const auto& p = file.parameters;
  const fs::path folder = fs::path(out).parent_path();
  std::vector<std::string> written;
  for (const auto& [name, K, D, R, P] :
       {std::tuple{"left", &p.cameraMatrixLeft, &p.distortionLeft, &p.rectificationLeft,
                   &p.projectionLeft},
        std::tuple{"right", &p.cameraMatrixRight, &p.distortionRight, &p.rectificationRight,
                   &p.projectionRight}}) {
    const std::vector<double> plumbBob(D->ptr<double>(), D->ptr<double>() + 5);
    const std::string path = (folder / (Stem(out) + "_" + name + ".yaml")).string();
    WriteRosCameraInfo(path, MakeRosCameraInfo(name, file.imageSize, cv::Matx33d(*K), plumbBob,
                                               cv::Matx33d(*R), cv::Matx34d(*P), metresPerUnit));
    written.push_back(path);
  }
  return written;
}

json MatrixJson(const cv::Mat& m) {
  json rows = json::array();
  for (int r = 0; r < m.rows; ++r) {
    json row = json::array();
    for (int c = 0; c < m.cols; ++c) row.push_back(m.at<double>(r, c));
    rows.push_back(row);
  }
  return rows;
}

// The uncertainty as JSON; null when it was not estimated.
json UncertaintyJson(const CalibrationUncertainty& u) {
  if (u.views == 0) return nullptr;
  const auto camera = [](const cv::Vec<double, 9>& s) {
    return json{{"fx", s[0]}, {"fy", s[1]}, {"cx", s[2]}, {"cy", s[3]}, {"k1", s[4]},
                {"k2", s[5]}, {"p1", s[6]}, {"p2", s[7]}, {"k3", s[8]}};
  };
  const auto point = [](const PointUncertainty& p) {
    return json{{"point", {p.point.x, p.point.y, p.point.z}},
                {"sigma", {p.sigma[0], p.sigma[1], p.sigma[2]}},
                {"total", p.total}};
  };
  return {{"views", u.views},
          {"centre_noise", u.centreNoisePx},
          {"left", camera(u.left)},
          {"right", camera(u.right)},
          {"rotation", {u.rotation[0], u.rotation[1], u.rotation[2]}},
          {"translation", {u.translation[0], u.translation[1], u.translation[2]}},
          {"baseline", u.baseline},
          {"median_distance", u.medianDistance},
          {"point_centre", point(u.atCentre)},
          {"point_corner", point(u.atCorner)}};
}

json ResultJson(const CalibrationFile& file, const TargetShape& shape, int bits,
                const std::vector<FilePair>& pairs, const std::vector<PairResult>& results,
                const std::vector<DroppedView>& dropped, const ViewErrors& errors,
                const SpacingErrors& spacing) {
  const auto& p = file.parameters;
  json j;
  j["image_width"] = file.imageSize.width;
  j["image_height"] = file.imageSize.height;
  j["bits"] = bits;
  j["target"] = {
      {"name", shape.name},       {"columns", shape.columns},       {"rows", shape.rows},
      {"spacing", shape.spacing}, {"dot_diameter", shape.diameter}, {"unit", shape.unit}};
  json list = json::array();
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const DroppedView* drop = FindDropped(dropped, i);
    json pair = {{"index", i},
                 {"left", pairs[i].left},
                 {"right", pairs[i].right},
                 {"used", results[i].outcome == PairOutcome::kUsed && drop == nullptr},
                 {"size_scale", results[i].sizeScale}};
    if (results[i].outcome != PairOutcome::kUsed) pair["reason"] = OutcomeText(results[i]);
    if (drop != nullptr) pair["reason"] = "dropped: " + drop->reason;
    list.push_back(pair);
  }
  j["pairs"] = list;
  json drops = json::array();
  for (const DroppedView& view : dropped) {
    drops.push_back({{"pair", view.pair},
                     {"rms", view.error.rms},
                     {"max_left", view.error.maxLeft},
                     {"max_right", view.error.maxRight},
                     {"median_rms", view.medianRms},
                     {"reason", view.reason}});
  }
  j["dropped_views"] = drops;
  j["pairs_used"] = file.pairsUsed;
  for (const auto& [key, matrix] : {std::pair{"M1", &p.cameraMatrixLeft},
                                    {"D1", &p.distortionLeft},
                                    {"M2", &p.cameraMatrixRight},
                                    {"D2", &p.distortionRight},
                                    {"R", &p.rotation},
                                    {"T", &p.translation},
                                    {"E", &p.essential},
                                    {"F", &p.fundamental},
                                    {"R1", &p.rectificationLeft},
                                    {"R2", &p.rectificationRight},
                                    {"P1", &p.projectionLeft},
                                    {"P2", &p.projectionRight},
                                    {"Q", &p.disparityToDepth}}) {
    j[key] = MatrixJson(*matrix);
  }
  j["rms_left"] = file.rmsLeft;
  j["rms_right"] = file.rmsRight;
  j["rms_stereo"] = file.rmsStereo;
  json views = json::array();
  for (std::size_t v = 0; v < errors.pairs.size(); ++v) {
    views.push_back(
        {{"pair", errors.pairs[v]}, {"left", errors.left[v]}, {"right", errors.right[v]}});
  }
  j["per_view_errors"] = views;
  j["baseline"] = cv::norm(p.translation);
  j["spacing_error"] = {{"rms", spacing.rms}, {"max", spacing.max}, {"count", spacing.count}};
  j["uncertainty"] = UncertaintyJson(file.uncertainty);
  j["centres"] = file.centres;
  j["calibration_rounds"] = file.calibrationRounds;
  j["calibration_time"] = file.calibrationTime;
  return j;
}

// The pairs relabelled and dropped by the view rejection, one line each.
void PrintRejection(std::ostream& out, const ViewRejection& rejection,
                    const std::vector<FilePair>& pairs) {
  for (const RelabelledView& view : rejection.relabelled) {
    out << Format(
        "pair %d (%s, %s): the right image relabelled, its plate labelled %d degrees turned from "
        "the left image's (reprojection RMS %.4f px as labelled, %.4f px relabelled)\n",
        view.pair, pairs[view.pair].left.c_str(), pairs[view.pair].right.c_str(), view.degrees,
        view.before.rms, view.after.rms);
  }
  for (const DroppedView& view : rejection.dropped) {
    out << "pair " << view.pair << " (" << pairs[view.pair].left << ", " << pairs[view.pair].right
        << "): dropped: " << view.reason << "\n";
  }
}

// The figures a calibration is judged by, measured once for the text, the file, the plots and
// the JSON.
struct Evidence {
  ViewErrors views;
  SpacingErrors spacing;
  std::vector<std::vector<cv::Point2d>> leftDots, rightDots;  // per used view
  Coverage left, right;
  CalibrationUncertainty uncertainty;  // none (views 0) when the views do not determine it
  std::vector<std::string> warnings;   // one sentence per corner not covered, and so on
};

Evidence GatherEvidence(const Calibration& calibration, cv::Size imageSize) {
  Evidence e;
  e.views = ComputeViewErrors(calibration);
  e.spacing = TriangulatedSpacing(calibration);
  for (std::size_t i = 0; i < calibration.leftTargets.size(); ++i) {
    if (!PairComplete(calibration, i)) continue;
    e.leftDots.push_back(calibration.leftTargets[i]);
    e.rightDots.push_back(calibration.rightTargets[i]);
  }
  e.left = MeasureCoverage(imageSize, e.leftDots);
  e.right = MeasureCoverage(imageSize, e.rightDots);
  e.warnings = CoverageWarnings(e.left, "left");
  for (const std::string& w : CoverageWarnings(e.right, "right")) e.warnings.push_back(w);
  try {
    e.uncertainty = Oskelo::CV::Native64::EstimateCalibrationUncertainty(calibration);
  } catch (const cv::Exception& error) {
    e.warnings.push_back("no uncertainty: " + error.err);
  }
  return e;
}

void PrintResults(std::ostream& out, const CalibrationFile& file, const TargetShape& shape,
                  const Evidence& e) {
  PrintCalibration(out, file, shape.unit);
  out << Format(
      "  triangulated dot spacing (%g %s): error RMS %.4f, max %.4f over %d neighbour distances\n",
      shape.spacing, shape.unit.c_str(), e.spacing.rms, e.spacing.max, e.spacing.count);
  if (file.uncertainty.views > 0) PrintUncertainty(out, file.uncertainty, shape.unit);
}

// The per-view error plot and the coverage images into `folder`; with `residuals` each camera's
// residual vectors as well. Returns the files written.
std::vector<std::string> WritePlots(const std::string& folder, const Calibration& calibration,
                                    const Evidence& e, cv::Size imageSize, bool residuals) {
  std::vector<std::pair<std::string, cv::Mat>> plots = {
      {"reprojection_errors.png", PlotViewErrors(e.views)},
      {"coverage_left.png", DrawCoverage(e.left)},
      {"coverage_right.png", DrawCoverage(e.right)}};
  if (residuals) {
    std::vector<std::vector<cv::Point2d>> left(e.leftDots.size()), right(e.rightDots.size());
    for (std::size_t v = 0; v < e.leftDots.size(); ++v) {
      StereoViewErrorOf(calibration, e.leftDots[v], e.rightDots[v], &left[v], &right[v]);
    }
    plots.emplace_back("residuals_left.png", PlotResiduals(imageSize, e.leftDots, left));
    plots.emplace_back("residuals_right.png", PlotResiduals(imageSize, e.rightDots, right));
  }
  std::vector<std::string> written;
  for (const auto& [name, image] : plots) {
    written.push_back((fs::path(folder) / name).string());
    WriteImage(written.back(), image);
  }
  return written;
}

// The report folder: the plots with the residual vectors, and summary.txt (the pairs dropped or
// relabelled, the calibration, the spacing, the coverage warnings). Returns the files written.
std::vector<std::string> WriteReport(const std::string& folder, const Calibration& calibration,
                                     const CalibrationFile& file, const TargetShape& shape,
                                     const std::vector<FilePair>& pairs,
                                     const ViewRejection& rejection, const Evidence& evidence,
                                     cv::Size imageSize) {
  MakeFolder(folder);
  std::vector<std::string> written = WritePlots(folder, calibration, evidence, imageSize, true);
  const std::string path = (fs::path(folder) / "summary.txt").string();
  std::ofstream summary(path);
  PrintRejection(summary, rejection, pairs);
  summary << UsablePairs(calibration) << " of " << pairs.size() << " pairs used\n";
  PrintResults(summary, file, shape, evidence);
  for (const std::string& w : evidence.warnings) summary << "warning: " << w << "\n";
  if (!summary) throw WorkFailed("cannot write " + path);
  written.push_back(path);
  return written;
}

}  // namespace

void RunCalibrate(const CalibrateOptions& options, std::ostream& out, std::ostream& err) {
  // With --json the results go to stdout as JSON, and the text for people to stderr.
  std::ostream& text = options.json ? err : out;
  std::error_code error;
  if (fs::is_directory(options.out, error)) {
    throw UsageError("--out: '" + options.out + "' is a folder; name the file to write");
  }
  const TargetShape shape = ResolveTarget(options.target, TargetShape::Plate());
  const CentreMethod centres = ParseCentreMethod(options.centres);
  const int bits = ParseBits(options.bits);
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> pairs =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  Calibration calibration;
  ConfigureCalibration(calibration, shape);
  // Every image is read and checked before the slow part starts, so that a bad file stops the
  // run at once.
  const ImageSeries series = ImageSeries::Scan(PairedFiles(pairs), bits);
  if (!options.overlays.empty()) MakeFolder(options.overlays);

  // Each pair is searched with a calibration of its own, so that pairs can be searched on several
  // threads; the results join the calibration in the pairs' order.
  std::vector<ExtractedPair> extracted(pairs.size());
  {
    ProgressBar progress(err, "finding the plate", static_cast<int>(pairs.size()),
                         ProgressBar::StderrIsTerminal());
    const auto extract = [&](std::size_t i) {
      const cv::Mat left = series.Load(pairs[i].left), right = series.Load(pairs[i].right);
      Calibration own;
      ConfigureCalibration(own, shape);
      extracted[i] = ExtractPair(own, shape, centres, left, right);
      if (!options.overlays.empty() && extracted[i].result.outcome != PairOutcome::kRejected) {
        WriteOverlays(options.overlays, pairs[i], left, right, own);
      }
    };
    ParallelFor(pairs.size(), options.jobs, extract, [&] { progress.Advance(); });
  }
  // The calibration measures the images of the size that the pairs were searched in.
  calibration.settings->imageRect = cv::Rect(cv::Point(), series.Size());
  std::vector<PairResult> results;
  RefinedCentres refined;
  for (const ExtractedPair& pair : extracted) {
    results.push_back(pair.result);
    if (pair.result.outcome == PairOutcome::kRejected) continue;
    calibration.leftTargets.push_back(pair.left);
    calibration.rightTargets.push_back(pair.right);
    if (IsRefined(centres)) {
      refined.left.push_back(pair.refinedLeft);
      refined.right.push_back(pair.refinedRight);
      refined.keptGrey += pair.keptGrey;
    }
  }
  if (options.verbose) {
    err << Format("images %d x %d px, %d bits", series.Size().width, series.Size().height,
                  series.Bits())
        << (series.StoredBits() == 16 ? " of 16-bit files\n" : "\n");
  }
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    text << "pair " << i << " (" << pairs[i].left << ", " << pairs[i].right
         << "): " << OutcomeText(results[i]);
    if (options.verbose) text << Format(" [size scale %.4g]", results[i].sizeScale);
    text << "\n";
  }
  int rounds = 1;
  bool converged = true;
  const auto calibrate = [&](Calibration& c) {
    if (IsRefined(centres)) {
      const auto result = ComputeUnbiasedCalibration(c, refined, shape.diameter / 2.0);
      rounds = result.rounds;
      converged = result.converged;
    } else {
      ComputeCalibration(c);
    }
  };
  // The conic centres of a pair's right image follow a relabelling of its grey ones.
  const auto relabel = [&](int pair, const std::vector<int>& order) {
    if (!IsRefined(centres)) return;
    std::vector<cv::Point2d>& right = refined.right[static_cast<std::size_t>(pair)];
    const std::vector<cv::Point2d> labelled = right;
    for (std::size_t j = 0; j < order.size(); ++j) right[j] = labelled[order[j]];
  };
  ViewRejection rejection;
  if (options.keepAll) {
    calibrate(calibration);
  } else {
    rejection =
        CalibrateDroppingOutliers(calibration, calibrate, relabel, RejectionOptions(options));
  }
  const std::vector<DroppedView>& dropped = rejection.dropped;
  PrintRejection(text, rejection, pairs);
  text << UsablePairs(calibration) << " of " << pairs.size() << " pairs used\n";
  if (IsRefined(centres)) {
    const int dots = 2 * static_cast<int>(refined.left.size()) *
                     static_cast<int>(calibration.nominalPattern.points.size());
    text << Format(
        "dot centres: %s, %d of %d dots kept their grey centre; %d rounds of bias correction "
        "and calibration%s\n",
        CentreMethodName(centres), refined.keptGrey, dots, rounds,
        converged ? "" : " (not converged)");
  }
  const Evidence evidence = GatherEvidence(calibration, series.Size());
  for (const std::string& w : evidence.warnings) err << "warning: " << w << "\n";
  CalibrationFile file =
      MakeFile(calibration, shape, series.Size(), pairs, evidence.views, dropped);
  file.centres = CentreMethodName(centres);
  file.calibrationRounds = rounds;
  file.uncertainty = evidence.uncertainty;
  WriteCalibrationFile(options.out, file);
  PrintResults(text, file, shape, evidence);
  std::vector<std::string> written = {options.out};
  if (options.format == "ros") {
    for (const std::string& path : WriteRosFiles(options.out, file, shape.MetresPerUnit()))
      written.push_back(path);
  }
  if (!options.overlays.empty()) {
    for (const std::string& path :
         WritePlots(options.overlays, calibration, evidence, series.Size(), false))
      written.push_back(path);
  }
  if (!options.report.empty()) {
    for (const std::string& path : WriteReport(options.report, calibration, file, shape, pairs,
                                               rejection, evidence, series.Size()))
      written.push_back(path);
  }
  for (const std::string& path : written) text << "wrote " << path << "\n";
  if (options.json) {
    json result = ResultJson(file, shape, series.Bits(), pairs, results, dropped, evidence.views,
                             evidence.spacing);
    json relabelled = json::array();
    for (const RelabelledView& view : rejection.relabelled) {
      relabelled.push_back({{"pair", view.pair},
                            {"degrees", view.degrees},
                            {"rms_as_labelled", view.before.rms},
                            {"rms_relabelled", view.after.rms}});
    }
    result["relabelled_views"] = relabelled;
    result["coverage"] = {
        {"left_outer_dots", std::vector<int>(evidence.left.outerDots, evidence.left.outerDots + 4)},
        {"right_outer_dots",
         std::vector<int>(evidence.right.outerDots, evidence.right.outerDots + 4)},
        {"warnings", evidence.warnings}};
    result["files"] = written;
    out << result.dump(2) << "\n";
  }
}

}  // namespace dotcal
