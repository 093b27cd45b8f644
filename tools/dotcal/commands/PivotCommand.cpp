#include "inputs/CalibrationFile.h"
#include "CommandError.h"
#include "Commands.h"
#include "inputs/ImageFiles.h"
#include "reports/ProgressBar.h"
#include "detection/TargetShape.h"
#include "reports/TextFormat.h"
#include "workflows/ToolCalibration.h"

namespace dotcal {
namespace {

std::string PointText(const cv::Point3d& p) {
  return Format("%10.4f %10.4f %10.4f", p.x, p.y, p.z);
}

}  // namespace

void RunPivot(const PivotOptions& options, std::ostream& out, std::ostream& err) {
  const TargetOptions& t = options.target;
  const TargetShape shape = MakeShape(t.grid, t.dots, t.spacing, t.diameter);
  const int fitMethod = FitMethodCode(options.method);
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> frames =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const auto calibration = MakeCalibration(file);

  ToolSequence sequence(calibration, shape, file.imageSize);
  int lost = 0, notRigid = 0;
  {
    ProgressBar progress(err, "following the target", static_cast<int>(frames.size()),
                         ProgressBar::StderrIsTerminal());
    for (const FilePair& pair : frames) {
      // Frames are read one at a time: a sequence may be long.
      const cv::Mat left = LoadGreyImage(pair.left, file.imageSize);
      const cv::Mat right = LoadGreyImage(pair.right, file.imageSize);
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
