#include "native64/Calibration.h"

#include "utils/FlooredMod.h"

namespace Oskelo::CV::Native64 {
namespace {

// The calibration plate and the camera image it is seen in.
constexpr int kPlateColumns = 9;
constexpr int kPlateRows = 13;
constexpr double kPlateSpacing = 30.0;
constexpr double kPlateDotDiameter = 15.0;
const cv::Rect_<int> kCameraImage(0, 0, 1248, 1082);

// Row-major plate points (k * spacing, j * spacing, 0) for rows j and columns k counted from 1. The
// products are formed in single precision, which is exact for the plate's values.
std::vector<cv::Point3_<double>> NominalPlatePoints(int columns, int rows, double spacing) {
  std::vector<cv::Point3_<double>> points;
  points.reserve(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
  const float spacingF = static_cast<float>(spacing);
  for (int j = 1; j <= rows; ++j) {
    for (int k = 1; k <= columns; ++k) {
      points.emplace_back(static_cast<double>(static_cast<float>(k) * spacingF),
                          static_cast<double>(static_cast<float>(j) * spacingF), 0.0);
    }
  }
  return points;
}

}  // namespace

Calibration::Calibration()
    : settings(nullptr),
      rmsLeft(0.0),
      rmsRight(0.0),
      rmsStereo(0.0),
      imageProcessor(nullptr),
      detector_(std::make_shared<ImageProcessor>()) {
  imageProcessor = detector_.get();

  // Zero parameters of 32-bit floats until a calibration replaces them with 64-bit results.
  parameters.fundamental = cv::Mat::zeros(3, 3, CV_32F);
  parameters.essential = cv::Mat::zeros(3, 3, CV_32F);
  parameters.cameraMatrixLeft = cv::Mat::zeros(3, 3, CV_32F);
  parameters.cameraMatrixRight = cv::Mat::zeros(3, 3, CV_32F);
  parameters.projectionLeft = cv::Mat::zeros(3, 4, CV_32F);
  parameters.projectionRight = cv::Mat::zeros(3, 4, CV_32F);
  parameters.rectificationLeft = cv::Mat::zeros(3, 3, CV_32F);
  parameters.rectificationRight = cv::Mat::zeros(3, 3, CV_32F);
  parameters.distortionLeft = cv::Mat::zeros(1, 5, CV_32F);
  parameters.distortionRight = cv::Mat::zeros(1, 5, CV_32F);
  parameters.disparityToDepth = cv::Mat::zeros(4, 4, CV_32F);
  parameters.rotation = cv::Mat::zeros(3, 3, CV_32F);
  parameters.translation = cv::Mat::zeros(3, 1, CV_32F);

  settings = imageProcessor->settings;

  // Configure the detector for the plate.
  settings->fixedThreshold = false;
  settings->dotDiameter = kPlateDotDiameter;
  settings->imageRect = kCameraImage;
  settings->dotCount = kPlateColumns * kPlateRows;
  settings->dotSpacing = kPlateSpacing;

  nominalPattern.spacing = kPlateSpacing;
  nominalPattern.columns = kPlateColumns;
  nominalPattern.rows = kPlateRows;
  settings->gridColumns = nominalPattern.columns;
  settings->gridRows = nominalPattern.rows;
  nominalPattern.points =
      NominalPlatePoints(nominalPattern.columns, nominalPattern.rows, nominalPattern.spacing);
}

// Member-wise: the detector and its settings are shared, lists copied, matrices share storage.
Calibration::Calibration(const Calibration& other) = default;
Calibration& Calibration::operator=(const Calibration& other) = default;

// The detector and its settings record are released with the last copy that shares them.
Calibration::~Calibration() = default;

int Calibration::Mod(int a, int b) const { return detail::FlooredMod(a, b); }

}  // namespace Oskelo::CV::Native64
