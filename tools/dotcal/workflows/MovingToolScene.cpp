#include "workflows/MovingToolScene.h"

#include <algorithm>
#include <cmath>

#include "detection/TargetDetection.h"
#include "synth/GroundTruth.h"
#include "synth/PointScenes.h"
#include "synth/Renderer.h"

namespace dotcal {
namespace {

// The scene's clock: frames come at 30 per second, and the motion's base period is 3 s (a slow
// hand). A short sequence still sweeps a quarter of the tilt cycle or more; a long one repeats.
constexpr double kFramesPerPeriod = 90.0;
constexpr double kMaxTiltDeg = 30.0;
constexpr double kMaxSpinDeg = 30.0;
// Every dot stays this far inside both images.
constexpr double kDotMarginPx = 10.0;
// The trackers' image boxes stay this far apart.
constexpr double kBoxGapPx = 10.0;
constexpr double kSecondToolLengthMm = 120.0;

// How one tool moves: the centre of its tracker drifts about `centre` by up to `amplitude` along
// each axis; `phase` shifts all of its motions so that the tools move independently.
struct Path {
  cv::Vec3d centre;     // mm, left camera frame
  cv::Vec3d amplitude;  // mm
  double phase;         // radians
};

// Tool 1 above the image centre, tool 2 below it, both where both cameras see them.
const Path kPaths[] = {{{60.0, -110.0, 780.0}, {40.0, 25.0, 40.0}, 0.0},
                       {{80.0, 120.0, 800.0}, {40.0, 25.0, 40.0}, 2.1}};

// The tool's axis (+z of the tool frame) points from the tip toward the cameras, tilted by `tilt`
// toward `azimuth`, and the tool is spun about its axis by `spin`.
cv::Matx33d WorldFromTool(double tilt, double azimuth, double spin) {
  const cv::Matx33d nominal = synth::AxisAngle({1, 0, 0}, synth::kPi);
  const cv::Vec3d hinge(-std::sin(azimuth), std::cos(azimuth), 0.0);
  return nominal * synth::AxisAngle(hinge, tilt) * synth::AxisAngle({0, 0, 1}, spin);
}

cv::Vec3d TrackerCentre(const ToolBody& body) {
  const synth::Target& t = body.tracker;
  const cv::Vec3d boxCentre(t.box.x + 0.5 * t.box.width, t.box.y + 0.5 * t.box.height, 0.0);
  return body.toolFromTrackerR * boxCentre + body.toolFromTrackerT;
}

cv::Rect2d ImageBox(const synth::Camera& camera, const synth::PlacedTarget& placed) {
  const cv::Rect2d& b = placed.target.box;
  std::vector<cv::Point2d> corners;
  for (const cv::Point2d& c :
       {b.tl(), cv::Point2d(b.x + b.width, b.y), b.br(), cv::Point2d(b.x, b.y + b.height)}) {
    corners.push_back(camera.Project(synth::TargetToWorld(placed, c)));
  }
  double x0 = 1e18, y0 = 1e18, x1 = -1e18, y1 = -1e18;
  for (const cv::Point2d& p : corners) {
    x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
  }
  return {x0 - kBoxGapPx, y0 - kBoxGapPx, x1 - x0 + 2 * kBoxGapPx, y1 - y0 + 2 * kBoxGapPx};
}

MovingTool Move(const std::string& name, const ToolBody& body, const Path& path, int frames) {
  MovingTool tool;
  tool.name = name;
  tool.body = body;
  const cv::Vec3d trackerInTool = TrackerCentre(body);
  for (int k = 0; k < frames; ++k) {
    const double u = 2.0 * synth::kPi * k / kFramesPerPeriod + path.phase;
    const double tilt = synth::Radians(kMaxTiltDeg) * 0.5 * (1.0 - std::cos(2.0 * u));
    const double spin = synth::Radians(kMaxSpinDeg) * std::sin(1.3 * u);
    const cv::Matx33d R = WorldFromTool(tilt, 0.7 * u, spin);
    const cv::Vec3d centre = path.centre + cv::Vec3d(path.amplitude[0] * std::sin(u),
                                                     path.amplitude[1] * std::sin(2.0 * u + 0.5),
                                                     path.amplitude[2] * std::sin(1.5 * u + 1.0));
    const cv::Vec3d t = centre - R * trackerInTool;  // puts the tracker's centre on the path
    tool.worldFromToolR.push_back(R);
    tool.worldFromToolT.push_back(t);
    tool.frames.push_back(PlaceTool(body, R, t));
  }
  return tool;
}

void CheckView(const synth::StereoRig& rig, const MovingToolScene& scene, int frames) {
  for (int k = 0; k < frames; ++k) {
    for (const synth::Camera* camera : {&rig.left, &rig.right}) {
      for (const MovingTool& tool : scene.tools) {
        if (!synth::DotsInsideImage(*camera, tool.frames[k], kDotMarginPx)) {
          CV_Error(cv::Error::StsOutOfRange, "a moving tool leaves the cameras' view");
        }
      }
      const cv::Rect2d a = ImageBox(*camera, scene.tools[0].frames[k]);
      const cv::Rect2d b = ImageBox(*camera, scene.tools[1].frames[k]);
      if ((a & b).area() > 0.0) CV_Error(cv::Error::StsOutOfRange, "the moving tools overlap");
    }
  }
}

}  // namespace

ToolBody SecondTool() {
  ToolBody body;
  body.tracker = synth::Target::Tracker(5, 2, 14.0, 7.0, {1});
  // Held as the pivoting tool's tracker is: across the axis, facing away from the tip.
  body.toolFromTrackerR = cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1);
  const synth::Target& t = body.tracker;
  const cv::Vec3d boxCentre(t.box.x + 0.5 * t.box.width, t.box.y + 0.5 * t.box.height, 0.0);
  body.toolFromTrackerT = cv::Vec3d(0, 0, kSecondToolLengthMm) - body.toolFromTrackerR * boxCentre;
  return body;
}

TargetShape SecondToolShape() {
  TargetShape shape;
  shape.name = "probe tracker";
  shape.columns = 5;
  shape.rows = 2;
  shape.dots = 9;
  shape.spacing = 14.0;
  shape.diameter = 7.0;
  shape.margin = 14.0;  // one spacing, as synth::Target::Tracker lays its box
  shape.emptyNodes = {1};
  return shape;
}

std::vector<cv::Point3d> MarkersInDetectionOrder(const synth::StereoRig& rig,
                                                 const MovingTool& tool, const TargetShape& shape) {
  synth::RenderSettings clean;
  clean.noiseSigma = 0.0;
  const synth::Rendering rendering = synth::Render(rig.left, {tool.frames.front()}, clean);
  const Detection detection = DetectTarget(rendering.image, shape);
  if (!detection.found) CV_Error(cv::Error::StsError, "the tool's tracker is not found");
  std::vector<cv::Point3d> markers;
  for (const cv::Point2d& dot : detection.dots) {
    std::size_t nearest = 0;
    for (std::size_t k = 1; k < rendering.truth[0].size(); ++k) {
      if (cv::norm(rendering.truth[0][k].areaCentroid - dot) <
          cv::norm(rendering.truth[0][nearest].areaCentroid - dot)) {
        nearest = k;
      }
    }
    const cv::Point2d& d = tool.body.tracker.dots[nearest];
    markers.emplace_back(tool.body.toolFromTrackerR * cv::Vec3d(d.x, d.y, 0.0) +
                         tool.body.toolFromTrackerT);
  }
  return markers;
}

MovingToolScene MakeMovingToolScene(const synth::StereoRig& rig, int frames) {
  MovingToolScene scene;
  scene.tools.push_back(Move("pointer", PivotTool(), kPaths[0], frames));
  scene.tools.push_back(Move("probe", SecondTool(), kPaths[1], frames));
  CheckView(rig, scene, frames);
  return scene;
}

}  // namespace dotcal
