#include "Arrays.h"

#include <climits>
#include <string>

namespace native64_python {
namespace {

[[noreturn]] void WrongType(const char* name, const std::string& expected, const py::handle& got) {
  throw py::type_error(std::string(name) + ": expected " + expected + ", got " +
                       std::string(py::str(py::type::handle_of(got).attr("__name__"))));
}

[[noreturn]] void WrongShape(const char* name, const std::string& expected,
                             const py::array& array) {
  std::string shape = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    shape += (d ? ", " : "") + std::to_string(array.shape(d));
  }
  shape += array.ndim() == 1 ? ",)" : ")";
  throw py::value_error(std::string(name) + ": expected " + expected + ", got shape " + shape);
}

// Any array-like of numbers as a float64 array (a copy only where a conversion is needed).
py::array_t<double> Doubles(const py::handle& value, const char* name) {
  if (!py::isinstance<py::array>(value) && !py::isinstance<py::sequence>(value)) {
    WrongType(name, "an array of numbers", value);
  }
  const py::array array = py::array::ensure(value);
  if (!array) WrongType(name, "an array of numbers", value);
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::type_error(std::string(name) + ": expected an array of numbers, got dtype " +
                         std::string(py::str(array.dtype())));
  }
  return py::array_t<double, py::array::forcecast>::ensure(array);
}

template <typename Point, int D>
std::vector<Point> PointsFromArray(const py::handle& value, const char* name) {
  const py::array_t<double> array = Doubles(value, name);
  const std::string expected = "shape (N, " + std::to_string(D) + ")";
  if (array.ndim() == 1 && array.shape(0) == 0) return {};
  if (array.ndim() != 2 || array.shape(1) != D) WrongShape(name, expected, array);
  const auto a = array.unchecked<2>();
  std::vector<Point> points(static_cast<std::size_t>(a.shape(0)));
  for (py::ssize_t i = 0; i < a.shape(0); ++i) {
    double* p = &points[static_cast<std::size_t>(i)].x;
    for (int d = 0; d < D; ++d) p[d] = a(i, d);
  }
  return points;
}

template <typename Point, int D>
py::array_t<double> ArrayOf(const std::vector<Point>& points) {
  py::array_t<double> array({static_cast<py::ssize_t>(points.size()), py::ssize_t{D}});
  auto a = array.mutable_unchecked<2>();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double* p = &points[i].x;
    for (int d = 0; d < D; ++d) a(static_cast<py::ssize_t>(i), d) = p[d];
  }
  return array;
}

template <typename Point>
py::list ListOfArrays(const std::vector<std::vector<Point>>& lists) {
  py::list out;
  for (const auto& list : lists) out.append(ArrayFromPoints(list));
  return out;
}

template <typename Point, int D>
std::vector<std::vector<Point>> ListsOf(const py::handle& value, const char* name) {
  if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
    throw py::type_error(std::string(name) + ": expected a list of (N, " + std::to_string(D) +
                         ") arrays");
  }
  std::vector<std::vector<Point>> lists;
  for (const py::handle item : value) lists.push_back(PointsFromArray<Point, D>(item, name));
  return lists;
}

py::dtype DtypeOf(int depth) {
  switch (depth) {
    case CV_8U:
      return py::dtype::of<std::uint8_t>();
    case CV_8S:
      return py::dtype::of<std::int8_t>();
    case CV_16U:
      return py::dtype::of<std::uint16_t>();
    case CV_16S:
      return py::dtype::of<std::int16_t>();
    case CV_32S:
      return py::dtype::of<std::int32_t>();
    case CV_32F:
      return py::dtype::of<float>();
    default:
      return py::dtype::of<double>();
  }
}

}  // namespace

cv::Mat ImageFromArray(const py::handle& value, const char* name, py::object& keep) {
  if (!py::isinstance<py::array>(value)) WrongType(name, "a 2-D uint8 NumPy array", value);
  py::array array = py::reinterpret_borrow<py::array>(value);
  if (!array.dtype().is(py::dtype::of<std::uint8_t>())) {
    throw py::type_error(std::string(name) + ": expected dtype uint8, got " +
                         std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2) WrongShape(name, "a 2-D array (height, width)", array);
  if (array.shape(0) == 0 || array.shape(1) == 0) WrongShape(name, "a non-empty image", array);
  if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) {
    WrongShape(name, "at most 2^31 - 1 rows and columns", array);
  }
  // Rows of contiguous bytes at a positive row stride can be read in place; anything else is
  // packed first.
  if (array.strides(1) != 1 || array.strides(0) < array.shape(1)) {
    array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
  }
  keep = array;
  return cv::Mat(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8UC1,
                 const_cast<void*>(array.data()), static_cast<std::size_t>(array.strides(0)));
}

std::vector<cv::Point2d> Points2FromArray(const py::handle& array, const char* name) {
  return PointsFromArray<cv::Point2d, 2>(array, name);
}

std::vector<cv::Point3d> Points3FromArray(const py::handle& array, const char* name) {
  return PointsFromArray<cv::Point3d, 3>(array, name);
}

py::array_t<double> ArrayFromPoints(const std::vector<cv::Point2d>& points) {
  return ArrayOf<cv::Point2d, 2>(points);
}

py::array_t<double> ArrayFromPoints(const std::vector<cv::Point3d>& points) {
  return ArrayOf<cv::Point3d, 3>(points);
}

py::object ArrayFromMat(const cv::Mat& matrix) {
  if (matrix.empty()) return py::none();
  CV_Assert(matrix.dims == 2 && matrix.channels() == 1);
  // The capsule owns a Mat header that shares the data, so the array keeps it alive.
  auto* owner = new cv::Mat(matrix);
  py::capsule base(owner, [](void* p) { delete static_cast<cv::Mat*>(p); });
  return py::array(
      DtypeOf(matrix.depth()), {matrix.rows, matrix.cols},
      {static_cast<py::ssize_t>(matrix.step[0]), static_cast<py::ssize_t>(matrix.elemSize())},
      owner->data, base);
}

cv::Mat MatFromArray(const py::handle& value, const char* name) {
  if (value.is_none()) return cv::Mat();
  const py::array_t<double> array = Doubles(value, name);
  if (array.ndim() != 1 && array.ndim() != 2) WrongShape(name, "a 1-D or 2-D array", array);
  const int rows = static_cast<int>(array.shape(0));
  const int cols = array.ndim() == 2 ? static_cast<int>(array.shape(1)) : 1;
  cv::Mat matrix(rows, cols, CV_64F);
  if (array.ndim() == 2) {
    const auto a = array.unchecked<2>();
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) matrix.at<double>(r, c) = a(r, c);
  } else {
    const auto a = array.unchecked<1>();
    for (int r = 0; r < rows; ++r) matrix.at<double>(r) = a(r);
  }
  return matrix;
}

py::tuple TupleFromPoint(const cv::Point3d& point) {
  return py::make_tuple(point.x, point.y, point.z);
}

cv::Point3d PointFromValues(const py::handle& values, const char* name) {
  const auto array =
      py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(Doubles(values, name));
  if (array.size() != 3) WrongShape(name, "3 values (x, y, z)", array);
  const double* v = array.data();
  return {v[0], v[1], v[2]};
}

py::list ArraysFromLists(const std::vector<std::vector<cv::Point2d>>& lists) {
  return ListOfArrays(lists);
}

py::list ArraysFromLists(const std::vector<std::vector<cv::Point3d>>& lists) {
  return ListOfArrays(lists);
}

std::vector<std::vector<cv::Point2d>> Lists2FromArrays(const py::handle& value, const char* name) {
  return ListsOf<cv::Point2d, 2>(value, name);
}

std::vector<std::vector<cv::Point3d>> Lists3FromArrays(const py::handle& value, const char* name) {
  return ListsOf<cv::Point3d, 3>(value, name);
}

py::tuple TupleFromRect(const cv::Rect& rect) {
  return py::make_tuple(rect.x, rect.y, rect.width, rect.height);
}

cv::Rect RectFromTuple(const py::handle& value, const char* name) {
  if (!py::isinstance<py::sequence>(value) || py::len(value) != 4) {
    throw py::type_error(std::string(name) + ": expected (x, y, width, height)");
  }
  const py::sequence s = py::reinterpret_borrow<py::sequence>(value);
  try {
    return cv::Rect(s[0].cast<int>(), s[1].cast<int>(), s[2].cast<int>(), s[3].cast<int>());
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(name) + ": expected (x, y, width, height) of integers");
  }
}

}  // namespace native64_python
