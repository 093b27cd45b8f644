#include "inputs/CalibrationFile.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "CommandError.h"
#include "inputs/ImageFiles.h"
#include "inputs/StorageFile.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;
using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::CalibrationParameters;
using Oskelo::CV::Native64::CalibrationUncertainty;
using Oskelo::CV::Native64::PointUncertainty;

// Distortion coefficients as triangulation reads them: k1, k2, p1, p2, k3, k4, k5, k6.
constexpr int kDistortionLength = 8;
// The coefficients that the calibration estimates: k1, k2, p1, p2, k3.
constexpr int kEstimatedDistortion = 5;
// Largest image side accepted from a file: far beyond any camera, small enough to be no typo.
constexpr int kMaxImageSide = 100000;

struct MatrixKey {
  const char* key;
  cv::Mat CalibrationParameters::*member;
  int rows, cols;  // cols 0: a distortion row
};

const std::vector<MatrixKey>& MatrixKeys() {
  static const std::vector<MatrixKey> keys = {
      {"M1", &CalibrationParameters::cameraMatrixLeft, 3, 3},
      {"D1", &CalibrationParameters::distortionLeft, 1, 0},
      {"M2", &CalibrationParameters::cameraMatrixRight, 3, 3},
      {"D2", &CalibrationParameters::distortionRight, 1, 0},
      {"R", &CalibrationParameters::rotation, 3, 3},
      {"T", &CalibrationParameters::translation, 3, 1},
      {"E", &CalibrationParameters::essential, 3, 3},
      {"F", &CalibrationParameters::fundamental, 3, 3},
      {"R1", &CalibrationParameters::rectificationLeft, 3, 3},
      {"R2", &CalibrationParameters::rectificationRight, 3, 3},
      {"P1", &CalibrationParameters::projectionLeft, 3, 4},
      {"P2", &CalibrationParameters::projectionRight, 3, 4},
      {"Q", &CalibrationParameters::disparityToDepth, 4, 4},
  };
  return keys;
}

int FormatFor(const std::string& path) {
  const std::string extension = fs::path(path).extension().string();
  if (extension == ".xml" || extension == ".json" || extension == ".yml" || extension == ".yaml") {
    return cv::FileStorage::FORMAT_AUTO;
  }
  return cv::FileStorage::FORMAT_YAML;
}

// The distortion as written: the estimated five when the rest is zero, else all eight.
cv::Mat DistortionToWrite(const cv::Mat& distortion) {
  if (distortion.total() == kDistortionLength &&
      cv::countNonZero(
          distortion.reshape(1, 1).colRange(kEstimatedDistortion, kDistortionLength)) == 0) {
    return distortion.reshape(1, 1).colRange(0, kEstimatedDistortion).clone();
  }
  return distortion;
}

std::string ShapeText(const cv::Mat& m) {
  return std::to_string(m.rows) + "x" + std::to_string(m.cols) +
         (m.channels() > 1 ? " with " + std::to_string(m.channels()) + " channels" : "");
}

cv::Mat ReadMatrix(const cv::FileStorage& storage, const MatrixKey& key, const std::string& path) {
  const std::string where = path + ": " + key.key;
  const cv::FileNode node = storage[key.key];
  if (node.empty()) throw WorkFailed(where + " is missing");
  if (!node.isMap()) throw WorkFailed(where + " is not a matrix");
  cv::Mat matrix;
  try {
    node >> matrix;
  } catch (const cv::Exception& e) {
    throw WorkFailed(where + " is not a readable matrix (" + e.err + ")");
  }
  if (matrix.empty()) throw WorkFailed(where + " is not a readable matrix");
  if (matrix.channels() != 1) {
    throw WorkFailed(where + " is " + ShapeText(matrix) + ", expected one channel");
  }
  if (key.cols == 0) {
    const int count = static_cast<int>(matrix.total());
    if ((matrix.rows != 1 && matrix.cols != 1) || (count != 4 && count != 5 && count != 8)) {
      throw WorkFailed(where + " is " + ShapeText(matrix) +
                       ", expected a row of 4, 5 or 8 distortion coefficients");
    }
  } else if (matrix.rows != key.rows || matrix.cols != key.cols) {
    throw WorkFailed(where + " is " + ShapeText(matrix) + ", expected " + std::to_string(key.rows) +
                     "x" + std::to_string(key.cols));
  }
  cv::Mat values;
  matrix.convertTo(values, CV_64F);
  if (!cv::checkRange(values)) throw WorkFailed(where + " holds a value that is not finite");
  if (key.cols == 0) {
    cv::Mat eight = cv::Mat::zeros(1, kDistortionLength, CV_64F);
    values.reshape(1, 1).copyTo(eight.colRange(0, static_cast<int>(values.total())));
    values = eight;
  }
  return values;
}

int ReadSide(const cv::FileStorage& storage, const char* key, const std::string& path) {
  const cv::FileNode node = storage[key];
  if (node.empty()) throw WorkFailed(path + ": " + key + " is missing");
  if (!node.isInt()) throw WorkFailed(path + ": " + key + " is not a whole number");
  const int value = static_cast<int>(node);
  if (value <= 0 || value > kMaxImageSide) {
    throw WorkFailed(path + ": " + key + " is " + std::to_string(value) +
                     ", not an image size in pixels");
  }
  return value;
}

double ReadOptionalReal(const cv::FileStorage& storage, const char* key) {
  const cv::FileNode node = storage[key];
  if (!node.isReal() && !node.isInt()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(node);
}

void WriteNames(cv::FileStorage& storage, const char* key, const std::vector<std::string>& names) {
  storage << key << "[";
  for (const std::string& name : names) storage << name;
  storage << "]";
}

void WriteProvenance(cv::FileStorage& storage, const CalibrationFile& file) {
  if (!file.perViewErrors.empty()) storage << "per_view_errors" << file.perViewErrors;
  if (file.boardWidth > 0) {
    storage << "board_width" << file.boardWidth << "board_height" << file.boardHeight;
    storage << "square_size" << file.squareSize << "dot_diameter" << file.dotDiameter;
    storage << "unit" << file.unit;
  }
  if (!file.centres.empty()) {
    storage << "centres" << file.centres << "calibration_rounds" << file.calibrationRounds;
  }
  if (!file.calibrationTime.empty()) storage << "calibration_time" << file.calibrationTime;
  if (file.pairsUsed > 0) storage << "pairs_used" << file.pairsUsed;
  if (!file.leftImages.empty()) {
    WriteNames(storage, "left_images", file.leftImages);
    WriteNames(storage, "right_images", file.rightImages);
  }
  if (!file.droppedLeftImages.empty()) {
    WriteNames(storage, "dropped_left_images", file.droppedLeftImages);
    WriteNames(storage, "dropped_right_images", file.droppedRightImages);
    WriteNames(storage, "dropped_reasons", file.droppedReasons);
  }
}

// The uncertainty's vectors as rows of the file.
cv::Mat Row(const double* values, int count) {
  return cv::Mat(1, count, CV_64F, const_cast<double*>(values)).clone();
}

cv::Mat PointRow(const PointUncertainty& p) {
  const double values[] = {p.point.x,  p.point.y,  p.point.z, p.sigma[0],
                           p.sigma[1], p.sigma[2], p.total};
  return Row(values, 7);
}

void WriteUncertainty(cv::FileStorage& storage, const CalibrationUncertainty& u) {
  if (u.views == 0) return;
  storage << "uncertainty_views" << u.views << "centre_noise" << u.centreNoisePx;
  storage << "sigma_M1" << Row(&u.left[0], 4) << "sigma_D1" << Row(&u.left[4], 5);
  storage << "sigma_M2" << Row(&u.right[0], 4) << "sigma_D2" << Row(&u.right[4], 5);
  storage << "sigma_R" << Row(u.rotation.val, 3) << "sigma_T" << Row(u.translation.val, 3);
  storage << "sigma_baseline" << u.baseline << "rig_covariance" << u.covariance;
  storage << "median_distance" << u.medianDistance;
  storage << "point_centre" << PointRow(u.atCentre) << "point_corner" << PointRow(u.atCorner);
}

// A row of `count` finite values under `key`, or false.
bool ReadRow(const cv::FileStorage& storage, const char* key, int count, double* values) {
  cv::Mat row;
  try {
    if (storage[key].isMap()) storage[key] >> row;
  } catch (const cv::Exception&) {
    return false;
  }
  if (row.empty() || row.channels() != 1 || static_cast<int>(row.total()) != count) return false;
  row.convertTo(row, CV_64F);
  if (!cv::checkRange(row)) return false;
  std::copy(row.begin<double>(), row.end<double>(), values);
  return true;
}

bool ReadPoint(const cv::FileStorage& storage, const char* key, PointUncertainty& p) {
  double v[7];
  if (!ReadRow(storage, key, 7, v)) return false;
  p.point = {v[0], v[1], v[2]};
  p.sigma = {v[3], v[4], v[5]};
  p.total = v[6];
  return true;
}

// The uncertainty keys, all or none: a file with one missing or malformed reads as none.
CalibrationUncertainty ReadUncertainty(const cv::FileStorage& storage) {
  CalibrationUncertainty u;
  if (!storage["uncertainty_views"].isInt()) return u;
  u.centreNoisePx = ReadOptionalReal(storage, "centre_noise");
  u.baseline = ReadOptionalReal(storage, "sigma_baseline");
  u.medianDistance = ReadOptionalReal(storage, "median_distance");
  cv::Mat covariance(24, 24, CV_64F);
  const bool whole =
      std::isfinite(u.centreNoisePx) && std::isfinite(u.baseline) &&
      std::isfinite(u.medianDistance) && ReadRow(storage, "sigma_M1", 4, &u.left[0]) &&
      ReadRow(storage, "sigma_D1", 5, &u.left[4]) && ReadRow(storage, "sigma_M2", 4, &u.right[0]) &&
      ReadRow(storage, "sigma_D2", 5, &u.right[4]) &&
      ReadRow(storage, "sigma_R", 3, u.rotation.val) &&
      ReadRow(storage, "sigma_T", 3, u.translation.val) &&
      ReadRow(storage, "rig_covariance", 24 * 24, covariance.ptr<double>()) &&
      ReadPoint(storage, "point_centre", u.atCentre) &&
      ReadPoint(storage, "point_corner", u.atCorner);
  if (!whole) return CalibrationUncertainty();
  u.views = static_cast<int>(storage["uncertainty_views"]);
  u.covariance = covariance;
  return u;
}

std::vector<std::string> ReadNames(const cv::FileStorage& storage, const char* key) {
  std::vector<std::string> names;
  const cv::FileNode node = storage[key];
  if (!node.isSeq()) return names;
  for (const cv::FileNode& entry : node) {
    if (entry.isString()) names.push_back(entry.string());
  }
  return names;
}

// The optional keys of what a calibration was made from; a key that is missing or not of its
// type leaves its field empty.
void ReadProvenance(const cv::FileStorage& storage, CalibrationFile& file) {
  const cv::FileNode errors = storage["per_view_errors"];
  if (errors.isMap()) {
    try {
      errors >> file.perViewErrors;
    } catch (const cv::Exception&) {
      file.perViewErrors.release();
    }
  }
  if (storage["board_width"].isInt()) file.boardWidth = static_cast<int>(storage["board_width"]);
  if (storage["board_height"].isInt()) file.boardHeight = static_cast<int>(storage["board_height"]);
  file.squareSize = ReadOptionalReal(storage, "square_size");
  file.dotDiameter = ReadOptionalReal(storage, "dot_diameter");
  if (storage["unit"].isString()) file.unit = storage["unit"].string();
  if (storage["centres"].isString()) file.centres = storage["centres"].string();
  if (storage["calibration_rounds"].isInt())
    file.calibrationRounds = static_cast<int>(storage["calibration_rounds"]);
  if (storage["calibration_time"].isString())
    file.calibrationTime = storage["calibration_time"].string();
  if (storage["pairs_used"].isInt()) file.pairsUsed = static_cast<int>(storage["pairs_used"]);
  file.leftImages = ReadNames(storage, "left_images");
  file.rightImages = ReadNames(storage, "right_images");
  file.droppedLeftImages = ReadNames(storage, "dropped_left_images");
  file.droppedRightImages = ReadNames(storage, "dropped_right_images");
  file.droppedReasons = ReadNames(storage, "dropped_reasons");
}

}  // namespace

std::string IsoTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

CalibrationFile FromCalibration(const Calibration& calibration, cv::Size imageSize) {
  CalibrationFile file;
  file.imageSize = imageSize;
  file.parameters = calibration.parameters;
  file.rmsLeft = calibration.rmsLeft;
  file.rmsRight = calibration.rmsRight;
  file.rmsStereo = calibration.rmsStereo;
  return file;
}

void WriteCalibrationFile(const std::string& path, const CalibrationFile& file) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) MakeFolder(parent.string());
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE | FormatFor(path));
    if (!storage.isOpened()) throw WorkFailed(path + ": cannot be written");
    storage.writeComment("Stereo calibration written by dotcal; lengths in the plate's unit");
    storage << "image_width" << file.imageSize.width;
    storage << "image_height" << file.imageSize.height;
    for (const MatrixKey& key : MatrixKeys()) {
      const cv::Mat& matrix = file.parameters.*key.member;
      storage << key.key << (key.cols == 0 ? DistortionToWrite(matrix) : matrix);
    }
    storage << "rms_left" << file.rmsLeft;
    storage << "rms_right" << file.rmsRight;
    storage << "rms_stereo" << file.rmsStereo;
    WriteProvenance(storage, file);
    WriteUncertainty(storage, file.uncertainty);
    storage.release();
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be written (" + e.err + ")");
  }
}

CalibrationFile ReadCalibrationFile(const std::string& path) {
  const cv::FileStorage storage = OpenStorageFile(path, "calibration");
  CalibrationFile file;
  file.imageSize = {ReadSide(storage, "image_width", path),
                    ReadSide(storage, "image_height", path)};
  for (const MatrixKey& key : MatrixKeys()) {
    file.parameters.*key.member = ReadMatrix(storage, key, path);
  }
  // Undistortion and rectification divide by the focal lengths of these four.
  const CalibrationParameters& p = file.parameters;
  for (const auto& [key, matrix] : {std::pair{"M1", &p.cameraMatrixLeft},
                                    {"M2", &p.cameraMatrixRight},
                                    {"P1", &p.projectionLeft},
                                    {"P2", &p.projectionRight}}) {
    if (!(matrix->at<double>(0, 0) > 0.0) || !(matrix->at<double>(1, 1) > 0.0)) {
      throw WorkFailed(path + ": " + key + " has no positive focal lengths");
    }
  }
  file.rmsLeft = ReadOptionalReal(storage, "rms_left");
  file.rmsRight = ReadOptionalReal(storage, "rms_right");
  file.rmsStereo = ReadOptionalReal(storage, "rms_stereo");
  ReadProvenance(storage, file);
  file.uncertainty = ReadUncertainty(storage);
  return file;
}

Calibration MakeCalibration(const CalibrationFile& file) {
  Calibration calibration;
  calibration.parameters = file.parameters;
  calibration.rmsLeft = file.rmsLeft;
  calibration.rmsRight = file.rmsRight;
  calibration.rmsStereo = file.rmsStereo;
  calibration.settings->imageRect = cv::Rect(cv::Point(0, 0), file.imageSize);
  return calibration;
}

}  // namespace dotcal
