#include "workflows/PivotToolScene.h"

#include <cmath>

#include "synth/GroundTruth.h"
#include "synth/PointScenes.h"

namespace dotcal {
namespace {

// The seat lies between the cameras' optical axes, 950 mm from the rig, where both see it near
// their image centres.
const cv::Point3d kTipMm(110.0, 20.0, 950.0);
// A hand-held probe: its tracker 170 mm from the tip.
constexpr double kTrackerDistanceMm = 170.0;
// The tool is rocked within a 50-degree cone (25 degrees about the axis).
constexpr double kConeHalfAngleDeg = 25.0;
// The spiral starts this far out on the cone (share of the half-angle) and turns this often.
constexpr double kInnerTiltShare = 0.25;
constexpr double kSpiralTurns = 1.5;
// The tool turns a little about its own axis while rocked, by up to this angle.
constexpr double kSpinDeg = 10.0;
// Every dot stays this far inside both images.
constexpr double kDotMarginPx = 10.0;

// Tool frame: the tip at the origin, +z along the axis toward the tracker. Tracker frame: its
// plane z = 0, facing along its +z, which points from the tracker toward the tip.
const cv::Matx33d kToolFromTracker(1, 0, 0, 0, -1, 0, 0, 0, -1);

cv::Matx33d WorldFromTool(double tiltRad, double azimuthRad, double spinRad) {
  const cv::Matx33d nominal = synth::AxisAngle({1, 0, 0}, synth::kPi);  // axis toward the rig
  const cv::Vec3d hinge(-std::sin(azimuthRad), std::cos(azimuthRad), 0.0);
  return nominal * synth::AxisAngle(hinge, tiltRad) * synth::AxisAngle({0, 0, 1}, spinRad);
}

}  // namespace

ToolBody PivotTool() {
  ToolBody body;
  body.tracker = synth::Target::Tracker();
  body.toolFromTrackerR = kToolFromTracker;
  const cv::Vec3d boxCentre(body.tracker.box.x + 0.5 * body.tracker.box.width,
                            body.tracker.box.y + 0.5 * body.tracker.box.height, 0.0);
  // The tracker's box centre lies on the tool axis.
  body.toolFromTrackerT = cv::Vec3d(0, 0, kTrackerDistanceMm) - kToolFromTracker * boxCentre;
  return body;
}

synth::PlacedTarget PlaceTool(const ToolBody& body, const cv::Matx33d& worldFromToolR,
                              const cv::Vec3d& worldFromToolT) {
  synth::PlacedTarget placed;
  placed.target = body.tracker;
  placed.world_from_target_R = worldFromToolR * body.toolFromTrackerR;
  placed.world_from_target_t = worldFromToolT + worldFromToolR * body.toolFromTrackerT;
  return placed;
}

PivotToolScene MakePivotToolScene(const synth::StereoRig& rig, int frames) {
  PivotToolScene scene;
  scene.tip = kTipMm;
  scene.trackerDistance = kTrackerDistanceMm;
  scene.coneHalfAngleDeg = kConeHalfAngleDeg;

  const ToolBody body = PivotTool();

  for (int k = 0; k < frames; ++k) {
    const double share = frames > 1 ? static_cast<double>(k) / (frames - 1) : 0.0;
    const double tilt =
        synth::Radians(kConeHalfAngleDeg) * (kInnerTiltShare + (1.0 - kInnerTiltShare) * share);
    const double azimuth = 2.0 * synth::kPi * kSpiralTurns * share;
    const double spin = synth::Radians(kSpinDeg) * std::sin(2.0 * synth::kPi * share);
    const cv::Matx33d worldFromTool = WorldFromTool(tilt, azimuth, spin);

    const synth::PlacedTarget placed = PlaceTool(body, worldFromTool, cv::Vec3d(kTipMm));
    if (!synth::DotsInsideImage(rig.left, placed, kDotMarginPx) ||
        !synth::DotsInsideImage(rig.right, placed, kDotMarginPx)) {
      CV_Error(cv::Error::StsOutOfRange, "the pivoting tool leaves the cameras' view");
    }
    scene.frames.push_back(placed);
  }
  return scene;
}

}  // namespace dotcal
