#include "synth/Scenes.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "synth/GroundTruth.h"

namespace synth {
namespace {

// Ranges of the drawn plate poses.
constexpr double kMaxTiltDeg = 35.0;
constexpr double kMaxSpinDeg = 20.0;
constexpr double kDistanceSpread = 0.15;  // +-15 % around the series' nominal distance
// The series' nominal distance: the plate's box, head-on, spans this share of the image height
// (or width, where that is the tighter fit).
constexpr double kSeriesBoxShare = 0.6;
// Every dot stays this far inside each image of the default size or larger.
constexpr double kDotMarginPx = 10.0;
// The default image size, against which smaller images scale the margin.
const cv::Size kDefaultImageSize = Camera().imageSize;
// Draws per pose before giving up: a pose is usually found within ten draws, and within a few
// hundred near the limits of what the camera can show, so reaching this means it cannot.
constexpr int kMaxDrawsPerPose = 2000;
// Points per box side when measuring the projected perimeter: the sides bend by far less than a
// pixel, so the polyline is within 1e-4 of the curve's length.
constexpr int kPerimeterPointsPerSide = 64;

// Uniform draws from a seeded 64-bit Mersenne Twister. The 53-bit conversion is written out so
// that a seed gives the same scenes with every standard library.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : generator_(seed) {}
  double Uniform(double low, double high) {
    const double unit = static_cast<double>(generator_() >> 11) * 0x1.0p-53;
    return low + (high - low) * unit;
  }

 private:
  std::mt19937_64 generator_;
};

cv::Matx33d RotationX(double deg) {
  const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
  return {1, 0, 0, 0, c, -s, 0, s, c};
}
cv::Matx33d RotationY(double deg) {
  const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
  return {c, 0, s, 0, 1, 0, -s, 0, c};
}
cv::Matx33d RotationZ(double deg) {
  const double a = deg * CV_PI / 180.0, c = std::cos(a), s = std::sin(a);
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

// Rotation whose z axis is the unit ray and whose x axis is the camera's x made perpendicular
// to it, as columns: camera_from_facing.
cv::Matx33d FacingRay(const cv::Vec3d& ray) {
  const cv::Vec3d x = cv::normalize(cv::Vec3d(1, 0, 0) - ray[0] * ray);
  const cv::Vec3d y = ray.cross(x);
  return {x[0], y[0], ray[0], x[1], y[1], ray[1], x[2], y[2], ray[2]};
}

struct PoseDraw {
  cv::Point2d pixel;
  double tiltXDeg, tiltYDeg, spinDeg;
};

PoseDraw DrawPose(Draw& draw, const cv::Size& image) {
  PoseDraw pose;
  pose.pixel = {draw.Uniform(-0.5, image.width - 0.5), draw.Uniform(-0.5, image.height - 0.5)};
  pose.tiltXDeg = draw.Uniform(-kMaxTiltDeg, kMaxTiltDeg);
  pose.tiltYDeg = draw.Uniform(-kMaxTiltDeg, kMaxTiltDeg);
  pose.spinDeg = draw.Uniform(-kMaxSpinDeg, kMaxSpinDeg);
  return pose;
}

PlacedTarget Place(const Target& target, const Camera& camera, const PoseDraw& pose,
                   double distance) {
  return PlaceInView(target, camera, pose.pixel, distance, pose.tiltXDeg, pose.tiltYDeg,
                     pose.spinDeg);
}

void CheckCount(int count) {
  if (count < 0)
    CV_Error(cv::Error::StsOutOfRange, "synth scenes: the number of poses is negative");
}

[[noreturn]] void GiveUp() {
  CV_Error(cv::Error::StsError,
           "synth scenes: no plate pose satisfies the constraints for this camera");
}

}  // namespace

PlacedTarget PlaceInView(const Target& target, const Camera& camera, cv::Point2d pixel,
                         double distance, double tiltXDeg, double tiltYDeg, double spinDeg) {
  const cv::Point2d r = camera.PixelToRay(pixel);
  const cv::Vec3d ray = cv::normalize(cv::Vec3d(r.x, r.y, 1.0));
  const cv::Matx33d camera_from_target =
      FacingRay(ray) * RotationZ(spinDeg) * RotationX(tiltXDeg) * RotationY(tiltYDeg);
  const cv::Vec3d boxCentre(target.box.x + 0.5 * target.box.width,
                            target.box.y + 0.5 * target.box.height, 0.0);
  const cv::Vec3d camera_t = distance * ray - camera_from_target * boxCentre;

  PlacedTarget placed;
  placed.target = target;
  const cv::Matx33d world_from_camera = camera.camera_from_world_R.t();
  placed.world_from_target_R = world_from_camera * camera_from_target;
  placed.world_from_target_t = world_from_camera * (camera_t - camera.camera_from_world_t);
  return placed;
}

double MinDotMarginPx(const cv::Size& imageSize) {
  const double ratio =
      std::min({1.0, static_cast<double>(imageSize.width) / kDefaultImageSize.width,
                static_cast<double>(imageSize.height) / kDefaultImageSize.height});
  return kDotMarginPx * ratio;
}

// The nominal distance takes the head-on box to kSeriesBoxShare of the image height, or further
// where its width would then fill more than that share of the image width.
std::vector<PlacedTarget> CalibrationSeries(const StereoRig& rig, const Target& plate, int pairs,
                                            std::uint64_t seed) {
  CheckCount(pairs);
  const Camera& left = rig.left;
  const double nominalDistance =
      std::max(left.K(1, 1) * plate.box.height / (kSeriesBoxShare * left.imageSize.height),
               left.K(0, 0) * plate.box.width / (kSeriesBoxShare * left.imageSize.width));
  const double leftMarginPx = MinDotMarginPx(left.imageSize);
  const double rightMarginPx = MinDotMarginPx(rig.right.imageSize);
  Draw draw(seed);
  std::vector<PlacedTarget> series;
  while (static_cast<int>(series.size()) < pairs) {
    bool found = false;
    for (int attempt = 0; attempt < kMaxDrawsPerPose && !found; ++attempt) {
      const PoseDraw pose = DrawPose(draw, left.imageSize);
      const double distance =
          nominalDistance * draw.Uniform(1.0 - kDistanceSpread, 1.0 + kDistanceSpread);
      PlacedTarget placed = Place(plate, left, pose, distance);
      if (DotsInsideImage(left, placed, leftMarginPx) &&
          DotsInsideImage(rig.right, placed, rightMarginPx)) {
        series.push_back(std::move(placed));
        found = true;
      }
    }
    if (!found) GiveUp();
  }
  return series;
}

std::vector<PlacedTarget> CalibrationSeries(const StereoRig& rig, int pairs, std::uint64_t seed) {
  return CalibrationSeries(rig, Target::CalibrationPlate(), pairs, seed);
}

// The distance for a wanted perimeter comes from the head-on estimate (perimeter inversely
// proportional to distance), corrected once by the perimeter measured there.
std::vector<PlacedTarget> PlateViews(const Camera& camera, const Target& plate, int count,
                                     std::uint64_t seed, double minPerimeterPx,
                                     double maxPerimeterPx) {
  CheckCount(count);
  if (!(minPerimeterPx > 0.0) || !(maxPerimeterPx >= minPerimeterPx)) {
    CV_Error(cv::Error::StsBadArg, "PlateViews: the perimeter range is empty");
  }
  const double boxPerimeterMm = 2.0 * (plate.box.width + plate.box.height);
  const double focal = 0.5 * (camera.K(0, 0) + camera.K(1, 1));
  const double marginPx = MinDotMarginPx(camera.imageSize);
  Draw draw(seed);
  std::vector<PlacedTarget> views;
  while (static_cast<int>(views.size()) < count) {
    bool found = false;
    for (int attempt = 0; attempt < kMaxDrawsPerPose && !found; ++attempt) {
      const PoseDraw pose = DrawPose(draw, camera.imageSize);
      const double wanted = draw.Uniform(minPerimeterPx, maxPerimeterPx);
      const double estimate = focal * boxPerimeterMm / wanted;
      const double measured = ProjectedBoxPerimeter(camera, Place(plate, camera, pose, estimate));
      if (!(measured > 0.0)) continue;
      PlacedTarget placed = Place(plate, camera, pose, estimate * measured / wanted);
      const double perimeter = ProjectedBoxPerimeter(camera, placed);
      if (perimeter >= minPerimeterPx && perimeter <= maxPerimeterPx &&
          DotsInsideImage(camera, placed, marginPx)) {
        views.push_back(std::move(placed));
        found = true;
      }
    }
    if (!found) GiveUp();
  }
  return views;
}

std::vector<PlacedTarget> PlateViews(const Camera& camera, int count, std::uint64_t seed,
                                     double minPerimeterPx, double maxPerimeterPx) {
  return PlateViews(camera, Target::CalibrationPlate(), count, seed, minPerimeterPx,
                    maxPerimeterPx);
}

double ProjectedBoxPerimeter(const Camera& camera, const PlacedTarget& placed) {
  const cv::Rect2d& box = placed.target.box;
  const cv::Point2d corners[] = {
      box.tl(), {box.x + box.width, box.y}, box.br(), {box.x, box.y + box.height}};
  double length = 0.0;
  cv::Point2d previous;
  for (int side = 0; side < 4; ++side) {
    for (int i = 0; i < kPerimeterPointsPerSide; ++i) {
      const double f = static_cast<double>(i) / kPerimeterPointsPerSide;
      const cv::Point3d world =
          TargetToWorld(placed, corners[side] + f * (corners[(side + 1) % 4] - corners[side]));
      if (!ImagedFaithfully(camera, world)) return -1.0;
      const cv::Point2d pixel = camera.Project(world);
      if (side > 0 || i > 0) length += cv::norm(pixel - previous);
      previous = pixel;
    }
  }
  const cv::Point2d first = camera.Project(TargetToWorld(placed, corners[0]));
  return length + cv::norm(first - previous);
}

}  // namespace synth
