#include "inputs/ReferenceFile.h"

#include <algorithm>
#include <cmath>

#include "CommandError.h"
#include "inputs/StorageFile.h"
#include "inputs/TargetFile.h"

namespace dotcal {
namespace {

// A rotation read from a file is orthonormal with determinant +1 to this: written with 17
// significant digits it keeps about 1e-15, while a hand edit or a scaled transform is far off.
constexpr double kRigidTol = 1e-6;

cv::FileNode Required(const cv::FileNode& map, const char* key, const std::string& where) {
  const cv::FileNode node = map[key];
  if (node.empty()) throw WorkFailed(where + key + " is missing");
  return node;
}

std::string ReadText(const cv::FileNode& map, const char* key, const std::string& where) {
  const cv::FileNode node = Required(map, key, where);
  if (!node.isString()) throw WorkFailed(where + key + " is not a text");
  return node.string();
}

double ReadNumber(const cv::FileNode& map, const char* key, const std::string& where) {
  const cv::FileNode node = Required(map, key, where);
  const double value = node.isInt() || node.isReal() ? static_cast<double>(node) : NAN;
  if (!std::isfinite(value)) throw WorkFailed(where + key + " is not a finite number");
  return value;
}

cv::Point3d ReadPoint(const cv::FileNode& map, const char* key, const std::string& where) {
  const cv::FileNode node = Required(map, key, where);
  const std::string bad = where + key + " is not a list of 3 finite numbers";
  if (!node.isSeq() || node.size() != 3) throw WorkFailed(bad);
  double xyz[3];
  for (int i = 0; i < 3; ++i) {
    const cv::FileNode c = node[i];
    xyz[i] = c.isInt() || c.isReal() ? static_cast<double>(c) : NAN;
    if (!std::isfinite(xyz[i])) throw WorkFailed(bad);
  }
  return {xyz[0], xyz[1], xyz[2]};
}

}  // namespace

std::string RigidTransformFault(const cv::Mat& m, double tolerance) {
  if (m.rows != 4 || m.cols != 4 || m.channels() != 1) return "is not a 4 x 4 matrix";
  cv::Mat values;
  m.convertTo(values, CV_64F);
  if (!cv::checkRange(values)) return "holds a value that is not finite";
  const cv::Matx44d T(values);
  if (T(3, 0) != 0.0 || T(3, 1) != 0.0 || T(3, 2) != 0.0 || T(3, 3) != 1.0) {
    return "does not end in the row 0 0 0 1";
  }
  const cv::Matx33d R(T(0, 0), T(0, 1), T(0, 2), T(1, 0), T(1, 1), T(1, 2), T(2, 0), T(2, 1),
                      T(2, 2));
  if (!(cv::norm(R * R.t() - cv::Matx33d::eye(), cv::NORM_INF) <= tolerance) ||
      !(std::abs(cv::determinant(R) - 1.0) <= tolerance)) {
    return "is not rigid: its rotation is not orthonormal with determinant +1";
  }
  return "";
}

void WriteReferenceFile(const std::string& path, const ReferenceFrame& frame) {
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE);
    if (!storage.isOpened()) throw WorkFailed(path + ": cannot be written");
    storage.writeComment("Reference frame for dotcal; lengths in the unit below");
    storage << "unit" << frame.unit;
    storage << "reference_from_measured" << frame.referenceFromMeasured;
    storage << "points"
            << "[";
    for (const ReferencePoint& p : frame.points) {
      storage << "{:"
              << "name" << p.name;
      storage << "reference"
              << "[:" << p.reference.x << p.reference.y << p.reference.z << "]";
      storage << "measured"
              << "[:" << p.measured.x << p.measured.y << p.measured.z << "]";
      storage << "residual" << p.residual << "}";
    }
    storage << "]";
    storage << "rms" << frame.rms << "created" << frame.created;
    storage.release();
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be written (" + e.err + ")");
  }
}

ReferenceFrame ReadReferenceFile(const std::string& path) {
  const cv::FileStorage storage = OpenStorageFile(path, "reference");
  const cv::FileNode root = storage.root();
  const std::string where = path + ": ";
  ReferenceFrame frame;
  frame.unit = ReadText(root, "unit", where);
  const std::vector<std::string>& units = TargetUnits();
  if (std::find(units.begin(), units.end(), frame.unit) == units.end()) {
    throw WorkFailed(where + "unit is '" + frame.unit + "', not mm, cm, m or in");
  }

  const cv::FileNode transform = Required(root, "reference_from_measured", where);
  cv::Mat matrix;
  try {
    if (transform.isMap()) transform >> matrix;
  } catch (const cv::Exception&) {
    matrix.release();
  }
  const std::string fault =
      matrix.empty() ? "is not a matrix" : RigidTransformFault(matrix, kRigidTol);
  if (!fault.empty()) throw WorkFailed(where + "reference_from_measured " + fault);
  matrix.convertTo(frame.referenceFromMeasured, CV_64F);

  const cv::FileNode points = Required(root, "points", where);
  if (!points.isSeq()) throw WorkFailed(where + "points is not a list");
  int index = 0;
  for (const cv::FileNode& entry : points) {
    const std::string at = where + "points[" + std::to_string(index++) + "].";
    if (!entry.isMap()) throw WorkFailed(at.substr(0, at.size() - 1) + " is not a map");
    ReferencePoint point;
    point.name = ReadText(entry, "name", at);
    point.reference = ReadPoint(entry, "reference", at);
    point.measured = ReadPoint(entry, "measured", at);
    point.residual = ReadNumber(entry, "residual", at);
    frame.points.push_back(point);
  }
  frame.rms = ReadNumber(root, "rms", where);
  frame.created = ReadText(root, "created", where);
  return frame;
}

}  // namespace dotcal
