// Calibration: the plate, the parameters, the calibration object, the unbiased calibration, the
// outline centre bias and the calibration's uncertainty.
#include <pybind11/stl.h>

#include "Arrays.h"
#include "Bindings.h"
#include "native64/Calibration.h"
#include "native64/CalibrationUncertainty.h"
#include "native64/CentreBias.h"
#include "native64/ImageDetection.h"
#include "native64/UnbiasedCalibration.h"

namespace native64_python {
namespace {

using namespace Oskelo::CV::Native64;
using py::arg;
using Lists = std::vector<std::vector<cv::Point2d>>;

// A cv::Mat field as a NumPy array on the Mat's memory, set from any array (copied to float64).
template <typename Class>
void MatField(py::class_<Class>& c, const char* name, cv::Mat Class::*member, const char* doc) {
  c.def_property(
      name, [member](const Class& x) { return ArrayFromMat(x.*member); },
      [member, name](Class& x, const py::handle& value) { x.*member = MatFromArray(value, name); },
      doc);
}

void BindPatternAndParameters(py::module_& m) {
  py::class_<NominalPattern>(m, "NominalPattern", "The plate's geometry (C++ NominalPattern).")
      .def(py::init<>())
      .def_readwrite("columns", &NominalPattern::columns, "columns: targets per row.")
      .def_readwrite("rows", &NominalPattern::rows, "rows: rows of targets.")
      .def_readwrite("spacing", &NominalPattern::spacing,
                     "spacing: centre distance; the unit of every 3-D result.")
      .def_property(
          "points", [](const NominalPattern& p) { return ArrayFromPoints(p.points); },
          [](NominalPattern& p, const py::handle& v) { p.points = Points3FromArray(v, "points"); },
          "points: nominal centres, row-major, as an (N, 3) array (a copy).");

  py::class_<CalibrationParameters> p(m, "CalibrationParameters", R"doc(
The result of a stereo calibration in OpenCV's terms (C++ CalibrationParameters). Each matrix is
a NumPy array on the parameters' own memory (no copy); assigning one copies it as float64.)doc");
  p.def(py::init<>());
  MatField(p, "fundamental", &CalibrationParameters::fundamental, "fundamental: F, 3 x 3.");
  MatField(p, "essential", &CalibrationParameters::essential, "essential: E, 3 x 3.");
  MatField(p, "camera_matrix_left", &CalibrationParameters::cameraMatrixLeft,
           "cameraMatrixLeft: intrinsics of the left camera, 3 x 3.");
  MatField(p, "camera_matrix_right", &CalibrationParameters::cameraMatrixRight,
           "cameraMatrixRight: intrinsics of the right camera, 3 x 3.");
  MatField(p, "projection_left", &CalibrationParameters::projectionLeft,
           "projectionLeft: P1 of the rectified left camera, 3 x 4.");
  MatField(p, "projection_right", &CalibrationParameters::projectionRight,
           "projectionRight: P2 of the rectified right camera, 3 x 4.");
  MatField(p, "rectification_left", &CalibrationParameters::rectificationLeft,
           "rectificationLeft: R1, 3 x 3.");
  MatField(p, "rectification_right", &CalibrationParameters::rectificationRight,
           "rectificationRight: R2, 3 x 3.");
  MatField(p, "distortion_left", &CalibrationParameters::distortionLeft,
           "distortionLeft: 1 x 8, k1 k2 p1 p2 k3 0 0 0.");
  MatField(p, "distortion_right", &CalibrationParameters::distortionRight,
           "distortionRight: 1 x 8, the same layout.");
  MatField(p, "disparity_to_depth", &CalibrationParameters::disparityToDepth,
           "disparityToDepth: Q, 4 x 4.");
  MatField(p, "rotation", &CalibrationParameters::rotation,
           "rotation: R, x_right = R x_left + T, 3 x 3.");
  MatField(p, "translation", &CalibrationParameters::translation,
           "translation: T, 3 x 1, in plate units.");
}

// The calibration's record is its detector's: a detector sharing it keeps it alive.
py::object SettingsOfCalibration(Calibration& c) {
  if (c.imageProcessor == nullptr || c.imageProcessor->settings != c.settings) {
    throw py::value_error("the calibration's settings are not its detector's");
  }
  return SettingsOf(*c.imageProcessor);
}

void BindCalibrationObject(py::module_& m) {
  py::class_<Calibration>(m, "Calibration", R"doc(
Calibrates a stereo pair from image pairs of the plate and triangulates matched image points (C++
Calibration). Use: construct; extract_pair once per image pair; compute_stereo_calibration; then
triangulate. copy.copy gives a calibration that shares this one's detector and settings.)doc")
      .def(py::init<>(), "The default plate (9 x 13 dots, spacing 30, diameter 15).")
      .def("__copy__", [](const Calibration& c) { return Calibration(c); })
      .def_property_readonly("settings", &SettingsOfCalibration,
                             "settings: the detector's settings record, shared by every copy.")
      .def_readwrite("nominal_pattern", &Calibration::nominalPattern,
                     "nominalPattern: the plate's geometry.")
      .def_property(
          "left_targets", [](const Calibration& c) { return ArraysFromLists(c.leftTargets); },
          [](Calibration& c, const py::handle& v) {
            c.leftTargets = Lists2FromArrays(v, "left_targets");
          },
          "leftTargets: ordered centres per accepted pair, a list of (N, 2) arrays (copies).")
      .def_property(
          "right_targets", [](const Calibration& c) { return ArraysFromLists(c.rightTargets); },
          [](Calibration& c, const py::handle& v) {
            c.rightTargets = Lists2FromArrays(v, "right_targets");
          },
          "rightTargets: the same for the right images.")
      .def_readwrite("parameters", &Calibration::parameters, "parameters: the calibration result.")
      .def_readwrite("rms_left", &Calibration::rmsLeft, "rmsLeft: RMS reprojection error, px.")
      .def_readwrite("rms_right", &Calibration::rmsRight, "rmsRight: the same, right camera.")
      .def_readwrite("rms_stereo", &Calibration::rmsStereo, "rmsStereo: of the stereo solve.")
      .def(
          "extract_pair",
          [](Calibration& c, const py::handle& left, const py::handle& right) {
            py::object keepLeft, keepRight;
            const cv::Mat l = ImageFromArray(left, "left", keepLeft);
            const cv::Mat r = ImageFromArray(right, "right", keepRight);
            py::gil_scoped_release release;
            return ExtractPairFromImages(c, l, r);
          },
          arg("left"), arg("right"), R"doc(
Finds the plate in both images of one pair (C++ ExtractPairFromImages, the safe form of
ExtractPair): uint8 arrays of one size. True when both were found; their ordered centres are then
appended to left_targets and right_targets.)doc")
      .def("compute_stereo_calibration", &Calibration::ComputeStereoCalibration,
           py::call_guard<py::gil_scoped_release>(), R"doc(
Calibrates both cameras and their pose from every complete pair (C++ ComputeStereoCalibration);
replaces parameters and the RMS values.)doc")
      .def(
          "triangulate",
          [](const Calibration& c, const py::handle& left, const py::handle& right) {
            const auto l = Points2FromArray(left, "left"), r = Points2FromArray(right, "right");
            std::vector<cv::Point3d> points;
            {
              py::gil_scoped_release release;
              c.Triangulate(l, r, points);
            }
            return ArrayFromPoints(points);
          },
          arg("left"), arg("right"), R"doc(
3-D points of matched image points (C++ Triangulate): (N, 2) arrays of raw image pixels, row i of
both one physical target. Returns an (N, 3) array in the rectified left camera's frame.)doc");
}

void BindUnbiased(py::module_& m) {
  py::class_<UnbiasedCalibrationOptions>(
      m, "UnbiasedCalibrationOptions",
      "Options of calibrate_unbiased (C++ UnbiasedCalibrationOptions).")
      .def(py::init<>())
      .def_readwrite("max_rounds", &UnbiasedCalibrationOptions::maxRounds,
                     "maxRounds: correction rounds at most.")
      .def_readwrite("tolerance_px", &UnbiasedCalibrationOptions::tolerancePx,
                     "tolerancePx: rounds stop below this change of the parameters, px.")
      .def_readwrite("dot_radius", &UnbiasedCalibrationOptions::dotRadius,
                     "dotRadius: plate units; 0 takes the settings' dot diameter / 2.");
  py::class_<UnbiasedCalibrationResult>(
      m, "UnbiasedCalibrationResult",
      "The result of calibrate_unbiased (C++ UnbiasedCalibrationResult).")
      .def_readonly("parameters", &UnbiasedCalibrationResult::parameters, "parameters.")
      .def_readonly("rms_left", &UnbiasedCalibrationResult::rmsLeft, "rmsLeft, px.")
      .def_readonly("rms_right", &UnbiasedCalibrationResult::rmsRight, "rmsRight, px.")
      .def_readonly("rms_stereo", &UnbiasedCalibrationResult::rmsStereo, "rmsStereo, px.")
      .def_readonly("measured_parameters", &UnbiasedCalibrationResult::measuredParameters,
                    "measuredParameters: the first calibration, from the measured centres.")
      .def_readonly("measured_rms_stereo", &UnbiasedCalibrationResult::measuredRmsStereo,
                    "measuredRmsStereo, px.")
      .def_readonly("rounds", &UnbiasedCalibrationResult::rounds, "rounds: correction rounds done.")
      .def_readonly("change_per_round", &UnbiasedCalibrationResult::changePerRound,
                    "changePerRound: the parameters' change per round, px.")
      .def_readonly("converged", &UnbiasedCalibrationResult::converged, "converged.")
      .def_property_readonly(
          "left_targets",
          [](const UnbiasedCalibrationResult& r) { return ArraysFromLists(r.leftTargets); },
          "leftTargets: the corrected centres per pair.")
      .def_property_readonly(
          "right_targets",
          [](const UnbiasedCalibrationResult& r) { return ArraysFromLists(r.rightTargets); },
          "rightTargets: the corrected centres per pair.")
      .def_readonly("pair_used", &UnbiasedCalibrationResult::pairUsed, "pairUsed: per pair.")
      .def_readonly("uncorrected_left", &UnbiasedCalibrationResult::uncorrectedLeft,
                    "uncorrectedLeft: pairs left uncorrected in the left camera.")
      .def_readonly("uncorrected_right", &UnbiasedCalibrationResult::uncorrectedRight,
                    "uncorrectedRight: the same, right camera.");
  m.def(
      "calibrate_unbiased",
      [](const Calibration& c, const py::handle& left, const py::handle& right,
         const UnbiasedCalibrationOptions& options) {
        const Lists l = Lists2FromArrays(left, "left_centres");
        const Lists r = Lists2FromArrays(right, "right_centres");
        py::gil_scoped_release release;
        return CalibrateUnbiased(c, l, r, options);
      },
      arg("calibration"), arg("left_centres"), arg("right_centres"),
      arg("options") = UnbiasedCalibrationOptions(), R"doc(
Calibrates as compute_stereo_calibration does, from measured (e.g. refined) centres, removing the
outline bias of the centres round by round (C++ CalibrateUnbiased). `left_centres[i]` holds the
centres of pair i of the calibration's left_targets; the calibration is not modified.)doc");
  m.def(
      "outline_centre_bias",
      [](const py::handle& k, const py::handle& d, const py::handle& rotation,
         const py::handle& tvec, const py::handle& centres, double radius,
         const py::handle& normal) {
        const cv::Mat K = MatFromArray(k, "camera_matrix"), D = MatFromArray(d, "distortion");
        const cv::Mat r = MatFromArray(rotation, "rotation"), t = MatFromArray(tvec, "tvec");
        const cv::Mat n = MatFromArray(normal, "normal");
        if ((r.total() != 3 && r.total() != 9) || t.total() != 3 || n.total() != 3) {
          throw py::value_error(
              "rotation must be a rotation vector (3) or matrix (3 x 3), tvec and normal 3 values");
        }
        const auto points = Points3FromArray(centres, "centres");
        const auto v = [](const cv::Mat& x) { return cv::Vec3d(x.ptr<double>()); };
        if (r.total() == 9) {
          return ArrayFromPoints(
              OutlineCentreBias(K, D, cv::Matx33d(r.reshape(1, 3)), v(t), points, radius, v(n)));
        }
        return ArrayFromPoints(OutlineCentreBias(K, D, v(r), v(t), points, radius, v(n)));
      },
      arg("camera_matrix"), arg("distortion"), arg("rotation"), arg("tvec"), arg("centres"),
      arg("radius"), arg("normal") = py::make_tuple(0.0, 0.0, 1.0), R"doc(
The offset of each dot's imaged outline centre from the projection of its true centre, for dots
of `radius` at `centres` (plate frame, (N, 3)) on a plate of pose (rotation, tvec), the rotation
as a vector or a 3 x 3 matrix (C++
OutlineCentreBias). Returns (N, 2) pixels; subtract it from measured centres.)doc");
}

void BindUncertainty(py::module_& m) {
  py::class_<PointUncertainty>(m, "PointUncertainty",
                               "A point and its sigmas (C++ PointUncertainty).")
      .def_property_readonly(
          "point",
          [](const PointUncertainty& p) { return py::make_tuple(p.point.x, p.point.y, p.point.z); },
          "point: in the left camera's frame, plate units.")
      .def_property_readonly(
          "sigma",
          [](const PointUncertainty& p) {
            return py::make_tuple(p.sigma[0], p.sigma[1], p.sigma[2]);
          },
          "sigma: per axis, plate units.")
      .def_readonly("total", &PointUncertainty::total, "total: root sum of the three variances.");
  const auto vec = [](const auto& v) { return std::vector<double>(v.val, v.val + v.rows); };
  py::class_<CalibrationUncertainty>(
      m, "CalibrationUncertainty",
      "The standard deviations of a calibration (C++ CalibrationUncertainty).")
      .def_readonly("centre_noise_px", &CalibrationUncertainty::centreNoisePx,
                    "centreNoisePx: sigma of one centre coordinate from the residuals.")
      .def_readonly("views", &CalibrationUncertainty::views, "views.")
      .def_readonly("observations", &CalibrationUncertainty::observations, "observations.")
      .def_readonly("parameters", &CalibrationUncertainty::parameters, "parameters.")
      .def_property_readonly(
          "left", [vec](const CalibrationUncertainty& u) { return vec(u.left); },
          "left: sigmas of fx fy cx cy k1 k2 p1 p2 k3.")
      .def_property_readonly(
          "right", [vec](const CalibrationUncertainty& u) { return vec(u.right); },
          "right: the same, right camera.")
      .def_property_readonly(
          "rotation", [vec](const CalibrationUncertainty& u) { return vec(u.rotation); },
          "rotation: sigmas of R's rotation vector, radians.")
      .def_property_readonly(
          "translation", [vec](const CalibrationUncertainty& u) { return vec(u.translation); },
          "translation: sigmas of T, plate units.")
      .def_readonly("baseline", &CalibrationUncertainty::baseline, "baseline: sigma of |T|.")
      .def_property_readonly(
          "covariance", [](const CalibrationUncertainty& u) { return ArrayFromMat(u.covariance); },
          "covariance: 24 x 24 of the rig parameters.")
      .def_readonly("median_distance", &CalibrationUncertainty::medianDistance, "medianDistance.")
      .def_readonly("at_centre", &CalibrationUncertainty::atCentre, "atCentre.")
      .def_readonly("at_corner", &CalibrationUncertainty::atCorner, "atCorner: the worst corner.");
  m.def(
      "triangulated_point_uncertainty",
      [](const CalibrationParameters& p, const py::handle& covariance, double noise,
         const py::handle& pixel, double depth) {
        const auto px = Points2FromArray(py::array::ensure(pixel).attr("reshape")(1, 2), "pixel");
        return TriangulatedPointUncertainty(p, MatFromArray(covariance, "covariance"), noise, px[0],
                                            depth);
      },
      arg("parameters"), arg("covariance"), arg("centre_noise_px"), arg("left_pixel"), arg("depth"),
      "The uncertainty of the point `depth` deep on the ray of `left_pixel`, triangulated from "
      "centres of the given noise with a rig of the given 24 x 24 covariance (C++ "
      "TriangulatedPointUncertainty).");
  m.def("estimate_calibration_uncertainty", &EstimateCalibrationUncertainty, arg("calibration"),
        py::call_guard<py::gil_scoped_release>(),
        "The uncertainty of the calibration's current parameters (C++ "
        "EstimateCalibrationUncertainty).");
}

}  // namespace

void BindCalibration(py::module_& m) {
  BindPatternAndParameters(m);
  BindCalibrationObject(m);
  BindUnbiased(m);
  BindUncertainty(m);
}

}  // namespace native64_python
