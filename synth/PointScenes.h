#pragma once

// Point sets with known ground truth for the sphere fits, pivot calibration and rigid registration:
// points on spheres and spherical caps, a tool pivoted about its tip, random rigid motions. Every
// generator draws from the caller's seeded engine, so a scene replays from its seed.

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <random>
#include <vector>

namespace synth {

constexpr double kPi = 3.14159265358979323846;

inline double Radians(double degrees) { return degrees * kPi / 180.0; }

// Rotation by `angle` radians about the unit vector `k` (Rodrigues' formula).
inline cv::Matx33d AxisAngle(const cv::Vec3d& k, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), v = 1.0 - c;
  return {c + v * k[0] * k[0],        v * k[0] * k[1] - s * k[2], v * k[0] * k[2] + s * k[1],
          v * k[1] * k[0] + s * k[2], c + v * k[1] * k[1],        v * k[1] * k[2] - s * k[0],
          v * k[2] * k[0] - s * k[1], v * k[2] * k[1] + s * k[0], c + v * k[2] * k[2]};
}

// A rotation drawn uniformly from SO(3): a normalised quaternion of four Gaussian components.
inline cv::Matx33d RandomRotation(std::mt19937_64& rng) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  double q[4];
  double norm = 0.0;
  for (double& c : q) {
    c = gauss(rng);
    norm += c * c;
  }
  norm = std::sqrt(norm);
  const double w = q[0] / norm, x = q[1] / norm, y = q[2] / norm, z = q[3] / norm;
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

// A unit vector within `halfAngleRad` of `axis`, uniform over that cap's area.
inline cv::Vec3d DirectionInCap(const cv::Vec3d& axis, double halfAngleRad, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> cosine(std::cos(halfAngleRad), 1.0);
  std::uniform_real_distribution<double> turn(0.0, 2.0 * kPi);
  const double c = cosine(rng);
  const double s = std::sqrt(std::max(0.0, 1.0 - c * c));
  const double phi = turn(rng);
  const cv::Vec3d local(s * std::cos(phi), s * std::sin(phi), c);
  // Turn the cap about +z onto the cap about `axis`.
  const cv::Vec3d z(0, 0, 1);
  const cv::Vec3d n = cv::normalize(axis);
  const cv::Vec3d k = z.cross(n);
  const double sinAngle = cv::norm(k);
  if (sinAngle < 1e-12) return n[2] > 0 ? local : cv::Vec3d(local[0], -local[1], -local[2]);
  return AxisAngle(k / sinAngle, std::atan2(sinAngle, z.dot(n))) * local;
}

// Adds independent Gaussian noise of `sigma` to every coordinate.
inline cv::Point3d Jitter(const cv::Point3d& p, double sigma, std::mt19937_64& rng) {
  if (sigma == 0.0) return p;
  std::normal_distribution<double> noise(0.0, sigma);
  return {p.x + noise(rng), p.y + noise(rng), p.z + noise(rng)};
}

// `count` points on the sphere (centre, radius), uniform over the cap of half-angle `capDeg`
// about `axis` (180 for the whole sphere), with coordinate noise `sigma`.
inline std::vector<cv::Point3d> SpherePoints(const cv::Point3d& centre, double radius, int count,
                                             double capDeg, double sigma, std::mt19937_64& rng,
                                             const cv::Vec3d& axis = {0, 0, 1}) {
  std::vector<cv::Point3d> points;
  points.reserve(count);
  for (int i = 0; i < count; ++i) {
    const cv::Vec3d d = DirectionInCap(axis, Radians(capDeg), rng);
    points.push_back(Jitter(centre + cv::Point3d(d * radius), sigma, rng));
  }
  return points;
}

// `count` points uniform in the cube [-halfSide, halfSide]^3.
inline std::vector<cv::Point3d> BoxPoints(int count, double halfSide, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> coordinate(-halfSide, halfSide);
  std::vector<cv::Point3d> points(count);
  for (cv::Point3d& p : points) p = {coordinate(rng), coordinate(rng), coordinate(rng)};
  return points;
}

// R * p + t for every point.
inline std::vector<cv::Point3d> Moved(const std::vector<cv::Point3d>& points, const cv::Matx33d& R,
                                      const cv::Vec3d& t) {
  std::vector<cv::Point3d> moved;
  moved.reserve(points.size());
  for (const cv::Point3d& p : points) moved.push_back(cv::Point3d(R * cv::Vec3d(p) + t));
  return moved;
}

// A tool pivoted about its tip, seen by a tracker. In the tool frame the tip is the origin and the
// tool points along +z. Each pose tilts that axis by up to `coneDeg` (uniform over the cone's
// solid angle) about the nominal axis, the world -z, and spins the tool about its own axis by a
// uniform angle in [0, spinDeg) (a full turn by default; a hand rocking a tool turns it little).
// The tip stays at `tip` in every pose.
struct PivotScene {
  cv::Point3d tip;
  std::vector<cv::Point3d> markersInTool;        // marker positions in the tool frame
  std::vector<cv::Matx33d> world_from_tool;      // one rotation per pose
  std::vector<std::vector<cv::Point3d>> tracks;  // tracks[marker][pose], with noise
};

// Markers at 150 to 200 length units from the tip (a hand-held probe's markers), at most 30
// degrees off the tool axis so they are not collinear with the tip and one another.
constexpr double kMarkerMinDistance = 150.0;
constexpr double kMarkerMaxDistance = 200.0;
constexpr double kMarkerMaxOffAxisDeg = 30.0;

inline PivotScene PivotTracks(const cv::Point3d& tip, int markers, int poses, double coneDeg,
                              double sigma, std::mt19937_64& rng, double spinDeg = 360.0) {
  PivotScene scene;
  scene.tip = tip;
  std::uniform_real_distribution<double> distance(kMarkerMinDistance, kMarkerMaxDistance);
  for (int m = 0; m < markers; ++m) {
    const cv::Vec3d d = DirectionInCap({0, 0, 1}, Radians(kMarkerMaxOffAxisDeg), rng);
    scene.markersInTool.push_back(cv::Point3d(d * distance(rng)));
  }

  const cv::Matx33d nominal = AxisAngle({1, 0, 0}, kPi);  // tool +z onto world -z
  std::uniform_real_distribution<double> spin(0.0, 2.0 * kPi);
  for (int k = 0; k < poses; ++k) {
    const cv::Vec3d axis = DirectionInCap({0, 0, 1}, Radians(coneDeg), rng);
    const cv::Vec3d z(0, 0, 1);
    const cv::Vec3d hinge = z.cross(axis);
    const double tilt = std::atan2(cv::norm(hinge), z.dot(axis));
    const cv::Matx33d tilted =
        tilt > 0 ? AxisAngle(hinge / cv::norm(hinge), tilt) : cv::Matx33d::eye();
    const double turn = spin(rng) * (spinDeg / 360.0);
    scene.world_from_tool.push_back(nominal * tilted * AxisAngle(z, turn));
  }

  scene.tracks.resize(markers);
  for (int m = 0; m < markers; ++m) {
    for (const cv::Matx33d& R : scene.world_from_tool) {
      const cv::Point3d p = tip + cv::Point3d(R * cv::Vec3d(scene.markersInTool[m]));
      scene.tracks[m].push_back(Jitter(p, sigma, rng));
    }
  }
  return scene;
}

}  // namespace synth
