// Geometry: the pivot calibration object, the reference frame, the pose-based pivot fits, the
// hypersphere and rigid-transform fits, and the utilities.
#include <pybind11/stl.h>

#include "Arrays.h"
#include "Bindings.h"
#include "native64/Cone.h"
#include "native64/GeometryFunctions.h"
#include "native64/Reference.h"
#include "native64/ToolPivot.h"
#include "native64/Utils.h"

namespace native64_python {
namespace {

using namespace Oskelo::CV::Native64;
using py::arg;
using Tracks = std::vector<std::vector<cv::Point3d>>;

void BindCone(py::module_& m) {
  py::class_<Cone>(m, "Cone", R"doc(
Pivot calibration of a tool and its location from observed markers (C++ Cone). Fill
marker_tracks with each marker's positions over the pivoting frames, call calibrate(); pivot and
marker_offsets are then the tool's model. Transforms are 4 x 4 float64 arrays.)doc")
      .def(py::init<>())
      .def("__copy__", [](const Cone& c) { return Cone(c); })
      .def_readwrite("euler_order", &Cone::eulerOrder,
                     "eulerOrder: rotation order of find_transformation_old's angles (0..5).")
      .def_readwrite("fit_method", &Cone::fitMethod,
                     "fitMethod: 0 hyper, 1 iterative, 2 Pratt, 3 Taubin.")
      .def_property(
          "marker_tracks", [](const Cone& c) { return ArraysFromLists(c.markerTracks); },
          [](Cone& c, const py::handle& v) {
            c.markerTracks = Lists3FromArrays(v, "marker_tracks");
          },
          "markerTracks: per marker its positions over the frames, a list of (N, 3) arrays.")
      .def_property(
          "marker_offsets", [](const Cone& c) { return ArrayFromPoints(c.markerOffsets); },
          [](Cone& c, const py::handle& v) {
            c.markerOffsets = Points3FromArray(v, "marker_offsets");
          },
          "markerOffsets: per marker its first position minus pivot, (N, 3).")
      .def_property(
          "pivot", [](const Cone& c) { return TupleFromPoint(c.pivot); },
          [](Cone& c, const py::handle& v) { c.pivot = PointFromValues(v, "pivot"); },
          "pivot: the pivot point (tool tip) in the measurement frame.")
      .def_readwrite("reserved_value", &Cone::reservedValue, "reservedValue: kept for the host.")
      .def(
          "calibrate",
          [](Cone& c, const py::object& pivot) {
            if (pivot.is_none()) {
              py::gil_scoped_release release;
              c.Calibrate();
            } else {
              c.Calibrate(PointFromValues(pivot, "pivot"));
            }
          },
          arg("pivot") = py::none(), R"doc(
Without `pivot`: fits a sphere to every track and stores their common centre as pivot, and the
marker offsets (C++ Calibrate()). With `pivot`: stores it and rebuilds the offsets.)doc")
      .def_static(
          "get_rigid_transform",
          [](const py::handle& a, const py::handle& b) {
            cv::Mat transform;
            Cone::GetRigidTransform(Points3FromArray(a, "a"), Points3FromArray(b, "b"), transform);
            return ArrayFromMat(transform);
          },
          arg("a"), arg("b"),
          "The rigid transform carrying a[i] onto b[i], 4 x 4 (C++ GetRigidTransform).")
      .def(
          "find_transformation",
          [](Cone& c, const py::handle& observed, const py::handle& model) {
            cv::Mat transform;
            double error = 0.0;
            c.FindTransformation(Points3FromArray(observed, "observed"),
                                 Points3FromArray(model, "model"), transform, error);
            return py::make_tuple(ArrayFromMat(transform), error);
          },
          arg("observed"), arg("model"),
          "(transform, rms): the transform carrying model onto observed (C++ FindTransformation).")
      .def(
          "find_transformation_old",
          [](const Cone& c, const py::handle& observed, const py::handle& offset) {
            cv::Point3d position, angles;
            cv::Mat transform;
            const bool ok =
                c.FindTransformation_old(Points3FromArray(observed, "observed"), position, angles,
                                         transform, PointFromValues(offset, "offset"));
            return py::make_tuple(ok, TupleFromPoint(position), TupleFromPoint(angles),
                                  ArrayFromMat(transform));
          },
          arg("observed"), arg("offset") = py::make_tuple(0.0, 0.0, 0.0), R"doc(
Locates the calibrated tool from its observed markers (C++ FindTransformation_old). Returns
(found, position, angles, transform).)doc");
}

void BindReference(py::module_& m) {
  py::class_<Reference>(m, "Reference", R"doc(
Expresses measured 3-D points in a reference frame (C++ Reference).)doc")
      .def(py::init<>())
      .def("__copy__", [](const Reference& r) { return Reference(r); })
      .def_property(
          "reference_points", [](const Reference& r) { return ArrayFromPoints(r.referencePoints); },
          [](Reference& r, const py::handle& v) {
            r.referencePoints = Points3FromArray(v, "reference_points");
          },
          "referencePoints: the points in the reference frame, (N, 3).")
      .def_property(
          "measured_points", [](const Reference& r) { return ArrayFromPoints(r.measuredPoints); },
          [](Reference& r, const py::handle& v) {
            r.measuredPoints = Points3FromArray(v, "measured_points");
          },
          "measuredPoints: the same points as measured, (N, 3).")
      .def_property(
          "reference_transform",
          [](const Reference& r) { return ArrayFromMat(r.referenceTransform); },
          [](Reference& r, const py::handle& v) {
            r.referenceTransform = MatFromArray(v, "reference_transform");
          },
          "referenceTransform: 4 x 4 from measured to reference coordinates.")
      .def(
          "compute_reference_transform",
          [](Reference& r, const py::handle& offset) {
            r.ComputeReferenceTransform(PointFromValues(offset, "offset"));
          },
          arg("offset") = py::make_tuple(0.0, 0.0, 0.0),
          "Stores the rigid transform from measured onto reference points + offset (C++ "
          "ComputeReferenceTransform).")
      .def(
          "transform",
          [](const Reference& r, const py::handle& points) {
            std::vector<cv::Point3d> out;
            r.Transform(Points3FromArray(points, "points"), out);
            return ArrayFromPoints(out);
          },
          arg("points"), "The points mapped by reference_transform (C++ Transform).");
}

void BindPivot(py::module_& m) {
  py::class_<PivotFitOptions>(m, "PivotFitOptions",
                              "Options of the pose-based pivot fits (C++ PivotFitOptions).")
      .def(py::init<>())
      .def_readwrite("outlier_factor", &PivotFitOptions::outlierFactor,
                     "outlierFactor: a frame whose residual exceeds this many medians is rejected.")
      .def_readwrite("min_kept_share", &PivotFitOptions::minKeptShare,
                     "minKeptShare: rejection stops at this share of the frames.")
      .def_readwrite("refine_geometric", &PivotFitOptions::refineGeometric,
                     "refineGeometric: refine by the geometric distances after the linear fit.")
      .def_readwrite("min_frames", &PivotFitOptions::minFrames, "minFrames: fewer warns.")
      .def_readwrite("min_tilt_deg", &PivotFitOptions::minTiltDeg, "minTiltDeg: less warns.")
      .def_readwrite("spin_to_tilt_ratio", &PivotFitOptions::spinToTiltRatio,
                     "spinToTiltRatio: more spin than this times the tilt warns.");
  py::class_<PivotFitResult>(m, "PivotFitResult", "A pivot fit (C++ PivotFitResult).")
      .def_readonly("solved", &PivotFitResult::solved, "solved.")
      .def_property_readonly(
          "tip_in_tool", [](const PivotFitResult& r) { return TupleFromPoint(r.tipInTool); },
          "tipInTool: the tip in the tool frame.")
      .def_property_readonly(
          "pivot", [](const PivotFitResult& r) { return TupleFromPoint(r.pivot); },
          "pivot: the pivot point in the measurement frame.")
      .def_readonly("rms", &PivotFitResult::rms, "rms: of the used frames' residuals.")
      .def_readonly("frame_residuals", &PivotFitResult::frameResiduals, "frameResiduals.")
      .def_readonly("frame_used", &PivotFitResult::frameUsed, "frameUsed.")
      .def_readonly("frames_used", &PivotFitResult::framesUsed, "framesUsed.")
      .def_readonly("frames_rejected", &PivotFitResult::framesRejected, "framesRejected.")
      .def_readonly("refine_iterations", &PivotFitResult::refineIterations, "refineIterations.")
      .def_readonly("median_tilt_deg", &PivotFitResult::medianTiltDeg, "medianTiltDeg.")
      .def_readonly("max_tilt_deg", &PivotFitResult::maxTiltDeg, "maxTiltDeg.")
      .def_readonly("spin_range_deg", &PivotFitResult::spinRangeDeg, "spinRangeDeg.")
      .def_readonly("warnings", &PivotFitResult::warnings, "warnings: PIVOT_* bits.");
  m.attr("PIVOT_FEW_FRAMES") = static_cast<unsigned>(kPivotFewFrames);
  m.attr("PIVOT_LITTLE_TILT") = static_cast<unsigned>(kPivotLittleTilt);
  m.attr("PIVOT_SPIN_ONLY") = static_cast<unsigned>(kPivotSpinOnly);
  m.attr("PIVOT_MANY_REJECTED") = static_cast<unsigned>(kPivotManyRejected);
  m.def(
      "pivot_from_poses",
      [](const std::vector<py::object>& poses, const PivotFitOptions& options) {
        std::vector<cv::Mat> mats;
        for (const py::object& p : poses) mats.push_back(MatFromArray(p, "poses"));
        py::gil_scoped_release release;
        return PivotFromPoses(mats, options);
      },
      arg("poses"), arg("options") = PivotFitOptions(),
      "The pivot of a tool from its poses (4 x 4 arrays, tool to measurement frame) (C++ "
      "PivotFromPoses).");
  m.def(
      "pivot_from_markers",
      [](const py::handle& frames, const py::handle& model, const PivotFitOptions& options) {
        const Tracks f = Lists3FromArrays(frames, "frames");
        const auto mdl = Points3FromArray(model, "model");
        std::vector<cv::Mat> poses;
        PivotFitResult result;
        {
          py::gil_scoped_release release;
          result = PivotFromMarkers(f, mdl, options, &poses);
        }
        py::list posesOut;
        for (const cv::Mat& p : poses) posesOut.append(ArrayFromMat(p));
        return py::make_tuple(result, posesOut);
      },
      arg("frames"), arg("model"), arg("options") = PivotFitOptions(), R"doc(
The pivot from each frame's markers (a list of (N, 3) arrays in the model's order) registered onto
`model` (C++ PivotFromMarkers). Returns (result, poses).)doc");
  m.def(
      "mean_marker_model",
      [](const py::handle& frames) {
        return ArrayFromPoints(MeanMarkerModel(Lists3FromArrays(frames, "frames")));
      },
      arg("frames"), "A marker model from the frames (C++ MeanMarkerModel).");
  py::class_<SharedSphereFit>(m, "SharedSphereFit", "Spheres of one centre (C++ SharedSphereFit).")
      .def_readonly("solved", &SharedSphereFit::solved, "solved.")
      .def_property_readonly(
          "centre", [](const SharedSphereFit& f) { return TupleFromPoint(f.centre); }, "centre.")
      .def_readonly("radii", &SharedSphereFit::radii, "radii: one per track.")
      .def_readonly("rms", &SharedSphereFit::rms, "rms.");
  m.def(
      "fit_shared_sphere",
      [](const py::handle& tracks) { return FitSharedSphere(Lists3FromArrays(tracks, "tracks")); },
      arg("tracks"), "Spheres of one common centre through each track (C++ FitSharedSphere).");
  m.def("pivot_warning_texts", &PivotWarningTexts, arg("warnings"),
        arg("options") = PivotFitOptions(),
        "One sentence per warning bit (C++ PivotWarningTexts).");
}

void BindFits(py::module_& m) {
  m.def(
      "fit_hyper_sphere",
      [](const py::handle& points) {
        cv::Mat out;
        const double rms =
            Tarnwell::Native::CV::FitHyperSphere(MatFromArray(points, "points"), out, true);
        return py::make_tuple(ArrayFromMat(out), rms);
      },
      arg("points"), R"doc(
The hyper fit of a circle or sphere to points (rows of 2 or 3 coordinates) (C++ FitHyperSphere).
Returns (centre and radius as one row, RMS of the geometric residuals).)doc");
  m.def(
      "get_rigid_transform",
      [](const py::handle& a, const py::handle& b, bool fixReflection) {
        cv::Mat transform;
        const double error = Tarnwell::Native::CV::GetRigidTransform(
            MatFromArray(a, "a"), MatFromArray(b, "b"), transform, true, fixReflection);
        return py::make_tuple(ArrayFromMat(transform), error);
      },
      arg("a"), arg("b"), arg("fix_reflection") = true, R"doc(
The least-squares rigid transform (Kabsch) carrying the rows of a onto those of b (C++
GetRigidTransform). Returns (homogeneous matrix, residual sigma).)doc");
}

void BindUtils(py::module_& m) {
  py::class_<Utils::Stopwatch>(m, "Stopwatch",
                               "Wall time between start and stop (C++ Utils::Stopwatch).")
      .def(py::init<>())
      .def("start", &Utils::Stopwatch::Start, "Takes the start count.")
      .def("stop", &Utils::Stopwatch::Stop, "Takes the stop count.")
      .def("get_elapsed_time", &Utils::Stopwatch::GetElapsedTime, "Seconds from start to stop.");
  m.def(
      "geo_dist",
      [](const py::handle& a, const py::handle& b) {
        std::vector<double> distances;
        Utils::GeoDist(Points3FromArray(a, "a"), Points3FromArray(b, "b"), distances);
        return distances;
      },
      arg("a"), arg("b"), "Distances of a[i] and b[i] (C++ Utils::GeoDist).");
  m.def(
      "mat_to_string",
      [](const py::handle& matrix) {
        std::string text;
        Utils::MatToString(MatFromArray(matrix, "matrix"), text);
        return text;
      },
      arg("matrix"), "The matrix as text (C++ Utils::MatToString).");
  m.def(
      "show_mat", [](const py::handle& matrix) { Utils::ShowMat(MatFromArray(matrix, "matrix")); },
      arg("matrix"),
      "Shows the matrix in the window \"Kiv\" and waits for a key; without a display, returns "
      "at once (C++ Utils::ShowMat).");
}

}  // namespace

void BindGeometry(py::module_& m) {
  BindCone(m);
  BindReference(m);
  BindPivot(m);
  BindFits(m);
  BindUtils(m);
}

}  // namespace native64_python
