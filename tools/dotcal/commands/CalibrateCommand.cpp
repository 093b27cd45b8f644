#include <filesystem>
#include <nlohmann/json.hpp>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "inputs/RosCameraInfo.h"
#include "reports/CalibrationReport.h"
#include "reports/ErrorPlot.h"
#include "reports/Overlay.h"
#include "reports/ProgressBar.h"
#include "reports/TextFormat.h"
#include "reports/ViewErrors.h"
#include "workflows/DotCentres.h"
#include "workflows/PlateCalibration.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Oskelo::CV::Native64::Calibration;

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
                         const std::vector<FilePair>& pairs, const ViewErrors& views) {
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
  return file;
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

json ResultJson(const CalibrationFile& file, const TargetShape& shape, int bits,
                const std::vector<FilePair>& pairs, const std::vector<PairResult>& results,
                const ViewErrors& errors, const SpacingErrors& spacing) {
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
    json pair = {{"index", i},
                 {"left", pairs[i].left},
                 {"right", pairs[i].right},
                 {"used", results[i].outcome == PairOutcome::kUsed},
                 {"size_scale", results[i].sizeScale}};
    if (results[i].outcome != PairOutcome::kUsed) pair["reason"] = OutcomeText(results[i]);
    list.push_back(pair);
  }
  j["pairs"] = list;
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
  j["centres"] = file.centres;
  j["calibration_rounds"] = file.calibrationRounds;
  j["calibration_time"] = file.calibrationTime;
  return j;
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

  std::vector<PairResult> results;
  RefinedCentres refined;
  {
    ProgressBar progress(err, "finding the plate", static_cast<int>(pairs.size()),
                         ProgressBar::StderrIsTerminal());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const cv::Mat left = series.Load(pairs[i].left), right = series.Load(pairs[i].right);
      results.push_back(ExtractPlatePair(calibration, shape, left, right));
      if (centres == CentreMethod::kConic) AddRefinedCentres(calibration, left, right, refined);
      if (!options.overlays.empty() && results.back().outcome != PairOutcome::kRejected) {
        WriteOverlays(options.overlays, pairs[i], left, right, calibration);
      }
      progress.Advance();
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
  const int usable = UsablePairs(calibration);
  text << usable << " of " << pairs.size() << " pairs used\n";

  int rounds = 1;
  if (centres == CentreMethod::kConic) {
    const auto result = ComputeUnbiasedCalibration(calibration, refined, shape.diameter / 2.0);
    rounds = result.rounds;
    const int dots = 2 * static_cast<int>(refined.left.size()) *
                     static_cast<int>(calibration.nominalPattern.points.size());
    text << Format(
        "dot centres: conic, %d of %d dots kept their grey centre; %d rounds of bias correction "
        "and calibration%s\n",
        refined.keptGrey, dots, result.rounds, result.converged ? "" : " (not converged)");
  } else {
    ComputeCalibration(calibration);
  }
  // The evidence of the file, the report, the plot and the JSON, measured once.
  const ViewErrors views = ComputeViewErrors(calibration);
  const SpacingErrors spacing = TriangulatedSpacing(calibration);
  CalibrationFile file = MakeFile(calibration, shape, series.Size(), pairs, views);
  file.centres = CentreMethodName(centres);
  file.calibrationRounds = rounds;
  WriteCalibrationFile(options.out, file);
  PrintCalibration(text, file, shape.unit);
  text << Format(
      "  triangulated dot spacing (%g %s): error RMS %.4f, max %.4f over %d neighbour distances\n",
      shape.spacing, shape.unit.c_str(), spacing.rms, spacing.max, spacing.count);
  std::vector<std::string> written = {options.out};
  if (options.format == "ros") {
    for (const std::string& path : WriteRosFiles(options.out, file, shape.MetresPerUnit()))
      written.push_back(path);
  }
  if (!options.overlays.empty()) {
    const std::string plot = (fs::path(options.overlays) / "reprojection_errors.png").string();
    WriteImage(plot, PlotViewErrors(views));
  }
  for (const std::string& path : written) text << "wrote " << path << "\n";
  if (options.json) {
    json result = ResultJson(file, shape, series.Bits(), pairs, results, views, spacing);
    result["files"] = written;
    out << result.dump(2) << "\n";
  }
}

}  // namespace dotcal
