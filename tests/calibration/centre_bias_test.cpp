#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <string>

#include "native64/CentreBias.h"
#include "synth/GroundTruth.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

using Oskelo::CV::Native64::OutlineCentreBias;

namespace {

// Plate views of the calibration plate (15 mm dots, tilts up to 35 degrees) whose box outline
// spans 1000 to 3500 px: the plate from far to filling most of the image.
constexpr int kViews = 12;
constexpr std::uint64_t kViewSeed = 31;
constexpr double kMinPerimeterPx = 1000.0, kMaxPerimeterPx = 3500.0;
// Without distortion the imaged rim is an exact ellipse, whose centre is its area centroid. The
// fit matches the exact centre (from the plane's homography) to 5e-13 px; synth's area centroid,
// the shoelace centroid of a 1024-vertex polygon, is off that by up to 3.2e-7 px: 1e-6 px.
constexpr double kExactTolPx = 1e-6;
// With the rig's distortion (k1 about -0.15) the imaged rim is not an ellipse, and the centre of
// the ellipse fitted to its tangents differs from its area centroid: measured up to 5.3e-5 px
// over these views (the bias itself up to 0.036 px); bound 2e-4 px.
constexpr double kDistortedTolPx = 2e-4;
// Exact geometry (symmetry, the homography's ellipse, one pose in two forms): rounding only,
// measured below 1e-12 px.
constexpr double kSymmetryTolPx = 1e-9;

struct CameraPose {
  cv::Matx33d rotation;  // camera from target
  cv::Vec3d translation;
};

CameraPose PoseOf(const synth::Camera& camera, const synth::PlacedTarget& placed) {
  return {camera.camera_from_world_R * placed.world_from_target_R,
          camera.camera_from_world_R * placed.world_from_target_t + camera.camera_from_world_t};
}

std::vector<cv::Point3d> DotCentres(const synth::Target& target) {
  std::vector<cv::Point3d> centres;
  for (const cv::Point2d& d : target.dots) centres.emplace_back(d.x, d.y, 0.0);
  return centres;
}

cv::Mat Distortion(const synth::Camera& camera) { return cv::Mat(camera.distortion).clone(); }

std::vector<cv::Point2d> BiasOf(const synth::Camera& camera, const synth::PlacedTarget& placed) {
  const CameraPose pose = PoseOf(camera, placed);
  return OutlineCentreBias(cv::Mat(camera.K), Distortion(camera), pose.rotation, pose.translation,
                           DotCentres(placed.target), 0.5 * placed.target.dotDiameter);
}

// Largest distance of the bias from synth's truth (areaCentroid - projectedCentre) over every dot
// of every view, and the largest bias.
struct Comparison {
  double maxErrorPx = 0.0;
  double maxBiasPx = 0.0;
};

Comparison CompareWithTruth(const synth::Camera& camera) {
  Comparison result;
  for (const synth::PlacedTarget& placed :
       synth::PlateViews(camera, kViews, kViewSeed, kMinPerimeterPx, kMaxPerimeterPx)) {
    const std::vector<cv::Point2d> bias = BiasOf(camera, placed);
    const std::vector<synth::DotTruth> truth = synth::DotTruths(camera, placed);
    EXPECT_EQ(bias.size(), truth.size());
    for (std::size_t k = 0; k < bias.size() && k < truth.size(); ++k) {
      const cv::Point2d expected = truth[k].areaCentroid - truth[k].projectedCentre;
      result.maxErrorPx = std::max(result.maxErrorPx, cv::norm(bias[k] - expected));
      result.maxBiasPx = std::max(result.maxBiasPx, cv::norm(expected));
    }
  }
  return result;
}

synth::Camera Undistorted(synth::Camera camera) {
  camera.distortion = cv::Vec<double, 5>::all(0.0);
  return camera;
}

TEST(OutlineCentreBias, EqualsTheAreaCentroidOffsetWithoutDistortion) {
  const Comparison c = CompareWithTruth(Undistorted(synth::StereoRig::Default().left));
  std::printf("no distortion: bias up to %.4f px, off the truth by %.2e px\n", c.maxBiasPx,
              c.maxErrorPx);
  EXPECT_GT(c.maxBiasPx, 0.01);  // the views do carry a bias worth removing
  EXPECT_LT(c.maxErrorPx, kExactTolPx);
}

// The exact centre of the image of a circle of the plane z = 0 through a pinhole camera: the
// circle's dual conic carried by the plane's homography H = K [r1 r2 t] (dual conics map as
// H C* H^T), its centre (C*_13, C*_23) / C*_33.
cv::Point2d ImagedCircleCentre(const cv::Matx33d& k, const cv::Matx33d& rotation,
                               const cv::Vec3d& translation, const cv::Point3d& centre,
                               double radius) {
  const cv::Matx33d h = k * cv::Matx33d(rotation(0, 0), rotation(0, 1), translation[0],
                                        rotation(1, 0), rotation(1, 1), translation[1],
                                        rotation(2, 0), rotation(2, 1), translation[2]);
  const cv::Matx33d dual(centre.x * centre.x - radius * radius, centre.x * centre.y, centre.x,
                         centre.x * centre.y, centre.y * centre.y - radius * radius, centre.y,
                         centre.x, centre.y, 1.0);
  const cv::Matx33d imaged = h * dual * h.t();
  return {imaged(0, 2) / imaged(2, 2), imaged(1, 2) / imaged(2, 2)};
}

TEST(OutlineCentreBias, EqualsTheExactEllipseCentreWithoutDistortion) {
  const synth::Camera camera = Undistorted(synth::StereoRig::Default().left);
  double maxError = 0.0;
  for (const synth::PlacedTarget& placed :
       synth::PlateViews(camera, kViews, kViewSeed, kMinPerimeterPx, kMaxPerimeterPx)) {
    const CameraPose pose = PoseOf(camera, placed);
    const std::vector<cv::Point2d> bias = BiasOf(camera, placed);
    const std::vector<cv::Point3d> centres = DotCentres(placed.target);
    for (std::size_t k = 0; k < centres.size(); ++k) {
      const cv::Point2d centre = ImagedCircleCentre(camera.K, pose.rotation, pose.translation,
                                                    centres[k], 0.5 * placed.target.dotDiameter);
      const cv::Point2d projected =
          camera.Project(synth::TargetToWorld(placed, placed.target.dots[k]));
      maxError = std::max(maxError, cv::norm(bias[k] - (centre - projected)));
    }
  }
  std::printf("no distortion: off the exact ellipse centre by %.2e px\n", maxError);
  EXPECT_LT(maxError, kSymmetryTolPx);
}

TEST(OutlineCentreBias, FollowsTheAreaCentroidOffsetThroughTheRigsDistortion) {
  for (const synth::Camera& camera :
       {synth::StereoRig::Default().left, synth::StereoRig::Default().right}) {
    const Comparison c = CompareWithTruth(camera);
    std::printf("rig distortion: bias up to %.4f px, off the truth by %.2e px\n", c.maxBiasPx,
                c.maxErrorPx);
    EXPECT_GT(c.maxBiasPx, 0.01);
    EXPECT_LT(c.maxErrorPx, kDistortedTolPx);
  }
}

// A plate facing the camera on its optical axis.
synth::PlacedTarget OnAxis(const synth::Camera& camera, double tiltXDeg) {
  const cv::Point2d principal(camera.K(0, 2), camera.K(1, 2));
  return synth::PlaceInView(synth::Target::CalibrationPlate(), camera, principal, 1000.0, tiltXDeg,
                            0.0, 0.0);
}

TEST(OutlineCentreBias, VanishesForAPlateFacingTheCamera) {
  // Parallel to the image plane, every rim images to a circle about its centre's image.
  const synth::Camera pinhole = Undistorted(synth::StereoRig::Default().left);
  for (const cv::Point2d& b : BiasOf(pinhole, OnAxis(pinhole, 0.0))) {
    EXPECT_LT(cv::norm(b), kSymmetryTolPx);
  }
  // Under radial distortion only the dot on the axis keeps that symmetry (dot 58 of the 9 x 13
  // plate is its middle one, at the box's centre).
  synth::Camera radial = synth::StereoRig::Default().left;
  radial.distortion[2] = radial.distortion[3] = 0.0;
  const std::vector<cv::Point2d> bias = BiasOf(radial, OnAxis(radial, 0.0));
  EXPECT_LT(cv::norm(bias[58]), kSymmetryTolPx);
  EXPECT_GT(cv::norm(bias[0]), 100 * kSymmetryTolPx);  // the corner dot is not symmetric
}

TEST(OutlineCentreBias, GrowsWithTilt) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  double previous = 0.0;
  for (double tilt : {10.0, 20.0, 30.0, 40.0}) {
    double largest = 0.0;
    for (const cv::Point2d& b : BiasOf(camera, OnAxis(camera, tilt))) {
      largest = std::max(largest, cv::norm(b));
    }
    std::printf("tilt %.0f deg: bias up to %.4f px\n", tilt, largest);
    EXPECT_GT(largest, previous) << tilt;
    previous = largest;
  }
}

TEST(OutlineCentreBias, TakesThePoseAsARotationVectorAndThePlaneByItsNormal) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  const synth::PlacedTarget placed =
      synth::PlateViews(camera, 1, kViewSeed, kMinPerimeterPx, kMaxPerimeterPx)[0];
  const CameraPose pose = PoseOf(camera, placed);
  const std::vector<cv::Point3d> centres = DotCentres(placed.target);
  const double radius = 0.5 * placed.target.dotDiameter;
  const std::vector<cv::Point2d> reference = BiasOf(camera, placed);

  cv::Vec3d rvec;
  cv::Rodrigues(pose.rotation, rvec);
  const std::vector<cv::Point2d> byVector = OutlineCentreBias(
      cv::Mat(camera.K), Distortion(camera), rvec, pose.translation, centres, radius);

  // The same dots in an object frame turned by q: centres q^T c, normal q^T z (not unit
  // length), pose R q. Rounding of the conversions only (measured 1e-12 px).
  cv::Matx33d q;
  cv::Rodrigues(cv::Vec3d(0.3, -0.5, 0.2), q);
  std::vector<cv::Point3d> turned;
  for (const cv::Point3d& c : centres) turned.emplace_back(q.t() * cv::Vec3d(c));
  const std::vector<cv::Point2d> byNormal =
      OutlineCentreBias(cv::Mat(camera.K), Distortion(camera), pose.rotation * q, pose.translation,
                        turned, radius, 3.0 * (q.t() * cv::Vec3d(0, 0, 1)));
  for (std::size_t k = 0; k < reference.size(); ++k) {
    EXPECT_LT(cv::norm(byVector[k] - reference[k]), kSymmetryTolPx) << k;
    EXPECT_LT(cv::norm(byNormal[k] - reference[k]), kSymmetryTolPx) << k;
  }
}

TEST(OutlineCentreBias, GivesNaNForADotSeenEdgeOnAndNothingForNoDots) {
  // The plane x = 0 through the camera centre; the dot 1000 mm ahead.
  const cv::Mat k = cv::Mat(synth::StereoRig::Default().left.K);
  const std::vector<cv::Point2d> bias = OutlineCentreBias(
      k, cv::Mat(), cv::Matx33d::eye(), {0, 0, 1000}, {{0, 0, 0}}, 7.5, {1, 0, 0});
  ASSERT_EQ(bias.size(), 1u);
  EXPECT_TRUE(std::isnan(bias[0].x) && std::isnan(bias[0].y));
  EXPECT_TRUE(OutlineCentreBias(k, cv::Mat(), cv::Matx33d::eye(), {0, 0, 1000}, {}, 7.5).empty());
}

// Each refusal with its message.
void ExpectRefusal(const cv::Mat& k, const cv::Mat& distortion, const cv::Matx33d& rotation,
                   const cv::Vec3d& translation, const std::vector<cv::Point3d>& centres,
                   double radius, const cv::Vec3d& normal, const std::string& message) {
  try {
    OutlineCentreBias(k, distortion, rotation, translation, centres, radius, normal);
    ADD_FAILURE() << "accepted; expected: " << message;
  } catch (const cv::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
  }
}

TEST(OutlineCentreBias, RefusesBadInputsBeforeComputing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const cv::Mat k = cv::Mat(synth::StereoRig::Default().left.K);
  const cv::Mat d = Distortion(synth::StereoRig::Default().left);
  const cv::Matx33d r = cv::Matx33d::eye();
  const cv::Vec3d t(0, 0, 1000), z(0, 0, 1);
  const std::vector<cv::Point3d> dots = {{0, 0, 0}, {30, 0, 0}};

  // The camera matrix: shape, the uncalibrated zero matrix (32-bit, as Calibration starts it),
  // a negative focal length, NaN.
  ExpectRefusal(cv::Mat::eye(3, 4, CV_64F), d, r, t, dots, 7.5, z, "must be 3 x 3");
  ExpectRefusal(cv::Mat::zeros(3, 3, CV_32F), d, r, t, dots, 7.5, z, "no positive focal");
  cv::Mat negative = k.clone(), withNaN = k.clone();
  negative.at<double>(1, 1) = -1500;
  withNaN.at<double>(0, 2) = nan;
  ExpectRefusal(negative, d, r, t, dots, 7.5, z, "no positive focal");
  ExpectRefusal(withNaN, d, r, t, dots, 7.5, z, "camera matrix holds NaN");
  // Distortion of a count projectPoints does not take, or not finite.
  ExpectRefusal(k, cv::Mat::zeros(1, 6, CV_64F), r, t, dots, 7.5, z, "4, 5, 8, 12 or 14");
  cv::Mat badD = d.clone();
  badD.at<double>(1) = inf;
  ExpectRefusal(k, badD, r, t, dots, 7.5, z, "distortion holds NaN");
  // The pose.
  ExpectRefusal(k, d, cv::Matx33d(1, 0, 0, 0, nan, 0, 0, 0, 1), t, dots, 7.5, z,
                "rotation holds NaN");
  ExpectRefusal(k, d, 2.0 * r, t, dots, 7.5, z, "not orthonormal");
  ExpectRefusal(k, d, cv::Matx33d(-1, 0, 0, 0, 1, 0, 0, 0, 1), t, dots, 7.5, z, "reflection");
  ExpectRefusal(k, d, r, {0, inf, 1000}, dots, 7.5, z, "translation holds NaN");
  try {
    OutlineCentreBias(k, d, cv::Vec3d(nan, 0, 0), t, dots, 7.5);
    ADD_FAILURE() << "a NaN rotation vector was accepted";
  } catch (const cv::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("rotation vector holds NaN"), std::string::npos);
  }
  // The dots: radius, normal, centres, depth.
  for (double radius : {0.0, -7.5, nan, inf}) {
    ExpectRefusal(k, d, r, t, dots, radius, z, "radius must be finite and positive");
  }
  ExpectRefusal(k, d, r, t, dots, 7.5, {0, 0, 0}, "normal has zero length");
  ExpectRefusal(k, d, r, t, dots, 7.5, {0, nan, 1}, "normal holds NaN");
  ExpectRefusal(k, d, r, t, {{0, 0, 0}, {0, nan, 0}}, 7.5, z, "centre 1 holds NaN");
  ExpectRefusal(k, d, r, t, {{0, 0, 0}, {0, 0, -2000}}, 7.5, z, "dot 1 is not wholly in front");
  // A dot whose centre lies in front but whose rim reaches behind the camera: 2 mm ahead, radius
  // 7.5, in a plane tilted 45 degrees.
  ExpectRefusal(k, d, r, {0, 0, 2}, {{0, 0, 0}}, 7.5, {0, 1, 1}, "dot 0 is not wholly in front");
}

}  // namespace
