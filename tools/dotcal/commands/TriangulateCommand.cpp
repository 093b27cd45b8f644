#include "CommandError.h"
#include "Commands.h"
#include "detection/TargetDetection.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageSeries.h"
#include "reports/TextFormat.h"

namespace dotcal {

void RunTriangulate(const TriangulateOptions& options, std::ostream& out, std::ostream& err) {
  const TargetShape shape = ResolveTarget(options.target, TargetShape::Plate());
  const int bits = ParseBits(options.bits);
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const ImageSeries series = ImageSeries::Scan({options.left, options.right}, bits, file.imageSize,
                                               "the calibration " + options.calib);

  const Detection left = DetectTarget(series.Load(options.left), shape);
  const Detection right = DetectTarget(series.Load(options.right), shape);
  if (!left.found || !right.found) {
    std::string text = "no target of " + std::to_string(shape.dots) + " dots found in ";
    if (!left.found) text += options.left + " (" + left.reason + ")";
    if (!left.found && !right.found) text += " nor in ";
    if (!right.found) text += options.right + " (" + right.reason + ")";
    throw WorkFailed(text);
  }
  std::vector<cv::Point3d> points;
  MakeCalibration(file).Triangulate(left.dots, right.dots, points);

  out << "index,x,y,z\n";
  for (std::size_t i = 0; i < points.size(); ++i) {
    out << Format("%zu,%.4f,%.4f,%.4f\n", i, points[i].x, points[i].y, points[i].z);
  }
  err << "triangulated " << points.size()
      << " dots; coordinates in the rectified left camera frame, in the plate's unit"
      << (file.unit.empty() ? "" : " (" + file.unit + ")") << "\n";
}

}  // namespace dotcal
