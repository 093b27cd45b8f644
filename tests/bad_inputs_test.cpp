// What every public operation does with bad input: one test per row of docs/bad-inputs.md, named
// after the operation. Each checks the refusal (the exception type) or the defined false or NaN
// result, and that a refusal leaves the caller's data as the table says.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "calibration/known_rig.h"
#include "imgproc/HandMadeTracker.h"
#include "imgproc/settings_record.h"
#include "native64/DotRefinement.h"
#include "native64/Native64.h"

namespace {

using namespace Oskelo::CV::Native64;
using Points2 = std::vector<cv::Point2d>;
using Points3 = std::vector<cv::Point3d>;
namespace Free = Tarnwell::Native::CV;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool AnyNaN(const cv::Mat& m) { return cv::checkRange(m, true) == false; }

// A detector set up for the hand-made 7-dot tracker (its dots lie between grey 40 and 200).
void SetUpForTracker(ImageProcessor& detector) {
  auto& s = *detector.settings;
  s.imageRect = cv::Rect(0, 0, handmade::kWidth, handmade::kHeight);
  s.columnOffset = 0;
  s.gridColumns = 4;
  s.gridRows = 2;
  s.thresholdState = 3;
  s.threshold = 120;
}

// Images that the entry points taking a cv::Mat refuse: empty, three channels, 16 bits, three
// dimensions.
std::vector<cv::Mat> RefusedImages() {
  const int sizes[3] = {4, 4, 4};
  return {cv::Mat(), cv::Mat(handmade::kHeight, handmade::kWidth, CV_8UC3, cv::Scalar::all(0)),
          cv::Mat(handmade::kHeight, handmade::kWidth, CV_16UC1, cv::Scalar(0)),
          cv::Mat(3, sizes, CV_8UC1, cv::Scalar(0))};
}

// Five points on the unit sphere and their mirror image, a set every fit and registration takes.
const Points3 kSphere = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, -1}, {0, -1, 0}};

TEST(BadInputs, FindTargetsShortForm) {
  ImageProcessor detector;
  SetUpForTracker(detector);
  const handmade::HandMadeFrame frame;
  Points2 targets = {{1, 2}};
  const ImageProcessorSettings before = *detector.settings;

  EXPECT_THROW(detector.FindTargets(nullptr, targets), cv::Exception);
  for (const cv::Rect bad : {cv::Rect(0, 0, 0, 120), cv::Rect(0, 0, 160, -1)}) {
    detector.settings->imageRect = bad;
    EXPECT_THROW(detector.FindTargets(frame.data(), targets), cv::Exception);
  }
  *detector.settings = before;
  detector.settings->imageType = CV_32FC1;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets), cv::Exception);
  *detector.settings = before;
  detector.settings->imageRect.width = 150;  // not 1248: the column offset applies
  detector.settings->columnOffset = -1;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets), cv::Exception);
  // Refusals come before anything is read or written.
  EXPECT_EQ(targets, (Points2{{1, 2}}));
  EXPECT_EQ(detector.settings->threshold, before.threshold);

  // Out-of-range selectors: an unknown contour mode finds nothing; an unknown contour
  // approximation is OpenCV's refusal.
  *detector.settings = before;
  detector.settings->contourMode = 7;
  EXPECT_FALSE(detector.FindTargets(frame.data(), targets));
  detector.settings->contourMode = 2;
  detector.settings->contourMethod = 9;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets), cv::Exception);

  // Grids that cannot order the found dots; the spacing keeps the box perimeter of the 4 x 2 grid
  // (2 (C + 1 + R + 1) spacings for a tracker), so that the box is found and ordering is reached.
  for (const cv::Size grid : {cv::Size(0, 0), cv::Size(1, 5), cv::Size(100000, 100000)}) {
    *detector.settings = before;
    detector.settings->gridColumns = grid.width;
    detector.settings->gridRows = grid.height;
    detector.settings->dotSpacing = before.dotSpacing * (4 + 1 + 2 + 1) /
                                    (static_cast<double>(grid.width) + 1 + grid.height + 1);
    EXPECT_THROW(detector.FindTargets(frame.data(), targets), std::length_error);
    EXPECT_EQ(detector.settings->thresholdState, 0);  // the box was found
  }

  // Settings far from any target: undefined sizes find nothing; extreme margins, powers,
  // thresholds and states still give an answer.
  for (double ImageProcessorSettings::*size :
       {&ImageProcessorSettings::dotSpacing, &ImageProcessorSettings::dotDiameter,
        &ImageProcessorSettings::sizeScale}) {
    for (const double nonsense : {kNaN, kInf, -1.0, 0.0}) {
      *detector.settings = before;
      (*detector.settings).*size = nonsense;
      EXPECT_FALSE(detector.FindTargets(frame.data(), targets)) << nonsense;
    }
  }
  // An unknown state keeps the threshold, as state 3 does (states 0 to 2 would rescale it).
  const std::vector<unsigned char> blank(handmade::kWidth * handmade::kHeight, 90);
  for (const int state : {-1, 5, INT_MAX}) {
    *detector.settings = before;
    detector.settings->thresholdState = state;
    detector.settings->threshold = 77;
    EXPECT_FALSE(detector.FindTargets(blank.data(), targets));
    EXPECT_EQ(detector.settings->threshold, 77) << state;
  }
  for (const int extreme : {INT_MIN, -1, INT_MAX}) {
    *detector.settings = before;
    auto& s = *detector.settings;
    s.roiMargin = s.refineMargin = s.refinePower = s.stateCounter = extreme;
    s.threshold = extreme;
    s.thresholdState = extreme;
    s.referenceGrey = extreme;
    EXPECT_NO_THROW(detector.FindTargets(frame.data(), targets));
  }
}

TEST(BadInputs, FindTargetsLongForm) {
  ImageProcessor detector;
  SetUpForTracker(detector);
  const handmade::HandMadeFrame frame;
  const ImageProcessorSettings before = *detector.settings;
  Points2 targets;

  // A search region outside the image is pulled back into it.
  cv::Rect roi(INT_MAX, INT_MIN, INT_MAX, INT_MAX), targetRect = roi;
  EXPECT_TRUE(detector.FindTargets(frame.data(), targets, roi, targetRect, {}, false));
  // A grey region outside the image after clamping, or a negative size, is refused.
  roi = before.imageRect;
  targetRect = cv::Rect(150, 100, 40, 40);
  EXPECT_THROW(detector.FindTargets(frame.data(), targets, roi, targetRect, {}, false),
               cv::Exception);
  roi = cv::Rect(0, 0, -4, 50);
  targetRect = before.imageRect;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets, roi, targetRect, {}, false),
               cv::Exception);
  // With fixedRoi the regions are used as given: any region reaching outside is refused.
  detector.settings->fixedRoi = true;
  roi = cv::Rect(100, 0, 100, 50);
  targetRect = roi;
  EXPECT_THROW(detector.FindTargets(frame.data(), targets, roi, targetRect, {}, false),
               cv::Exception);
  EXPECT_EQ(roi, cv::Rect(100, 0, 100, 50));
  // Exclusions may be anything: ones covering the image hide every dot, the others nothing.
  *detector.settings = before;
  roi = targetRect = before.imageRect;
  EXPECT_FALSE(detector.FindTargets(
      frame.data(), targets, roi, targetRect,
      {cv::Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), cv::Rect(-10, -10, INT_MAX, INT_MAX)}, false));
  *detector.settings = before;
  roi = targetRect = before.imageRect;
  EXPECT_TRUE(detector.FindTargets(
      frame.data(), targets, roi, targetRect,
      {cv::Rect(INT_MAX, INT_MAX, INT_MAX, INT_MAX), cv::Rect(0, 0, -5, -5)}, false));
}

TEST(BadInputs, ExtractPair) {
  Calibration calibration;
  const std::vector<unsigned char> blank(1248 * 1082, 128);
  EXPECT_THROW(calibration.ExtractPair(nullptr, blank.data()), cv::Exception);
  EXPECT_THROW(calibration.ExtractPair(blank.data(), nullptr), cv::Exception);
  // No plate: false, nothing appended.
  EXPECT_FALSE(calibration.ExtractPair(blank.data(), blank.data()));
  EXPECT_TRUE(calibration.leftTargets.empty());
  EXPECT_TRUE(calibration.rightTargets.empty());
  // A detector setting that the detector refuses reaches the caller before the sweep changes any.
  calibration.settings->imageRect.height = 0;
  const ImageProcessorSettings refused = *calibration.settings;
  EXPECT_THROW(calibration.ExtractPair(blank.data(), blank.data()), cv::Exception);
  ExpectSameRecord(*calibration.settings, refused);
}

TEST(BadInputs, FindTargetsInImageShortForm) {
  ImageProcessor detector;
  SetUpForTracker(detector);
  const ImageProcessorSettings before = *detector.settings;
  Points2 targets = {{1, 2}};
  for (const cv::Mat& bad : RefusedImages()) {
    EXPECT_THROW(FindTargetsInImage(detector, bad, targets), cv::Exception);
  }
  EXPECT_EQ(targets, (Points2{{1, 2}}));
  ExpectSameRecord(*detector.settings, before);

  // The raw buffer's layout settings are not read, whatever they hold: the tracker is found in a
  // view whose rows each follow 27 bytes of 255, at the view's own row step and without a shift of
  // its centres.
  const handmade::HandMadeFrame padded(27);
  detector.settings->imageType = CV_32FC1;
  detector.settings->columnOffset = -1;
  detector.settings->imageRect = cv::Rect(0, 0, 0, -5);
  ASSERT_TRUE(FindTargetsInImage(detector, padded.image, targets));
  handmade::ExpectSameSet(targets, padded.centres);
  EXPECT_EQ(detector.settings->imageRect, cv::Rect(0, 0, handmade::kWidth, handmade::kHeight));
  EXPECT_EQ(detector.settings->imageType, CV_32FC1);
  EXPECT_EQ(detector.settings->columnOffset, -1);

  // Other settings are refused as the raw form refuses them.
  *detector.settings = before;
  detector.settings->contourMethod = 9;
  EXPECT_THROW(FindTargetsInImage(detector, padded.image, targets), cv::Exception);
}

TEST(BadInputs, FindTargetsInImageLongForm) {
  ImageProcessor detector;
  SetUpForTracker(detector);
  const handmade::HandMadeFrame frame;
  const ImageProcessorSettings before = *detector.settings;
  Points2 targets;
  cv::Rect roi(INT_MAX, INT_MIN, INT_MAX, INT_MAX), targetRect(-4, -4, 1, 1);
  for (const cv::Mat& bad : RefusedImages()) {
    EXPECT_THROW(FindTargetsInImage(detector, bad, targets, roi, targetRect, {}), cv::Exception);
  }
  EXPECT_EQ(roi, cv::Rect(INT_MAX, INT_MIN, INT_MAX, INT_MAX));  // not even clamped
  ExpectSameRecord(*detector.settings, before);

  // The regions get what the long FindTargets gives them.
  EXPECT_TRUE(FindTargetsInImage(detector, frame.image, targets, roi, targetRect, {}));
  roi = before.imageRect;
  targetRect = cv::Rect(150, 100, 40, 40);
  EXPECT_THROW(FindTargetsInImage(detector, frame.image, targets, roi, targetRect, {}),
               cv::Exception);
}

TEST(BadInputs, ExtractPairFromImages) {
  Calibration calibration;
  const ImageProcessorSettings before = *calibration.settings;
  const cv::Mat blank(handmade::kHeight, handmade::kWidth, CV_8UC1, cv::Scalar(128));
  for (const cv::Mat& bad : RefusedImages()) {
    EXPECT_THROW(ExtractPairFromImages(calibration, bad, blank), cv::Exception);
    EXPECT_THROW(ExtractPairFromImages(calibration, blank, bad), cv::Exception);
  }
  EXPECT_THROW(ExtractPairFromImages(calibration, blank, blank.rowRange(0, 100)), cv::Exception);
  EXPECT_THROW(ExtractPairFromImages(calibration, blank.colRange(1, 160), blank), cv::Exception);
  ExpectSameRecord(*calibration.settings, before);
  EXPECT_FALSE(ExtractPairFromImages(calibration, blank, blank));  // no plate
  EXPECT_TRUE(calibration.leftTargets.empty());
  EXPECT_TRUE(calibration.rightTargets.empty());
}

TEST(BadInputs, FindTargetsBySweep) {
  ImageProcessor detector;
  const ImageProcessorSettings before = *detector.settings;
  std::vector<cv::Point2d> targets = {{1, 2}};
  int threshold = 7;
  for (const cv::Mat& bad : RefusedImages()) {
    EXPECT_THROW(FindTargetsBySweep(detector, bad, targets, &threshold), cv::Exception);
  }
  ExpectSameRecord(*detector.settings, before);
  const cv::Mat blank(handmade::kHeight, handmade::kWidth, CV_8UC1, cv::Scalar(128));
  EXPECT_FALSE(FindTargetsBySweep(detector, blank, targets, &threshold));  // no target
  EXPECT_EQ(targets, (std::vector<cv::Point2d>{{1, 2}}));
  EXPECT_EQ(threshold, 7);
}

TEST(BadInputs, SurveyTargets) {
  ImageProcessor detector;
  SetUpForTracker(detector);
  const ImageProcessorSettings& settings = *detector.settings;
  for (const cv::Mat& bad : RefusedImages()) {
    EXPECT_THROW(SurveyTargets(settings, bad, 120), cv::Exception);
  }
  const handmade::HandMadeFrame frame;
  ImageProcessorSettings unknownMethod = settings;
  unknownMethod.contourMethod = 9;
  EXPECT_THROW(SurveyTargets(unknownMethod, frame.image, 120), cv::Exception);

  // Thresholds beyond the grey levels leave every pixel on one side: no region has holes.
  for (const int threshold : {INT_MIN, -1, 255, INT_MAX}) {
    const TargetSurvey survey = SurveyTargets(settings, frame.image, threshold);
    EXPECT_EQ(survey.threshold, threshold);
    EXPECT_TRUE(survey.regions.empty()) << threshold;
  }
  // Undefined sizes: the box is listed with its seven holes, and qualifies nowhere.
  for (double ImageProcessorSettings::*size :
       {&ImageProcessorSettings::dotSpacing, &ImageProcessorSettings::dotDiameter,
        &ImageProcessorSettings::sizeScale}) {
    for (const double nonsense : {kNaN, kInf, -1.0, 0.0}) {
      ImageProcessorSettings s = settings;
      s.*size = nonsense;
      const TargetSurvey survey = SurveyTargets(s, frame.image, 120);
      ASSERT_EQ(survey.regions.size(), 1u) << nonsense;
      EXPECT_EQ(survey.regions[0].holes, 7);
      EXPECT_FALSE(survey.regions[0].qualifies) << nonsense;
    }
  }
}

TEST(BadInputs, ComputeStereoCalibration) {
  Calibration calibration;
  const cv::Mat zeroDistortion = calibration.parameters.distortionLeft.clone();
  EXPECT_THROW(calibration.ComputeStereoCalibration(), cv::Exception);  // no pair at all
  // Pairs without all 117 targets are skipped; none usable is the same refusal.
  calibration.leftTargets = {Points2(117, {1, 1}), Points2(116, {1, 1})};
  calibration.rightTargets = {Points2(116, {1, 1}), Points2(117, {1, 1})};
  EXPECT_THROW(calibration.ComputeStereoCalibration(), cv::Exception);
  // A pair with a NaN or infinite target (a host's edit of the lists), or one far beyond any
  // image (which overflows OpenCV's calibration), is not usable either; it never reaches OpenCV,
  // so no RMS value is written.
  Points2 plate;
  for (const cv::Point3d& p : calibration.nominalPattern.points) {
    plate.emplace_back(2 * p.x + 300, 2 * p.y + 200);
  }
  Points2 withNaN = plate, withInf = plate, withFar = plate;
  withNaN[5].x = kNaN;
  withInf[9].y = -kInf;
  withFar[7].y = 1.5e6;
  calibration.leftTargets = {withNaN, plate, plate};
  calibration.rightTargets = {plate, withInf, withFar};
  try {
    calibration.ComputeStereoCalibration();
    ADD_FAILURE() << "pairs with non-finite targets were used";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsBadArg) << e.what();  // the library's own refusal
  }
  EXPECT_EQ(calibration.rmsLeft, 0.0);
  // In every case the parameters keep their contents.
  EXPECT_EQ(calibration.parameters.distortionLeft.type(), CV_32F);
  EXPECT_EQ(cv::norm(calibration.parameters.distortionLeft, zeroDistortion), 0.0);
}

TEST(BadInputs, Triangulate) {
  const Points2 one = {{600, 500}};
  Points3 points = {{1, 2, 3}};
  const Calibration uncalibrated;
  EXPECT_THROW(uncalibrated.Triangulate(one, one, points), cv::Exception);
  EXPECT_TRUE(points.empty());  // cleared before the refusal

  Calibration calibration;
  SetKnownCalibration(calibration, synth::StereoRig::Default());
  points = {{1, 2, 3}};
  EXPECT_THROW(calibration.Triangulate({}, {}, points), cv::Exception);
  EXPECT_THROW(calibration.Triangulate(one, {}, points), cv::Exception);
  EXPECT_THROW(calibration.Triangulate(one, Points2(2, {600, 500}), points), cv::Exception);
  EXPECT_TRUE(points.empty());

  // NaN and infinite pixels give non-finite points, one per pair; the others are unaffected.
  const Points2 left = {{600, 500}, {kNaN, 500}, {kInf, 500}, {600, -kInf}};
  const Points2 right = {{560, 500}, {560, 500}, {560, 500}, {560, 500}};
  calibration.Triangulate(left, right, points);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_TRUE(std::isfinite(points[0].z));
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_FALSE(std::isfinite(points[i].x) && std::isfinite(points[i].y) &&
                 std::isfinite(points[i].z))
        << i;
  }
}

TEST(BadInputs, ConeCalibrate) {
  Cone cone;
  cone.markerTracks = {kSphere, kSphere};
  for (const int method : {-1, 4, INT_MAX}) {
    cone.fitMethod = method;
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
  }
  // Too few points for the fit: 5 for hyper and Pratt, 4 for iterative and Taubin.
  cone.markerTracks = {kSphere, Points3(kSphere.begin(), kSphere.begin() + 4)};
  for (const int method : {0, 2}) {
    cone.fitMethod = method;
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
  }
  cone.markerTracks[1].pop_back();
  for (const int method : {1, 3}) {
    cone.fitMethod = method;
    EXPECT_THROW(cone.Calibrate(), cv::Exception);
  }
  EXPECT_EQ(cone.pivot, cv::Point3d(0, 0, 0));  // refusals change nothing
  EXPECT_TRUE(cone.markerOffsets.empty());

  // No tracks: a NaN pivot and no offsets. NaN points: NaN results, every method.
  cone.markerTracks.clear();
  cone.fitMethod = 0;
  cone.Calibrate();
  EXPECT_TRUE(std::isnan(cone.pivot.x));
  EXPECT_TRUE(cone.markerOffsets.empty());
  for (int method = 0; method <= 3; ++method) {
    cone.fitMethod = method;
    cone.markerTracks = {kSphere};
    cone.markerTracks[0][2].y = kNaN;
    cone.Calibrate();
    EXPECT_TRUE(std::isnan(cone.pivot.x) || std::isnan(cone.pivot.y) || std::isnan(cone.pivot.z))
        << method;
    ASSERT_EQ(cone.markerOffsets.size(), 1u);
  }
}

TEST(BadInputs, ConeCalibrateAtPivot) {
  Cone cone;
  cone.markerTracks = {kSphere, {}};
  EXPECT_THROW(cone.Calibrate(cv::Point3d(1, 2, 3)), cv::Exception);
  EXPECT_EQ(cone.pivot, cv::Point3d(0, 0, 0));
  EXPECT_TRUE(cone.markerOffsets.empty());
}

TEST(BadInputs, ConeGetRigidTransformAndFindTransformation) {
  cv::Mat transform = cv::Mat::eye(4, 4, CV_64F);
  EXPECT_THROW(Cone::GetRigidTransform(kSphere, Points3(3), transform), cv::Exception);
  EXPECT_EQ(cv::norm(transform, cv::Mat::eye(4, 4, CV_64F)), 0.0);  // left as it was
  Cone::GetRigidTransform({}, {}, transform);
  EXPECT_TRUE(AnyNaN(transform));
  Points3 withNaN = kSphere;
  withNaN[0].x = kNaN;
  Cone::GetRigidTransform(withNaN, kSphere, transform);
  EXPECT_TRUE(AnyNaN(transform));

  Cone cone;
  double error = 0.0;
  EXPECT_THROW(cone.FindTransformation(Points3(2), kSphere, transform, error), cv::Exception);
  cone.FindTransformation({}, {}, transform, error);
  EXPECT_TRUE(std::isnan(error));
}

TEST(BadInputs, ConeFindTransformationOld) {
  Cone cone;
  cone.markerOffsets = kSphere;
  cv::Point3d position(7, 7, 7), angles(8, 8, 8);
  cv::Mat transform;
  EXPECT_FALSE(cone.FindTransformation_old(Points3(5), position, angles, transform, {}));
  EXPECT_EQ(position, cv::Point3d(7, 7, 7));
  EXPECT_TRUE(transform.empty());
  // An uncalibrated tool (no offsets) observed as no points: NaN residual, false.
  cone.markerOffsets.clear();
  EXPECT_FALSE(cone.FindTransformation_old({}, position, angles, transform, {}));
  // NaN observations: false; an out-of-range eulerOrder acts as 1.
  cone.markerOffsets = kSphere;
  Points3 observed = kSphere;
  observed[1].z = kNaN;
  EXPECT_FALSE(cone.FindTransformation_old(observed, position, angles, transform, {}));
  cone.eulerOrder = INT_MIN;
  cv::Point3d anglesOdd, anglesOne;
  EXPECT_TRUE(cone.FindTransformation_old(kSphere, position, anglesOdd, transform, {}));
  cone.eulerOrder = 1;
  EXPECT_TRUE(cone.FindTransformation_old(kSphere, position, anglesOne, transform, {}));
  EXPECT_EQ(anglesOdd, anglesOne);
}

TEST(BadInputs, FitHyperSphere) {
  cv::Mat output = (cv::Mat_<double>(1, 1) << 42.0);
  const cv::Mat rows = cv::Mat(kSphere).reshape(1);                                      // 6 x 3
  EXPECT_THROW(Free::FitHyperSphere(cv::Mat(), output, true), cv::Exception);            // empty
  EXPECT_THROW(Free::FitHyperSphere(rows.rowRange(0, 3), output, true), cv::Exception);  // square
  EXPECT_THROW(Free::FitHyperSphere(rows.rowRange(0, 4), output, true), cv::Exception);  // 4 < 5
  cv::Mat wide(6, 8, CV_64F, cv::Scalar(0));
  EXPECT_THROW(Free::FitHyperSphere(wide.colRange(0, 3), output, true), cv::Exception);  // gaps
  EXPECT_THROW(Free::FitHyperSphere(cv::Mat(8, 6, CV_64F, cv::Scalar(1)), output, true),
               cv::Exception);  // 6 coordinates
  EXPECT_THROW(Free::FitHyperSphere(cv::Mat(2, 3, CV_64FC3), output, true), cv::Exception);
  EXPECT_EQ(output.at<double>(0), 42.0);  // refusals leave the output as it was
  cv::Mat withNaN = rows.clone();
  withNaN.at<double>(0, 0) = kNaN;
  EXPECT_TRUE(std::isnan(Free::FitHyperSphere(withNaN, output, true)));
  EXPECT_TRUE(AnyNaN(output));
}

TEST(BadInputs, FreeGetRigidTransform) {
  const cv::Mat A = cv::Mat(kSphere).reshape(1);
  cv::Mat transform;
  const auto refused = [&](const cv::Mat& a, const cv::Mat& b) {
    EXPECT_THROW(Free::GetRigidTransform(a, b, transform, true, true), cv::Exception);
  };
  refused(A, A.rowRange(0, 5));                           // different point counts
  refused(A, cv::Mat(6, 2, CV_64F));                      // different coordinate counts
  refused(A, cv::Mat_<float>(A));                         // different depths
  refused(A.rowRange(0, 3), A.rowRange(0, 3));            // square
  refused(cv::Mat(), cv::Mat());                          // empty
  refused(cv::Mat(8, 6, CV_64F), cv::Mat(8, 6, CV_64F));  // 6 coordinates
  refused(cv::Mat(6, 3, CV_32S), cv::Mat(6, 3, CV_32S));  // integers
  cv::Mat wide(6, 8, CV_64F, cv::Scalar(0));
  refused(wide.colRange(0, 3), wide.colRange(0, 3));  // not continuous
  EXPECT_TRUE(transform.empty());
  cv::Mat withNaN = A.clone();
  withNaN.at<double>(2, 1) = kNaN;
  EXPECT_TRUE(std::isnan(Free::GetRigidTransform(withNaN, A, transform, true, true)));
  EXPECT_TRUE(AnyNaN(transform));
}

TEST(BadInputs, Reference) {
  Reference reference;
  const cv::Mat identity = reference.referenceTransform.clone();
  EXPECT_THROW(reference.ComputeReferenceTransform({}), cv::Exception);  // no measured points
  reference.measuredPoints = kSphere;
  reference.referencePoints = Points3(kSphere.begin(), kSphere.begin() + 5);
  EXPECT_THROW(reference.ComputeReferenceTransform({}), cv::Exception);  // fewer references
  EXPECT_EQ(cv::norm(reference.referenceTransform, identity), 0.0);
  reference.referencePoints = kSphere;
  reference.ComputeReferenceTransform({kNaN, 0, 0});
  EXPECT_TRUE(AnyNaN(reference.referenceTransform));

  Points3 out = {{1, 1, 1}};
  reference.Transform({}, out);
  EXPECT_TRUE(out.empty());
  reference.referenceTransform = cv::Mat::eye(3, 3, CV_64F);  // a host's wrong shape
  EXPECT_THROW(reference.Transform(kSphere, out), cv::Exception);
}

TEST(BadInputs, Utilities) {
  std::vector<double> distances = {9.0};
  EXPECT_THROW(Utils::GeoDist(kSphere, Points3(2), distances), cv::Exception);
  Utils::GeoDist({}, {}, distances);
  EXPECT_TRUE(distances.empty());
  Utils::GeoDist({{kNaN, 0, 0}}, {{0, 0, 0}}, distances);
  ASSERT_EQ(distances.size(), 1u);
  EXPECT_TRUE(std::isnan(distances[0]));

  std::string text;
  Utils::MatToString(cv::Mat(), text);
  EXPECT_EQ(text, "\n");
  Utils::MatToString(cv::Mat(2, 2, CV_32SC1, cv::Scalar(5)), text);  // a type it does not write
  EXPECT_EQ(text, "\n");
  const int sizes[3] = {2, 2, 2};
  Utils::MatToString(cv::Mat(3, sizes, CV_64F, cv::Scalar(1)), text);  // three dimensions
  EXPECT_EQ(text, "\n");
  Utils::MatToString(cv::Mat(1, 2, CV_64F, cv::Scalar(kNaN)), text);
  EXPECT_EQ(text, "\nnan, nan\n");
  // 1e300 prints as 301 digits and ".000000": a row of four is longer than 1023 characters.
  Utils::MatToString(cv::Mat(1, 4, CV_64F, cv::Scalar(1e300)), text);
  EXPECT_EQ(text.size(), 1u + 4 * 308 + 3 * 2 + 1);
}

// Poses of a tool rocked about the tip (0, 0, 200), tip 170 below the tool frame's origin.
std::vector<cv::Mat> RockedPoses() {
  std::vector<cv::Mat> poses;
  for (int k = 0; k < 8; ++k) {
    const double turn = 0.8 * k;
    cv::Mat rvec = (cv::Mat_<double>(3, 1) << 0.3 * std::cos(turn), 0.3 * std::sin(turn), 0.1 * k);
    cv::Mat R;
    cv::Rodrigues(rvec, R);
    cv::Mat pose = cv::Mat::eye(4, 4, CV_64F);
    R.copyTo(pose(cv::Rect(0, 0, 3, 3)));
    const cv::Mat t =
        (cv::Mat_<double>(3, 1) << 0, 0, 200) - R * (cv::Mat_<double>(3, 1) << 0, 0, -170);
    t.copyTo(pose(cv::Rect(3, 0, 1, 3)));
    poses.push_back(pose);
  }
  return poses;
}

TEST(BadInputs, PivotFromPoses) {
  const std::vector<cv::Mat> good = RockedPoses();
  const int sizes[3] = {4, 4, 4};
  for (const cv::Mat& bad :
       {cv::Mat(), cv::Mat(cv::Mat::eye(4, 4, CV_32F)), cv::Mat(cv::Mat::eye(3, 4, CV_64F)),
        cv::Mat(4, 4, CV_64FC2), cv::Mat(3, sizes, CV_64F, cv::Scalar(0))}) {
    std::vector<cv::Mat> poses = good;
    poses[3] = bad;
    EXPECT_THROW(PivotFromPoses(poses), cv::Exception);
  }
  for (const double nonsense : {kNaN, kInf}) {
    std::vector<cv::Mat> poses = good;
    poses[5] = good[5].clone();
    poses[5].at<double>(1, 3) = nonsense;
    EXPECT_THROW(PivotFromPoses(poses), cv::Exception);
  }
  // Too few poses, or a motion without a unique pivot: no answer, never a plausible one.
  for (const std::vector<cv::Mat>& few :
       {std::vector<cv::Mat>{}, std::vector<cv::Mat>{good[0]},
        std::vector<cv::Mat>{good[0], good[1]}, std::vector<cv::Mat>(6, good[2])}) {
    const PivotFitResult result = PivotFromPoses(few);
    EXPECT_FALSE(result.solved);
    EXPECT_TRUE(std::isnan(result.tipInTool.z) && std::isnan(result.rms));
    EXPECT_EQ(result.frameUsed.size(), few.size());
  }
  // Options of any value give an answer.
  PivotFitOptions options;
  options.outlierFactor = kNaN;
  options.minKeptShare = kNaN;
  options.minTiltDeg = kNaN;
  options.spinToTiltRatio = -kInf;
  options.minFrames = INT_MIN;
  EXPECT_TRUE(PivotFromPoses(good, options).solved);
  options.outlierFactor = 1e-300;
  options.minKeptShare = -1e300;
  EXPECT_TRUE(PivotFromPoses(good, options).solved);
}

TEST(BadInputs, PivotFromMarkers) {
  const Points3 model = {{0, 0, 0}, {50, 0, 0}, {0, 30, 0}, {20, 20, 10}};
  const std::vector<Points3> frames(5, model);
  std::vector<cv::Mat> poses = {cv::Mat::eye(4, 4, CV_64F)};
  const auto refused = [&](const std::vector<Points3>& f, const Points3& m) {
    EXPECT_THROW(PivotFromMarkers(f, m, PivotFitOptions(), &poses), cv::Exception);
  };
  refused(frames, Points3(model.begin(), model.begin() + 2));        // 2 markers
  refused(frames, {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {-3, -3, -3}});  // on one line
  refused(frames, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});                // at one place
  refused(frames, {{0, 0, 0}, {50, 0, 0}, {0, kNaN, 0}});
  std::vector<Points3> short_ = frames;
  short_[2].pop_back();
  refused(short_, model);
  std::vector<Points3> withInf = frames;
  withInf[4][1].z = kInf;
  refused(withInf, model);
  ASSERT_EQ(poses.size(), 1u);  // refusals leave the poses as they were
  // One pose repeated determines no pivot, so nothing is refined either.
  const PivotFitResult still = PivotFromMarkers(frames, model);
  EXPECT_FALSE(still.solved);
  EXPECT_EQ(still.refineIterations, 0);
  EXPECT_TRUE(std::isnan(still.pivot.x));
  // No frames: no answer, and no poses.
  EXPECT_FALSE(PivotFromMarkers({}, model, PivotFitOptions(), &poses).solved);
  EXPECT_TRUE(poses.empty());
}

TEST(BadInputs, MeanMarkerModel) {
  const Points3 model = {{0, 0, 0}, {50, 0, 0}, {0, 30, 0}};
  EXPECT_THROW(MeanMarkerModel({}), cv::Exception);
  EXPECT_THROW(MeanMarkerModel({{{0, 0, 0}, {1, 0, 0}}}), cv::Exception);
  EXPECT_THROW(MeanMarkerModel({model, Points3(4)}), cv::Exception);
  const Points3 withNaN = {{0, 0, 0}, {kNaN, 0, 0}, {0, 30, 0}};
  const Points3 mean = MeanMarkerModel({model, withNaN});
  ASSERT_EQ(mean.size(), 3u);
  EXPECT_TRUE(std::isnan(mean[0].x));
}

TEST(BadInputs, FitSharedSphere) {
  EXPECT_FALSE(FitSharedSphere({}).solved);
  EXPECT_FALSE(FitSharedSphere({kSphere, {}}).solved);  // an empty track
  EXPECT_FALSE(FitSharedSphere({Points3(kSphere.begin(), kSphere.begin() + 3)}).solved);
  const Points3 flat = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {0.6, 0.8, 0}};
  EXPECT_FALSE(FitSharedSphere({flat}).solved);  // one plane
  Points3 withNaN = kSphere;
  withNaN[3].y = kNaN;
  EXPECT_FALSE(FitSharedSphere({withNaN}).solved);
  EXPECT_TRUE(FitSharedSphere({kSphere}).solved);
}

TEST(BadInputs, OutlineCentreBias) {
  const cv::Mat k = (cv::Mat_<double>(3, 3) << 1500, 0, 620, 0, 1500, 540, 0, 0, 1);
  const cv::Matx33d r = cv::Matx33d::eye();
  const cv::Vec3d t(0, 0, 1000);
  const Points3 dots = {{0, 0, 0}, {30, 0, 0}};
  EXPECT_EQ(OutlineCentreBias(k, cv::Mat(), r, t, dots, 7.5).size(), 2u);
  EXPECT_TRUE(OutlineCentreBias(k, cv::Mat(), r, t, {}, 7.5).empty());
  const Calibration uncalibrated;  // zero 32-bit matrices
  for (const cv::Mat& bad : {uncalibrated.parameters.cameraMatrixLeft, cv::Mat(),
                             cv::Mat(k.t())(cv::Rect(0, 0, 3, 2))}) {
    EXPECT_THROW(OutlineCentreBias(bad, cv::Mat(), r, t, dots, 7.5), cv::Exception);
  }
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat::zeros(1, 3, CV_64F), r, t, dots, 7.5), cv::Exception);
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(1, 5, CV_64F, cv::Scalar(kNaN)), r, t, dots, 7.5),
               cv::Exception);
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), r, {0, 0, kInf}, dots, 7.5), cv::Exception);
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), cv::Vec3d(kNaN, 0, 0), t, dots, 7.5), cv::Exception);
  for (double radius : {0.0, -1.0, kNaN, kInf}) {
    EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), r, t, dots, radius), cv::Exception);
  }
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), r, t, dots, 7.5, {0, 0, 0}), cv::Exception);
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), r, t, {{0, kNaN, 0}}, 7.5), cv::Exception);
  EXPECT_THROW(OutlineCentreBias(k, cv::Mat(), r, t, {{0, 0, -1000}}, 7.5), cv::Exception);
  const Points2 edgeOn = OutlineCentreBias(k, cv::Mat(), r, t, {{0, 0, 0}}, 7.5, {1, 0, 0});
  EXPECT_TRUE(std::isnan(edgeOn[0].x));
}

TEST(BadInputs, CalibrateUnbiased) {
  Calibration calibration;
  Points2 plate;
  for (const cv::Point3d& p : calibration.nominalPattern.points) {
    plate.emplace_back(2 * p.x + 300, 2 * p.y + 200);
  }
  calibration.leftTargets = {plate, plate};
  calibration.rightTargets = {plate, plate};
  const std::vector<Points2> lists = {plate, plate};
  EXPECT_THROW(CalibrateUnbiased(calibration, {plate}, lists), cv::Exception);
  EXPECT_THROW(CalibrateUnbiased(calibration, lists, {plate, Points2(116)}), cv::Exception);
  UnbiasedCalibrationOptions options;
  for (double radius : {-1.0, kNaN, kInf}) {
    options.dotRadius = radius;
    EXPECT_THROW(CalibrateUnbiased(calibration, lists, lists, options), cv::Exception);
  }
  Points2 withNaN = plate;
  withNaN[3].x = kNaN;
  EXPECT_THROW(CalibrateUnbiased(calibration, {withNaN, withNaN}, lists), cv::Exception);
  EXPECT_THROW(CalibrateUnbiased(Calibration(), {}, {}), cv::Exception);
  // Never changed.
  EXPECT_EQ(calibration.leftTargets, lists);
  EXPECT_EQ(calibration.rmsStereo, 0.0);
  EXPECT_EQ(calibration.parameters.cameraMatrixLeft.type(), CV_32F);
}

}  // namespace

TEST(BadInputs, RefineDots) {
  namespace n64 = Oskelo::CV::Native64;
  const std::vector<cv::Point2d> centres{{20.0, 20.0}};
  EXPECT_THROW(n64::RefineDots(cv::Mat(), centres), cv::Exception);
  EXPECT_THROW(n64::RefineDots(cv::Mat(40, 40, CV_8UC3, cv::Scalar::all(9)), centres),
               cv::Exception);
  EXPECT_THROW(n64::RefineDots(cv::Mat(40, 40, CV_16SC1, cv::Scalar(9)), centres), cv::Exception);
  const int sizes[] = {2, 40, 40};
  EXPECT_THROW(n64::RefineDots(cv::Mat(3, sizes, CV_8UC1, cv::Scalar(9)), centres), cv::Exception);

  // A dark disc on a bright ground; options of any value still give an answer for every centre.
  cv::Mat image(40, 40, CV_8UC1, cv::Scalar(200));
  cv::circle(image, {20, 20}, 7, cv::Scalar(40), cv::FILLED);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  n64::DotRefinementOptions wild;
  wild.edgeBandPx = nan;
  wild.gradientSigmaPx = 1e300;
  wild.maxWindowRadiusPx = -1.0;
  wild.passes = -5;
  wild.minEdgePixels = -100;
  wild.maxShiftPx = std::numeric_limits<double>::infinity();
  const std::vector<n64::RefinedDot> dots =
      n64::RefineDots(image, {{20.0, 20.0}, {nan, 1.0}, {1e9, 5.0}}, wild);
  ASSERT_EQ(dots.size(), 3u);
  EXPECT_TRUE(std::isfinite(dots[0].centre.x) && std::isfinite(dots[0].centre.y));
  EXPECT_EQ(dots[1].flags, n64::kDotAtBorder);
  EXPECT_EQ(dots[2].flags, n64::kDotAtBorder);
  EXPECT_EQ(dots[2].centre, cv::Point2d(1e9, 5.0));

  // No smoothing: the window has no margin, and the gradient filter's taps must stay inside it
  // (read before its buffer under the sanitizers otherwise). The disc is symmetric about
  // (20, 20), so its fitted centre is there to well within a pixel.
  n64::DotRefinementOptions unsmoothed;
  unsmoothed.gradientSigmaPx = 0.0;
  const std::vector<n64::RefinedDot> sharp = n64::RefineDots(image, {{20.2, 19.9}}, unsmoothed);
  ASSERT_EQ(sharp.size(), 1u);
  EXPECT_EQ(sharp[0].flags, 0u);
  EXPECT_LT(cv::norm(sharp[0].centre - cv::Point2d(20.0, 20.0)), 0.05);
}

TEST(BadInputs, CalibrationUncertainty) {
  // The plate seen head-on once by the known rig: a rig whose parameters one flat view cannot
  // determine (focal length and distance trade against each other).
  const synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration;
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);  // zero parameters
  SetKnownCalibration(calibration, rig);
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);  // no pair
  Points2 left, right;
  for (const cv::Point3d& p : calibration.nominalPattern.points) {
    const cv::Point3d world(p.x - 150, p.y - 210, 1000);
    left.push_back(rig.left.Project(world));
    right.push_back(rig.right.Project(world));
  }
  calibration.leftTargets = {left};
  calibration.rightTargets = {right};
  try {
    EstimateCalibrationUncertainty(calibration);
    ADD_FAILURE() << "one flat view determined the rig";
  } catch (const cv::Exception& e) {
    EXPECT_NE(e.err.find("undetermined"), std::string::npos) << e.err;
  }
  Points2 withNaN = left;
  withNaN[7].y = kNaN;
  calibration.leftTargets = {withNaN};
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);  // no usable pair
  calibration.leftTargets = {left};
  calibration.parameters.translation.at<double>(0) = kInf;
  EXPECT_THROW(EstimateCalibrationUncertainty(calibration), cv::Exception);  // not finite

  SetKnownCalibration(calibration, rig);
  const cv::Mat covariance = cv::Mat::eye(24, 24, CV_64F) * 1e-6;
  const CalibrationParameters& p = calibration.parameters;
  EXPECT_GT(TriangulatedPointUncertainty(p, covariance, 0.01, {620, 540}, 1000).total, 0.0);
  for (const cv::Mat& bad :
       {cv::Mat(), cv::Mat(cv::Mat::eye(23, 23, CV_64F)), cv::Mat(cv::Mat::eye(24, 24, CV_32F)),
        cv::Mat(24, 24, CV_64F, cv::Scalar(kNaN))}) {
    EXPECT_THROW(TriangulatedPointUncertainty(p, bad, 0.01, {620, 540}, 1000), cv::Exception);
  }
  EXPECT_THROW(TriangulatedPointUncertainty(p, covariance, -0.01, {620, 540}, 1000), cv::Exception);
  EXPECT_THROW(TriangulatedPointUncertainty(p, covariance, 0.01, {kNaN, 540}, 1000), cv::Exception);
  for (double depth : {0.0, -5.0, kInf}) {
    EXPECT_THROW(TriangulatedPointUncertainty(p, covariance, 0.01, {620, 540}, depth),
                 cv::Exception);
  }
}
