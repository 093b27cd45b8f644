// A host program built against the installed library, as a user's application is: it constructs
// every exported class, calls a member of each and checks the answer. A packaging fault (a header
// that does not compile, a symbol the library does not export, a library the loader cannot find)
// fails the build or the run of this program.
#include <native64/Native64.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

namespace Native64 = Oskelo::CV::Native64;
namespace Utils = Oskelo::CV::Native64::Utils;
using Point3 = cv::Point3_<double>;

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

// The calibration plate facing the camera, centred in the frame: 9 x 13 dark dots (grey 40) on the
// bright plate (grey 200), which lies on a dark ground (grey 40). The dots are 64 px apart with a
// diameter of 32 px, the 1:2 ratio of the plate's 15 mm dots at 30 mm, and the plate reaches one
// spacing beyond the outer dots. Edge pixels take the covered fraction of 4 x 4 samples, so every
// dot is mirror-symmetric about its node.
constexpr int kColumns = 9, kRows = 13;
constexpr double kSpacing = 64.0, kRadius = 16.0;

cv::Point_<double> FirstNode(int width, int height) {
  return {0.5 * (width - (kColumns - 1) * kSpacing), 0.5 * (height - (kRows - 1) * kSpacing)};
}

bool Dark(double px, double py) {
  const bool onPlate = px > -kSpacing && px < kColumns * kSpacing && py > -kSpacing &&
                       py < kRows * kSpacing;
  const double dx = px - kSpacing * std::round(px / kSpacing);
  const double dy = py - kSpacing * std::round(py / kSpacing);
  return !onPlate || dx * dx + dy * dy < kRadius * kRadius;
}

std::vector<unsigned char> PlateFrame(int width, int height) {
  constexpr int kSamples = 4;
  const cv::Point_<double> first = FirstNode(width, height);
  std::vector<unsigned char> frame(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int covered = 0;
      for (int s = 0; s < kSamples * kSamples; ++s) {
        covered += Dark(x + (s % kSamples + 0.5) / kSamples - 0.5 - first.x,
                        y + (s / kSamples + 0.5) / kSamples - 0.5 - first.y);
      }
      const double dark = static_cast<double>(covered) / (kSamples * kSamples);
      frame[static_cast<std::size_t>(y) * width + x] =
          static_cast<unsigned char>(std::lround(200.0 - 160.0 * dark));
    }
  }
  return frame;
}

// Distance of the farthest target from its nearest grid node, pixels.
double WorstNodeDistance(const std::vector<cv::Point_<double>>& targets, int width, int height) {
  const cv::Point_<double> first = FirstNode(width, height);
  double worst = 0.0;
  for (const cv::Point_<double>& t : targets) {
    const cv::Point_<double> d = t - first;
    worst = std::max(worst, std::hypot(d.x - kSpacing * std::round(d.x / kSpacing),
                                       d.y - kSpacing * std::round(d.y / kSpacing)));
  }
  return worst;
}

// Two markers, 0.1 and 0.2 from a pivot at (5, 6, 7), seen in six poses of the tool.
std::vector<std::vector<Point3>> PivotTracks() {
  const Point3 pivot(5, 6, 7);
  const std::vector<Point3> directions = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 0},
                                          {0, -1, 0}, {0.6, 0.8, 0}};
  std::vector<std::vector<Point3>> tracks(2);
  for (const Point3& direction : directions) {
    tracks[0].push_back(pivot + 0.1 * direction);
    tracks[1].push_back(pivot + 0.2 * direction);
  }
  return tracks;
}

void CheckDetectionAndCalibration() {
  Native64::Calibration calibration;
  Native64::ImageProcessorSettings settings = *calibration.settings;
  Check(settings.dotCount == 9 * 13, "ImageProcessorSettings copies the plate's settings");

  const int width = settings.imageRect.width, height = settings.imageRect.height;
  const std::vector<unsigned char> frame = PlateFrame(width, height);
  Check(calibration.ExtractPair(frame.data(), frame.data()), "Calibration::ExtractPair accepts");
  Check(calibration.leftTargets.size() == 1 && calibration.leftTargets[0].size() == 117,
        "Calibration keeps the pair's 117 ordered targets");

  // A search of the whole frame at a fixed threshold between the plate's and the dots' grey.
  Native64::ImageProcessor detector;
  *detector.settings = settings;
  detector.settings->thresholdState = 4;
  detector.settings->fixedThreshold = true;
  detector.settings->threshold = 120;
  std::vector<cv::Point_<double>> targets;
  Check(detector.FindTargets(frame.data(), targets) && targets.size() == 117,
        "ImageProcessor::FindTargets finds the 117 dots");
  // Symmetric dots put every centre on its node up to rounding.
  Check(WorstNodeDistance(targets, width, height) < 1e-3, "every dot centre lies on its node");

  // The same frame as an image that carries its own layout.
  const cv::Mat image(height, width, CV_8UC1, const_cast<unsigned char*>(frame.data()));
  Native64::ImageProcessor fromImage;
  *fromImage.settings = *detector.settings;
  fromImage.settings->thresholdState = 4;
  std::vector<cv::Point_<double>> fromImageTargets;
  Check(Native64::FindTargetsInImage(fromImage, image, fromImageTargets) &&
            fromImageTargets == targets,
        "FindTargetsInImage finds the same 117 dots");
  Check(Native64::ExtractPairFromImages(calibration, image, image) &&
            calibration.leftTargets.size() == 2,
        "ExtractPairFromImages accepts");
  int boxes = 0;
  for (const Native64::SurveyedRegion& region :
       Native64::SurveyTargets(settings, image, 120).regions) {
    boxes += region.qualifies ? 1 : 0;
  }
  Check(boxes == 1, "SurveyTargets sees one target box");

  const Native64::NominalPattern pattern = calibration.nominalPattern;
  Check(pattern.points.size() == 117 && pattern.spacing == 30.0, "NominalPattern copies");
  const Native64::CalibrationParameters parameters = calibration.parameters;
  Check(parameters.rotation.rows == 3 && parameters.rotation.cols == 3,
        "CalibrationParameters copies");
}

void CheckToolAndReference() {
  Native64::Cone cone;
  cone.markerTracks = PivotTracks();
  cone.Calibrate();
  Check(std::abs(cone.pivot.x - 5) < 1e-9 && std::abs(cone.pivot.y - 6) < 1e-9 &&
            std::abs(cone.pivot.z - 7) < 1e-9,
        "Cone::Calibrate finds the pivot of exact tracks");

  const std::vector<Point3> model = {{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {0, 0, 3}};
  std::vector<Point3> shifted;
  for (const Point3& p : model) shifted.push_back({p.x + 1, p.y - 2, p.z + 4});
  Native64::Reference reference;
  reference.referencePoints = model;
  reference.measuredPoints = shifted;
  reference.ComputeReferenceTransform(Point3(0, 0, 0));
  std::vector<Point3> mapped;
  reference.Transform(shifted, mapped);
  std::vector<double> distances;
  Utils::GeoDist(mapped, model, distances);
  double worst = 0;
  for (double d : distances) worst = std::max(worst, d);
  Check(distances.size() == 4 && worst < 1e-9, "Reference maps measured points onto the model");

  cv::Mat transform;
  Tarnwell::Native::CV::GetRigidTransform(model, shifted, transform, false, true);
  Check(std::abs(transform.at<double>(1, 3) + 2) < 1e-9, "GetRigidTransform finds the shift");
  cv::Mat sphere;
  const std::vector<Point3> unitSphere = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}};
  Tarnwell::Native::CV::FitHyperSphere(unitSphere, sphere, false);
  Check(std::abs(sphere.at<double>(3) - 1) < 1e-9, "FitHyperSphere finds the unit radius");
}

void CheckUtilities() {
  Utils::Stopwatch watch;
  watch.Start();
  watch.Stop();
  Check(watch.GetElapsedTime() >= 0, "Stopwatch measures");
  std::string text;
  Utils::MatToString(cv::Mat::eye(2, 2, CV_64F), text);
  Check(text.find("1.000000") != std::string::npos, "MatToString writes the matrix");
}

}  // namespace

int main() {
  CheckDetectionAndCalibration();
  CheckToolAndReference();
  CheckUtilities();
  if (failures == 0) std::puts("host: every exported class answered");
  return failures == 0 ? 0 : 1;
}
