#include "inputs/ToolFile.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "CommandError.h"
#include "inputs/StorageFile.h"
#include "inputs/TargetFile.h"

namespace dotcal {

// Without apostrophes: OpenCV escapes them as \' in quoted YAML, which other YAML readers refuse.
const char* const kToolFrameRule =
    "origin at the centroid of the markers; x toward marker 0; y in the plane of x and the first "
    "later marker off the x axis line (by more than a tenth of the distance of marker 0 from the "
    "origin), on its side; z = x cross y";

namespace {

// A marker counts as off the x axis line when it lies farther from it than this share of marker
// 0's distance from the centroid (the rule above).
constexpr double kOffAxisShare = 0.1;
// FNV-1a, 64 bits (Fowler, Noll and Vo): offset basis and prime.
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;
constexpr char kChecksumPrefix[] = "fnv1a64:";
constexpr std::size_t kChecksumDigits = 16;
// The pivot methods a tool file may name.
const char* const kMethods[] = {"pose", "shared-sphere", "hyper", "iterative", "pratt", "taubin"};

cv::Point3d Centroid(const std::vector<cv::Point3d>& points) {
  cv::Point3d sum(0, 0, 0);
  for (const cv::Point3d& p : points) sum += p;
  return sum * (1.0 / static_cast<double>(points.size()));
}

cv::FileNode Required(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = storage[key];
  if (node.empty()) throw WorkFailed(path + ": " + key + " is missing");
  return node;
}

std::string ReadText(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = Required(storage, key, path);
  if (!node.isString()) throw WorkFailed(path + ": " + key + " is not a text");
  return node.string();
}

double ReadNumber(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = Required(storage, key, path);
  if (!node.isInt() && !node.isReal()) throw WorkFailed(path + ": " + key + " is not a number");
  const double value = static_cast<double>(node);
  if (!std::isfinite(value)) throw WorkFailed(path + ": " + key + " is not finite");
  return value;
}

int ReadFrameCount(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = Required(storage, key, path);
  if (!node.isInt() || static_cast<int>(node) < 0) {
    throw WorkFailed(path + ": " + key + " is not a whole number of frames");
  }
  return static_cast<int>(node);
}

cv::Point3d ReadTip(const cv::FileStorage& storage, const std::string& path) {
  const cv::FileNode node = Required(storage, "tip", path);
  const std::string bad = path + ": tip is not a list of 3 finite numbers";
  if (!node.isSeq() || node.size() != 3) throw WorkFailed(bad);
  double xyz[3];
  for (int i = 0; i < 3; ++i) {
    const cv::FileNode c = node[i];
    if (!c.isInt() && !c.isReal()) throw WorkFailed(bad);
    xyz[i] = static_cast<double>(c);
    if (!std::isfinite(xyz[i])) throw WorkFailed(bad);
  }
  return {xyz[0], xyz[1], xyz[2]};
}

std::vector<cv::Point3d> ReadMarkers(const cv::FileStorage& storage, const std::string& path) {
  const cv::FileNode node = Required(storage, "markers", path);
  const std::string bad = path + ": markers is not an N x 3 matrix of finite numbers";
  if (!node.isMap()) throw WorkFailed(bad);
  cv::Mat matrix;
  try {
    node >> matrix;
  } catch (const cv::Exception&) {
    throw WorkFailed(bad);
  }
  if (matrix.empty() || matrix.channels() != 1 || matrix.cols != 3) throw WorkFailed(bad);
  cv::Mat values;
  matrix.convertTo(values, CV_64F);
  if (!cv::checkRange(values)) throw WorkFailed(bad);
  std::vector<cv::Point3d> markers;
  for (int r = 0; r < values.rows; ++r) {
    markers.emplace_back(values.at<double>(r, 0), values.at<double>(r, 1), values.at<double>(r, 2));
  }
  return markers;
}

bool IsChecksum(const std::string& text) {
  const std::size_t prefix = sizeof(kChecksumPrefix) - 1;
  if (text.size() != prefix + kChecksumDigits || text.compare(0, prefix, kChecksumPrefix) != 0) {
    return false;
  }
  return std::all_of(text.begin() + prefix, text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

cv::Mat ToolFrameFromMarkers(const std::vector<cv::Point3d>& markers) {
  if (markers.size() < 3) {
    throw WorkFailed("a tool frame needs at least 3 markers, not " +
                     std::to_string(markers.size()));
  }
  const cv::Vec3d origin(Centroid(markers));
  const cv::Vec3d toFirst = cv::Vec3d(markers[0]) - origin;
  const double reach = cv::norm(toFirst);
  // Exactly 0 only when every marker coincides; otherwise marker 0 may still sit on the centroid.
  if (!(reach > 0.0)) throw WorkFailed("the markers lie on one line: no tool frame");
  const cv::Vec3d x = toFirst / reach;
  cv::Vec3d y;
  bool found = false;
  for (std::size_t m = 1; m < markers.size() && !found; ++m) {
    const cv::Vec3d d = cv::Vec3d(markers[m]) - origin;
    const cv::Vec3d across = d - d.dot(x) * x;  // its offset from the x axis line
    if (cv::norm(across) > kOffAxisShare * reach) {
      y = across / cv::norm(across);
      found = true;
    }
  }
  if (!found) throw WorkFailed("the markers lie on one line: no tool frame");
  const cv::Vec3d z = x.cross(y);

  // tool_from_markers: the rows of R are the tool axes in the markers' coordinates.
  cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
  for (int c = 0; c < 3; ++c) {
    transform.at<double>(0, c) = x[c];
    transform.at<double>(1, c) = y[c];
    transform.at<double>(2, c) = z[c];
  }
  const cv::Matx33d R(transform(cv::Rect(0, 0, 3, 3)));
  const cv::Vec3d t = -(R * origin);
  for (int r = 0; r < 3; ++r) transform.at<double>(r, 3) = t[r];
  return transform;
}

std::string FileChecksum(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw WorkFailed(path + ": cannot be read for its checksum");
  std::uint64_t hash = kFnvOffset;
  char buffer[1 << 16];
  while (file.read(buffer, sizeof(buffer)) || file.gcount() > 0) {
    for (std::streamsize i = 0; i < file.gcount(); ++i) {
      hash ^= static_cast<unsigned char>(buffer[i]);
      hash *= kFnvPrime;
    }
  }
  if (file.bad()) throw WorkFailed(path + ": cannot be read for its checksum");
  char digits[kChecksumDigits + 1];
  std::snprintf(digits, sizeof(digits), "%016" PRIx64, hash);
  return std::string(kChecksumPrefix) + digits;
}

void WriteToolFile(const std::string& path, const ToolDefinition& tool) {
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE);
    if (!storage.isOpened()) throw WorkFailed(path + ": cannot be written");
    storage.writeComment("Tool definition for dotcal; lengths in the unit below");
    storage << "name" << tool.name << "unit" << tool.unit;
    storage << "tracker"
            << "{";
    WriteTargetNode(storage, tool.tracker);
    storage << "}";
    storage << "frame_rule" << kToolFrameRule;
    cv::Mat markers(static_cast<int>(tool.markers.size()), 3, CV_64F);
    for (int m = 0; m < markers.rows; ++m) {
      const cv::Point3d& p = tool.markers[m];
      markers.at<double>(m, 0) = p.x;
      markers.at<double>(m, 1) = p.y;
      markers.at<double>(m, 2) = p.z;
    }
    storage << "markers" << markers;
    storage << "tip"
            << "[:" << tool.tip.x << tool.tip.y << tool.tip.z << "]";
    storage << "pivot_residual" << tool.pivotResidual;
    storage << "frames_used" << tool.framesUsed << "frames_rejected" << tool.framesRejected;
    storage << "tilt_median_deg" << tool.tiltMedianDeg << "tilt_max_deg" << tool.tiltMaxDeg;
    storage << "method" << tool.method << "created" << tool.created;
    storage << "calibration_file" << tool.calibrationFile;
    storage << "calibration_checksum" << tool.calibrationChecksum;
    storage.release();
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be written (" + e.err + ")");
  }
}

ToolDefinition ReadToolFile(const std::string& path) {
  const cv::FileStorage storage = OpenStorageFile(path, "tool");
  ToolDefinition tool;
  tool.name = ReadText(storage, "name", path);
  tool.unit = ReadText(storage, "unit", path);
  const std::vector<std::string>& units = TargetUnits();
  if (std::find(units.begin(), units.end(), tool.unit) == units.end()) {
    throw WorkFailed(path + ": unit is '" + tool.unit + "', not mm, cm, m or in");
  }
  tool.tracker = ReadTargetNode(Required(storage, "tracker", path), path, "tracker", tool.name);
  ReadText(storage, "frame_rule", path);
  tool.markers = ReadMarkers(storage, path);
  tool.tip = ReadTip(storage, path);
  tool.pivotResidual = ReadNumber(storage, "pivot_residual", path);
  tool.framesUsed = ReadFrameCount(storage, "frames_used", path);
  tool.framesRejected = ReadFrameCount(storage, "frames_rejected", path);
  tool.tiltMedianDeg = ReadNumber(storage, "tilt_median_deg", path);
  tool.tiltMaxDeg = ReadNumber(storage, "tilt_max_deg", path);
  tool.method = ReadText(storage, "method", path);
  if (std::find(std::begin(kMethods), std::end(kMethods), tool.method) == std::end(kMethods)) {
    throw WorkFailed(path + ": method is '" + tool.method +
                     "', not pose, shared-sphere, hyper, iterative, pratt or taubin");
  }
  tool.created = ReadText(storage, "created", path);
  tool.calibrationFile = ReadText(storage, "calibration_file", path);
  tool.calibrationChecksum = ReadText(storage, "calibration_checksum", path);
  if (!tool.calibrationChecksum.empty() && !IsChecksum(tool.calibrationChecksum)) {
    throw WorkFailed(path + ": calibration_checksum is not fnv1a64: and 16 hex digits");
  }

  if (tool.markers.size() < 3) {
    throw WorkFailed(path + ": markers holds " + std::to_string(tool.markers.size()) +
                     " markers; a tool needs at least 3");
  }
  if (static_cast<int>(tool.markers.size()) != tool.tracker.dots) {
    throw WorkFailed(path + ": markers holds " + std::to_string(tool.markers.size()) +
                     " markers, but the tracker has " + std::to_string(tool.tracker.dots) +
                     " dots");
  }
  return tool;
}

}  // namespace dotcal
