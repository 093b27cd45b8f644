#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <vector>

// Conversions between NumPy arrays and the library's OpenCV types. Every incoming array is
// checked for its dtype and shape before any of its memory is read; a wrong one raises TypeError
// (dtype) or ValueError (shape), naming what was expected.
namespace native64_python {

namespace py = pybind11;

// A 2-D uint8 array as a cv::Mat header on the array's own memory when its rows are each
// contiguous (any row stride, e.g. a slice of a larger image); otherwise (a column stride other
// than one byte, negative strides) as a packed copy. `keep` holds whichever buffer the Mat reads,
// for as long as the caller keeps `keep`. `name` appears in the error messages.
cv::Mat ImageFromArray(const py::handle& array, const char* name, py::object& keep);

// (N, 2) and (N, 3) arrays of numbers (converted to float64; any strides) as point lists, copied.
// An empty list may be given as an array of shape (0, 2) or (0,), or as an empty sequence.
std::vector<cv::Point2d> Points2FromArray(const py::handle& array, const char* name);
std::vector<cv::Point3d> Points3FromArray(const py::handle& array, const char* name);

// Point lists as new float64 arrays of shape (N, 2) and (N, 3).
py::array_t<double> ArrayFromPoints(const std::vector<cv::Point2d>& points);
py::array_t<double> ArrayFromPoints(const std::vector<cv::Point3d>& points);

// A one-channel cv::Mat as a NumPy array that shares the Mat's memory (the array keeps a
// reference to it); an empty Mat as None.
py::object ArrayFromMat(const cv::Mat& matrix);

// A 1-D or 2-D array of numbers as a new continuous float64 cv::Mat (a copy); None as an empty one.
cv::Mat MatFromArray(const py::handle& array, const char* name);

// A 3-D point as the tuple (x, y, z), and back from any array-like of 3 numbers.
py::tuple TupleFromPoint(const cv::Point3d& point);
cv::Point3d PointFromValues(const py::handle& values, const char* name);

// Lists of point lists (per view, per track) as Python lists of new (N, 2) or (N, 3) arrays, and
// back from any sequence of such arrays (copied).
py::list ArraysFromLists(const std::vector<std::vector<cv::Point2d>>& lists);
py::list ArraysFromLists(const std::vector<std::vector<cv::Point3d>>& lists);
std::vector<std::vector<cv::Point2d>> Lists2FromArrays(const py::handle& sequence,
                                                       const char* name);
std::vector<std::vector<cv::Point3d>> Lists3FromArrays(const py::handle& sequence,
                                                       const char* name);

// A rectangle as the tuple (x, y, width, height), and back from any 4-sequence of integers.
py::tuple TupleFromRect(const cv::Rect& rect);
cv::Rect RectFromTuple(const py::handle& sequence, const char* name);

}  // namespace native64_python
