// The Python module native64: the library's classes and functions for NumPy users.
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "Bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(native64, m) {
  m.doc() =
      "Dot-target detection, stereo calibration, triangulation, pivot calibration and rigid\n"
      "registration for a stereo pair of monochrome cameras.\n\n"
      "Images are 2-D uint8 NumPy arrays; point lists are (N, 2) and (N, 3) float64 arrays;\n"
      "matrices are NumPy arrays. Errors of the library raise native64.Error (a RuntimeError\n"
      "carrying OpenCV's message and code).";

  // cv::Exception as native64.Error(RuntimeError) with OpenCV's code and message as attributes.
  static py::exception<cv::Exception> error(m, "Error", PyExc_RuntimeError);
  error.doc() =
      "An error raised by the library (cv::Exception): `code` is OpenCV's error code, `err` the "
      "condition text, `func` the function that raised it.";
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const cv::Exception& e) {
      py::object instance = py::reinterpret_borrow<py::object>(error)(e.what());
      instance.attr("code") = e.code;
      instance.attr("err") = e.err;
      instance.attr("func") = e.func;
      PyErr_SetObject(error.ptr(), instance.ptr());
    }
  });

  native64_python::BindDetection(m);
  native64_python::BindCalibration(m);
  native64_python::BindGeometry(m);
  native64_python::BindFiles(m);
}
