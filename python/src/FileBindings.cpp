// The file formats of dotcal: target descriptions, tool definitions and calibration files, so that
// Python programs share their files with the command-line tool.
#include <pybind11/stl.h>

#include "Arrays.h"
#include "Bindings.h"
#include "CommandError.h"
#include "detection/TargetShape.h"
#include "inputs/CalibrationFile.h"
#include "inputs/TargetFile.h"
#include "inputs/ToolFile.h"

namespace native64_python {
namespace {

using py::arg;

void BindTargetShape(py::module_& m) {
  py::class_<dotcal::TargetShape>(m, "TargetShape", R"doc(
A dot target: a bright region carrying dark dots on the nodes of a grid, some nodes possibly
empty (dotcal's TargetShape; the keys of a target file). Lengths are in `unit`.)doc")
      .def(py::init<>())
      .def_static("plate", &dotcal::TargetShape::Plate,
                  "The calibration plate: 9 x 13 nodes, spacing 30 mm, dots of 15 mm.")
      .def_static("tracker", &dotcal::TargetShape::Tracker,
                  "The 7-dot tracker: 4 x 2 nodes, spacing 16 mm, dots of 8 mm, node 5 empty.")
      .def_readwrite("name", &dotcal::TargetShape::name, "name: free text, for reports.")
      .def_readwrite("columns", &dotcal::TargetShape::columns,
                     "columns: grid nodes along the first axis.")
      .def_readwrite("rows", &dotcal::TargetShape::rows, "rows: grid nodes along the second axis.")
      .def_readwrite("dots", &dotcal::TargetShape::dots,
                     "dots: the dots the target carries (nodes less empty ones).")
      .def_readwrite("spacing", &dotcal::TargetShape::spacing,
                     "spacing: distance of neighbouring nodes.")
      .def_readwrite("diameter", &dotcal::TargetShape::diameter, "diameter: dot diameter.")
      .def_readwrite("margin", &dotcal::TargetShape::margin,
                     "margin: the bright region beyond the outer dot centres.")
      .def_readwrite("unit", &dotcal::TargetShape::unit, "unit: mm, cm, m or in.")
      .def_readwrite("empty_nodes", &dotcal::TargetShape::emptyNodes,
                     "emptyNodes: nodes without a dot, row * columns + column from 0.")
      .def("check", &dotcal::TargetShape::Check,
           "Raises ValueError unless the target can be detected and ordered.")
      .def("metres_per_unit", &dotcal::TargetShape::MetresPerUnit, "Metres in one unit.");
  m.def("read_target_file", &dotcal::ReadTargetFile, arg("path"),
        "Reads and checks a target file (YAML, JSON or XML).");
  m.def("write_target_file", &dotcal::WriteTargetFile, arg("path"), arg("shape"),
        "Writes a target file that read_target_file reads back to the same shape.");
  m.def("configure_detector", &dotcal::ConfigureDetector, arg("settings"), arg("shape"),
        "Configures a detector's settings for the target: grid, dot count, spacing and "
        "diameter, a threshold and regions that follow it.");
  m.def("configure_calibration", &dotcal::ConfigureCalibration, arg("calibration"), arg("shape"),
        "Configures a calibration for a complete plate: its nominal pattern and its detector.");
}

void BindToolDefinition(py::module_& m) {
  using dotcal::ToolDefinition;
  py::class_<ToolDefinition>(m, "ToolDefinition", R"doc(
A tool definition, as `dotcal pivot --out` writes it and `dotcal track --tool` reads it: the
tracker, its markers and the tip in the tool frame (dotcal's ToolDefinition).)doc")
      .def(py::init<>())
      .def_readwrite("name", &ToolDefinition::name, "name: the tool's name.")
      .def_readwrite("unit", &ToolDefinition::unit, "unit: of every length.")
      .def_readwrite("tracker", &ToolDefinition::tracker, "tracker: the tracker's TargetShape.")
      .def_property(
          "markers", [](const ToolDefinition& t) { return ArrayFromPoints(t.markers); },
          [](ToolDefinition& t, const py::handle& v) {
            t.markers = Points3FromArray(v, "markers");
          },
          "markers: (N, 3) in the tool frame, in the tracker's dot order.")
      .def_property(
          "tip", [](const ToolDefinition& t) { return TupleFromPoint(t.tip); },
          [](ToolDefinition& t, const py::handle& v) { t.tip = PointFromValues(v, "tip"); },
          "tip: in the tool frame.")
      .def_readwrite("pivot_residual", &ToolDefinition::pivotResidual,
                     "pivotResidual: RMS of the pivot fit's residuals.")
      .def_readwrite("frames_used", &ToolDefinition::framesUsed, "framesUsed.")
      .def_readwrite("frames_rejected", &ToolDefinition::framesRejected, "framesRejected.")
      .def_readwrite("tilt_median_deg", &ToolDefinition::tiltMedianDeg, "tiltMedianDeg.")
      .def_readwrite("tilt_max_deg", &ToolDefinition::tiltMaxDeg, "tiltMaxDeg.")
      .def_readwrite("method", &ToolDefinition::method, "method: of the pivot fit.")
      .def_readwrite("created", &ToolDefinition::created, "created: ISO 8601, UTC.")
      .def_readwrite("calibration_file", &ToolDefinition::calibrationFile, "calibrationFile.")
      .def_readwrite("calibration_checksum", &ToolDefinition::calibrationChecksum,
                     "calibrationChecksum.");
  m.def("read_tool_file", &dotcal::ReadToolFile, arg("path"), "Reads and checks a tool file.");
  m.def("write_tool_file", &dotcal::WriteToolFile, arg("path"), arg("tool"), "Writes a tool file.");
  m.def(
      "tool_frame_from_markers",
      [](const py::handle& markers) {
        return ArrayFromMat(dotcal::ToolFrameFromMarkers(Points3FromArray(markers, "markers")));
      },
      arg("markers"), "The 4 x 4 transform from the markers' coordinates to the tool frame.");
}

void BindCalibrationFile(py::module_& m) {
  m.def(
      "read_calibration_file",
      [](const std::string& path) {
        return dotcal::MakeCalibration(dotcal::ReadCalibrationFile(path));
      },
      arg("path"), R"doc(
Reads and checks a calibration file as dotcal writes it (OpenCV YAML, XML or JSON with M1, D1, M2,
D2, R, T, E, F, R1, R2, P1, P2, Q and the image size) and returns a Calibration that triangulates
with it.)doc");
  m.def(
      "write_calibration_file",
      [](const std::string& path, const Oskelo::CV::Native64::Calibration& calibration,
         std::pair<int, int> imageSize) {
        dotcal::WriteCalibrationFile(
            path,
            dotcal::FromCalibration(calibration, cv::Size(imageSize.first, imageSize.second)));
      },
      arg("path"), arg("calibration"), arg("image_size"),
      "Writes the calibration's parameters and RMS values for images of image_size (width, "
      "height), as dotcal does.");
}

}  // namespace

void BindFiles(py::module_& m) {
  // Files that cannot be used (missing, malformed, unwritable) and targets that cannot be
  // detected raise ValueError with the tool's message.
  static py::exception<dotcal::WorkFailed> fileError(m, "FileError", PyExc_ValueError);
  fileError.doc() =
      "A file that cannot be used (missing, malformed, unwritable) or a target that cannot be "
      "detected; a ValueError.";
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const dotcal::UsageError& e) {
      PyErr_SetString(fileError.ptr(), e.what());
    } catch (const dotcal::WorkFailed& e) {
      PyErr_SetString(fileError.ptr(), e.what());
    }
  });
  BindTargetShape(m);
  BindToolDefinition(m);
  BindCalibrationFile(m);
}

}  // namespace native64_python
