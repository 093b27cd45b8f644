#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "synth/StereoRig.h"
#include "synth/Target.h"

namespace dotcal {

// A rigid tool as the renderer draws it: a tracker held in the tool frame. The tool frame has the
// tip at its origin and +z along the tool's axis, from the tip toward the tracker.
struct ToolBody {
  synth::Target tracker;
  cv::Matx33d toolFromTrackerR = cv::Matx33d::eye();  // x_tool = R x_tracker + t
  cv::Vec3d toolFromTrackerT{0, 0, 0};                // mm
};

// The pivoting tool: the 7-dot tracker across the axis, 170 mm from the tip, its dots facing
// away from the tip (toward cameras that look along the axis at the tip).
ToolBody PivotTool();

// The tracker of `body` placed in the world when the tool frame sits at x_world = R x_tool + t.
synth::PlacedTarget PlaceTool(const ToolBody& body, const cv::Matx33d& worldFromToolR,
                              const cv::Vec3d& worldFromToolT);

// A hand-held tool with the 7-dot tracker, pivoting about its tip in a seat in front of the rig.
// The tool's axis runs from the tip toward the cameras; the tracker sits across it, facing the
// cameras. Over the frames the axis walks a spiral over a cone about the cameras' viewing
// direction, so that the tracker moves a little from frame to frame (as a tracked tool does
// between camera frames) and its positions cover the cone.
struct PivotToolScene {
  cv::Point3d tip;                          // the pivot point, in the left camera's frame, mm
  double trackerDistance = 0.0;             // from the tip to the tracker's plane, mm
  double coneHalfAngleDeg = 0.0;            // largest tilt of the tool axis
  std::vector<synth::PlacedTarget> frames;  // the tracker in every frame
};

// The scene of `frames` frames for the rig (at least 1). Every dot lies inside both images.
PivotToolScene MakePivotToolScene(const synth::StereoRig& rig, int frames);

}  // namespace dotcal
