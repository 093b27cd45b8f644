#include "synth/GroundTruth.h"

#include <cmath>

namespace synth {
namespace {

// Rim vertices of the truth polygon. The vertices are images of evenly spaced rim points, so
// under an affine view the polygon's centroid is exact; perspective and distortion leave an error
// of order (2 pi / N)^2 times their small asymmetry: 1.2e-9 px at 720 vertices for a 20 px dot
// tilted by 40 degrees under strong distortion, and less at this count.
constexpr int kTruthRimVertices = 1024;
// Rim vertices of the polygon drawn around each rim to check margins: it reaches
// 1 / cos(pi / 64) - 1 = 0.12 % of a radius beyond the rim, a few hundredths of a pixel.
constexpr int kMarginRimVertices = 64;
// A ray that Project and PixelToRay carry back to itself within this (normalised units, about
// 1e-6 px) lies on the invertible branch of the lens model; folded points miss it by far more.
constexpr double kRoundTripTolerance = 1e-9;

// World position of vertex i of `vertices` evenly spaced on a dot's rim scaled by radiusFactor.
cv::Point3d RimPoint(const PlacedTarget& placed, std::size_t dot, double radiusFactor, int i,
                     int vertices) {
  const double radius = 0.5 * placed.target.dotDiameter * radiusFactor;
  const double angle = 2.0 * CV_PI * i / vertices;
  return TargetToWorld(
      placed, placed.target.dots[dot] + radius * cv::Point2d(std::cos(angle), std::sin(angle)));
}

bool InsideImage(const cv::Size& size, const cv::Point2d& p, double margin) {
  return p.x >= -0.5 + margin && p.x <= size.width - 0.5 - margin && p.y >= -0.5 + margin &&
         p.y <= size.height - 0.5 - margin;
}

// Area centroid of a simple polygon by the shoelace formulas, summed relative to a point near it
// so that the products keep their precision.
cv::Point2d PolygonCentroid(const std::vector<cv::Point2d>& polygon, const cv::Point2d& near) {
  double twiceArea = 0.0, sx = 0.0, sy = 0.0;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const cv::Point2d a = polygon[i] - near;
    const cv::Point2d b = polygon[(i + 1) % polygon.size()] - near;
    const double cross = a.x * b.y - b.x * a.y;
    twiceArea += cross;
    sx += (a.x + b.x) * cross;
    sy += (a.y + b.y) * cross;
  }
  return near + cv::Point2d(sx, sy) / (3.0 * twiceArea);
}

// Every point of a rim is imaged faithfully and inside the image with the given margin.
bool RimInside(const Camera& camera, const PlacedTarget& placed, std::size_t dot, int vertices,
               double radiusFactor, double marginPx) {
  for (int i = 0; i < vertices; ++i) {
    const cv::Point3d world = RimPoint(placed, dot, radiusFactor, i, vertices);
    if (!ImagedFaithfully(camera, world) ||
        !InsideImage(camera.imageSize, camera.Project(world), marginPx)) {
      return false;
    }
  }
  return true;
}

}  // namespace

cv::Point3d TargetToWorld(const PlacedTarget& placed, const cv::Point2d& onTarget) {
  const cv::Vec3d world = placed.world_from_target_R * cv::Vec3d(onTarget.x, onTarget.y, 0.0) +
                          placed.world_from_target_t;
  return {world[0], world[1], world[2]};
}

bool ImagedFaithfully(const Camera& camera, const cv::Point3d& world) {
  const cv::Vec3d c = camera.camera_from_world_R * cv::Vec3d(world.x, world.y, world.z) +
                      camera.camera_from_world_t;
  if (!(c[2] > 0.0)) return false;
  const cv::Point2d ray(c[0] / c[2], c[1] / c[2]);
  const cv::Point2d back = camera.PixelToRay(camera.Project(world));
  return std::hypot(back.x - ray.x, back.y - ray.y) < kRoundTripTolerance;
}

std::vector<cv::Point2d> ProjectDotRim(const Camera& camera, const PlacedTarget& placed,
                                       std::size_t dot, int vertices, double radiusFactor) {
  if (dot >= placed.target.dots.size())
    CV_Error(cv::Error::StsOutOfRange, "ProjectDotRim: no such dot");
  std::vector<cv::Point2d> rim;
  for (int i = 0; i < vertices; ++i)
    rim.push_back(camera.Project(RimPoint(placed, dot, radiusFactor, i, vertices)));
  return rim;
}

std::vector<DotTruth> DotTruths(const Camera& camera, const PlacedTarget& placed) {
  std::vector<DotTruth> truths;
  truths.reserve(placed.target.dots.size());
  std::vector<cv::Point2d> rim(kTruthRimVertices);
  for (std::size_t dot = 0; dot < placed.target.dots.size(); ++dot) {
    DotTruth truth;
    truth.projectedCentre = camera.Project(TargetToWorld(placed, placed.target.dots[dot]));
    truth.inImage = true;
    for (int i = 0; i < kTruthRimVertices; ++i) {
      const cv::Point3d world = RimPoint(placed, dot, 1.0, i, kTruthRimVertices);
      rim[i] = camera.Project(world);
      truth.inImage = truth.inImage && InsideImage(camera.imageSize, rim[i], 0.0) &&
                      ImagedFaithfully(camera, world);
    }
    truth.areaCentroid = PolygonCentroid(rim, truth.projectedCentre);
    truths.push_back(truth);
  }
  return truths;
}

bool DotsInsideImage(const Camera& camera, const PlacedTarget& placed, double marginPx) {
  const double around = 1.0 / std::cos(CV_PI / kMarginRimVertices);
  for (std::size_t i = 0; i < placed.target.dots.size(); ++i) {
    if (!RimInside(camera, placed, i, kMarginRimVertices, around, marginPx)) return false;
  }
  return true;
}

}  // namespace synth
