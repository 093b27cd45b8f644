#include <filesystem>

#include "inputs/CalibrationFile.h"
#include "reports/CalibrationReport.h"
#include "CommandError.h"
#include "Commands.h"
#include "reports/ErrorPlot.h"
#include "inputs/ImageFiles.h"
#include "reports/Overlay.h"
#include "workflows/PlateCalibration.h"
#include "reports/ProgressBar.h"
#include "reports/ViewErrors.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;
using Oskelo::CV::Native64::Calibration;

std::string Stem(const std::string& path) { return fs::path(path).stem().string(); }

void WriteOverlays(const std::string& folder, const FilePair& files, const cv::Mat& left,
                   const cv::Mat& right, const Calibration& calibration) {
  WriteImage((fs::path(folder) / (Stem(files.left) + "_dots.png")).string(),
             DrawDots(left, calibration.leftTargets.back()));
  WriteImage((fs::path(folder) / (Stem(files.right) + "_dots.png")).string(),
             DrawDots(right, calibration.rightTargets.back()));
}

}  // namespace

void RunCalibrate(const CalibrateOptions& options, std::ostream& out, std::ostream& err) {
  std::error_code error;
  if (fs::is_directory(options.out, error)) {
    throw UsageError("--out: '" + options.out + "' is a folder; name the file to write");
  }
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> pairs =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  Calibration calibration;
  const cv::Size imageSize = calibration.settings->imageRect.size();
  // Every image is read and checked before the slow part starts, so that a bad file stops the
  // run at once.
  std::vector<cv::Mat> left, right;
  for (const FilePair& files : pairs) {
    left.push_back(LoadGreyImage(files.left, imageSize));
    right.push_back(LoadGreyImage(files.right, imageSize));
  }
  if (!options.overlays.empty()) MakeFolder(options.overlays);

  std::vector<PairOutcome> outcomes;
  {
    ProgressBar progress(err, "finding the plate", static_cast<int>(pairs.size()),
                         ProgressBar::StderrIsTerminal());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      outcomes.push_back(ExtractPlatePair(calibration, left[i], right[i]));
      if (!options.overlays.empty() && outcomes.back() != PairOutcome::kRejected) {
        WriteOverlays(options.overlays, pairs[i], left[i], right[i], calibration);
      }
      progress.Advance();
    }
  }
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    out << "pair " << i << " (" << pairs[i].left << ", " << pairs[i].right
        << "): " << OutcomeText(outcomes[i]) << "\n";
  }
  const int usable = UsablePairs(calibration);
  out << usable << " of " << pairs.size() << " pairs used\n";

  ComputeCalibration(calibration);
  const CalibrationFile file = FromCalibration(calibration, imageSize);
  WriteCalibrationFile(options.out, file);
  PrintCalibration(out, file);
  if (!options.overlays.empty()) {
    const std::string plot = (fs::path(options.overlays) / "reprojection_errors.png").string();
    WriteImage(plot, PlotViewErrors(ComputeViewErrors(calibration)));
  }
  out << "wrote " << options.out << "\n";
}

}  // namespace dotcal
