#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetShape.h"
#include "synth/StereoRig.h"
#include "synth/Target.h"
#include "workflows/PivotToolScene.h"

namespace dotcal {

// Tools moved freely by hand in front of the rig, as a tracking camera pair sees them at 30 frames
// per second: each tracker drifts over several centimetres, the tool's axis tilts by up to 30
// degrees from the cameras' viewing direction in a turning direction, and the tool spins about its
// axis. The motion is smooth from frame to frame. Every dot of every tool lies inside both images,
// and the trackers' boxes never overlap in either image.
struct MovingTool {
  std::string name;                         // how the tool is named in files and rows
  ToolBody body;                            // the tracker in the tool frame (tip at the origin)
  std::vector<cv::Matx33d> worldFromToolR;  // per frame: x_world = R x_tool + t, left camera, mm
  std::vector<cv::Vec3d> worldFromToolT;    // per frame: the tip
  std::vector<synth::PlacedTarget> frames;  // per frame: the tracker as placed
};

struct MovingToolScene {
  std::vector<MovingTool> tools;  // the pivoting tool first, then the second tool
};

// The second tool: a 9-dot tracker on a 5 x 2 grid (spacing 14 mm, dots of 7 mm, the second node
// empty), 120 mm from its tip. Its dot count and grid differ from the pivoting tool's 7-dot
// tracker, so a detector set for one never takes the other.
ToolBody SecondTool();
// The second tool's tracker as a target description.
TargetShape SecondToolShape();

// The tool's tracker dots in the scene's tool frame (tip at the origin), in the order in which the
// detector set for `shape` reports them: the order is taken from a detection of the tool in a
// noise-free left image of its first frame, each found dot matched with the nearest true dot
// centre. Throws cv::Exception when the tracker is not found there.
std::vector<cv::Point3d> MarkersInDetectionOrder(const synth::StereoRig& rig,
                                                 const MovingTool& tool, const TargetShape& shape);

// The scene of `frames` frames (at least 1) for the rig. The first tool is the pivoting tool's
// body (PivotTool), the second SecondTool. Throws cv::Exception when a dot would leave an image
// or the trackers would overlap (the rig's view is too small for the scene).
MovingToolScene MakeMovingToolScene(const synth::StereoRig& rig, int frames);

}  // namespace dotcal
