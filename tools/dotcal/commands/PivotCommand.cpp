#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "reports/ProgressBar.h"
#include "reports/TextFormat.h"
#include "workflows/ToolCalibration.h"

namespace dotcal {
namespace {

std::string PointText(const cv::Point3d& p) {
  return Format("%10.4f %10.4f %10.4f", p.x, p.y, p.z);
}

}  // namespace

void RunPivot(const PivotOptions& options, std::ostream& out, std::ostream& err) {
  const TargetShape shape = ResolveTarget(options.target, TargetShape::Tracker());
  const int bits = ParseBits(options.bits);
  const int fitMethod = FitMethodCode(options.method);
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> frames =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const auto calibration = MakeCalibration(file);
  std::vector<std::string> files;
  for (const FilePair& pair : frames) {
    files.push_back(pair.left);
    files.push_back(pair.right);
  }
  const ImageSeries series =
      ImageSeries::Scan(files, bits, file.imageSize, "the calibration " + options.calib);

  ToolSequence sequence(calibration, shape);
  int lost = 0, notRigid = 0;
  {
    ProgressBar progress(err, "following the target", static_cast<int>(frames.size()),
                         ProgressBar::StderrIsTerminal());
    for (const FilePair& pair : frames) {
      // Frames are read one at a time: a sequence may be long.
      const cv::Mat left = series.Load(pair.left);
      const cv::Mat right = series.Load(pair.right);
      std::vector<cv::Point2d> leftDots;
      const FrameOutcome outcome = sequence.AddFrame(left, right, leftDots);
      lost += outcome == FrameOutcome::kLost;
      notRigid += outcome == FrameOutcome::kNotRigid;
      progress.Advance();
    }
  }
  out << "frames: " << frames.size() << ", used " << sequence.Frames().size() << ", target lost in "
      << lost << ", dots out of order in " << notRigid << "\n";

  const PivotResult result = sequence.Calibrate(fitMethod);
  out << "coordinates in the rectified left camera frame, in the plate's unit\n";
  out << "tip            " << PointText(result.tip) << "\n";
  for (std::size_t m = 0; m < result.markerOffsets.size(); ++m) {
    out << Format("marker %zu offset ", m) << PointText(result.markerOffsets[m]) << "\n";
  }
  out << Format("tip RMS over %d frames: %.4f (%s fit)\n", result.framesUsed, result.tipRms,
                options.method.c_str());
}

}  // namespace dotcal
