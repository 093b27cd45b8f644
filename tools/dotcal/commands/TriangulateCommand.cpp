#include "inputs/CalibrationFile.h"
#include "CommandError.h"
#include "Commands.h"
#include "inputs/ImageFiles.h"
#include "detection/TargetDetection.h"
#include "detection/TargetShape.h"
#include "reports/TextFormat.h"

namespace dotcal {

void RunTriangulate(const TriangulateOptions& options, std::ostream& out, std::ostream& err) {
  const TargetOptions& t = options.target;
  const TargetShape shape = MakeShape(t.grid, t.dots, t.spacing, t.diameter);
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const cv::Mat left = LoadGreyImage(options.left, file.imageSize);
  const cv::Mat right = LoadGreyImage(options.right, file.imageSize);

  std::vector<cv::Point2d> leftDots, rightDots;
  const bool foundLeft = DetectTarget(left, shape, leftDots);
  const bool foundRight = DetectTarget(right, shape, rightDots);
  if (!foundLeft || !foundRight) {
    const std::string where = !foundLeft && !foundRight ? "either image"
                              : !foundLeft              ? options.left
                                                        : options.right;
    throw WorkFailed("no target of " + std::to_string(shape.dots) + " dots on a " + t.grid +
                     " grid found in " + where);
  }
  std::vector<cv::Point3d> points;
  MakeCalibration(file).Triangulate(leftDots, rightDots, points);

  out << "index,x,y,z\n";
  for (std::size_t i = 0; i < points.size(); ++i) {
    out << Format("%zu,%.4f,%.4f,%.4f\n", i, points[i].x, points[i].y, points[i].z);
  }
  err << "triangulated " << points.size()
      << " dots; coordinates in the rectified left camera frame, in the plate's unit\n";
}

}  // namespace dotcal
