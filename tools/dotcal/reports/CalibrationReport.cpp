#include "reports/CalibrationReport.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "reports/TextFormat.h"

namespace dotcal {
namespace {

using Oskelo::CV::Native64::Calibration;

void PrintIntrinsicsRow(std::ostream& out, const char* name, double estimate, double truth,
                        const char* unit) {
  out << Format("    %-3s %10.3f %10.3f %+9.3f %s\n", name, estimate, truth, estimate - truth,
                unit);
}

void PrintCamera(std::ostream& out, const char* name, const cv::Matx33d& estimate,
                 const cv::Matx33d& truth) {
  out << "  " << name << " camera    estimate      truth     error\n";
  PrintIntrinsicsRow(out, "fx", estimate(0, 0), truth(0, 0), "px");
  PrintIntrinsicsRow(out, "fy", estimate(1, 1), truth(1, 1), "px");
  PrintIntrinsicsRow(out, "cx", estimate(0, 2), truth(0, 2), "px");
  PrintIntrinsicsRow(out, "cy", estimate(1, 2), truth(1, 2), "px");
}

}  // namespace

SpacingErrors TriangulatedSpacing(const Calibration& calibration) {
  const std::size_t dots = calibration.nominalPattern.points.size();
  std::vector<SpacingErrors> views;
  for (std::size_t pair = 0; pair < calibration.leftTargets.size(); ++pair) {
    if (calibration.leftTargets[pair].size() != dots ||
        calibration.rightTargets[pair].size() != dots) {
      continue;
    }
    std::vector<cv::Point3d> points;
    calibration.Triangulate(calibration.leftTargets[pair], calibration.rightTargets[pair], points);
    views.push_back(NeighbourSpacing(points, calibration.nominalPattern.columns,
                                     calibration.nominalPattern.spacing));
  }
  return PooledSpacing(views);
}

double RotationAngleDeg(const cv::Matx33d& a, const cv::Matx33d& b) {
  cv::Vec3d axisAngle;
  cv::Rodrigues(cv::Mat(a * b.t()), axisAngle);
  return cv::norm(axisAngle) * 180.0 / CV_PI;
}

void PrintCalibration(std::ostream& out, const CalibrationFile& file, const std::string& unit) {
  const auto& p = file.parameters;
  for (const auto& [name, k, d] : {std::tuple{"left ", &p.cameraMatrixLeft, &p.distortionLeft},
                                   std::tuple{"right", &p.cameraMatrixRight, &p.distortionRight}}) {
    const cv::Mat_<double> K(*k), D(*d);
    out << Format(
        "  %s fx %.3f fy %.3f cx %.3f cy %.3f px; k1 %.5f k2 %.5f p1 %.6f p2 %.6f "
        "k3 %.5f\n",
        name, K(0, 0), K(1, 1), K(0, 2), K(1, 2), D(0, 0), D(0, 1), D(0, 2), D(0, 3), D(0, 4));
  }
  out << Format("  baseline %.4f %s, image %d x %d px\n", cv::norm(p.translation), unit.c_str(),
                file.imageSize.width, file.imageSize.height);
  out << Format("  RMS reprojection error: left %.4f px, right %.4f px, stereo %.4f px\n",
                file.rmsLeft, file.rmsRight, file.rmsStereo);
}

void PrintUncertainty(std::ostream& out, const Oskelo::CV::Native64::CalibrationUncertainty& u,
                      const std::string& unit) {
  out << Format("  uncertainty (1 sigma), from a centre noise of %.4f px over %d views:\n",
                u.centreNoisePx, u.views);
  for (const auto& [name, s] : {std::pair{"left ", &u.left}, std::pair{"right", &u.right}}) {
    out << Format("    %s fx %.3f fy %.3f cx %.3f cy %.3f px; k1 %.2g k2 %.2g k3 %.2g\n", name,
                  (*s)[0], (*s)[1], (*s)[2], (*s)[3], (*s)[4], (*s)[5], (*s)[8]);
  }
  out << Format("    baseline %.4f %s, rotation between the cameras %.4f degrees\n", u.baseline,
                unit.c_str(), cv::norm(u.rotation) * 180.0 / CV_PI);
  out << Format(
      "    a point %.0f %s deep: %.4f %s on the image centre's ray (depth %.4f), %.4f %s on the "
      "worst corner's (depth %.4f)\n",
      u.medianDistance, unit.c_str(), u.atCentre.total, unit.c_str(), u.atCentre.sigma[2],
      u.atCorner.total, unit.c_str(), u.atCorner.sigma[2]);
}

void PrintComparison(std::ostream& out, const Calibration& calibration,
                     const synth::StereoRig& rig) {
  const auto& p = calibration.parameters;
  PrintCamera(out, "left ", cv::Matx33d(p.cameraMatrixLeft), rig.left.K);
  PrintCamera(out, "right", cv::Matx33d(p.cameraMatrixRight), rig.right.K);
  const double baseline = cv::norm(p.translation);
  const double trueBaseline = cv::norm(rig.RightFromLeftT());
  out << Format("  baseline %.4f mm, truth %.4f mm, error %+.4f mm (%+.4f %%)\n", baseline,
                trueBaseline, baseline - trueBaseline,
                100.0 * (baseline - trueBaseline) / trueBaseline);
  out << Format("  rotation between the cameras: error %.4f deg\n",
                RotationAngleDeg(cv::Matx33d(p.rotation), rig.RightFromLeftR()));
  out << Format("  RMS reprojection error: left %.4f px, right %.4f px, stereo %.4f px\n",
                calibration.rmsLeft, calibration.rmsRight, calibration.rmsStereo);
  const SpacingErrors spacing = TriangulatedSpacing(calibration);
  out << Format(
      "  triangulated grid spacing (%.0f mm): error RMS %.4f mm, max %.4f mm over %d "
      "neighbour distances\n",
      calibration.nominalPattern.spacing, spacing.rms, spacing.max, spacing.count);
}

}  // namespace dotcal
