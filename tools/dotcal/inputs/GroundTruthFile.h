#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetShape.h"
#include "synth/StereoRig.h"

namespace dotcal {

// What a rendered series really is, for checking what the file-based commands make of it.
// Positions are in the left camera's frame in mm (whatever the unit the plate is described in);
// image names are relative to the series folder.
struct GroundTruth {
  synth::StereoRig rig;
  TargetShape plate = TargetShape::Plate();
  double noiseSigma = 0.0;             // grey levels
  double blurSigma = 0.0;              // pixels
  bool blurBeforeIntegration = false;  // the blur acted on the light, not on the pixels
  int bits = 8;                        // significant bits of the images (16-bit files above 8)
  std::uint64_t seed = 0;

  struct Frame {
    std::string left, right;        // image files
    std::vector<cv::Point3d> dots;  // every dot centre, in the target's dot order
  };
  std::vector<Frame> platePairs;  // the plate's dots row by row
  cv::Point3d toolTip;            // the pivot of the tool sequence
  std::vector<Frame> toolFrames;  // the tracker's 7 dots per frame

  // A tool's pose in one frame of the moving sequence. Its tool frame has the tip at the origin
  // and +z along the tool axis toward the tracker.
  struct ToolPose {
    cv::Point3d tip;       // x_world = rotation x_tool + tip
    cv::Matx33d rotation;  // world from tool
  };
  struct MovingFrame {
    std::string left, right;
    std::vector<ToolPose> tools;  // in the order of movingTools
  };
  std::vector<std::string> movingTools;  // the tools' names
  std::vector<MovingFrame> movingFrames;
};

// Writes the truth as JSON (nlohmann-json): cameras (K, distortion k1 k2 p1 p2 k3, image size),
// the right camera's pose (x_right = R x_left + T), the render settings, and every frame with its
// image names and dot positions; the moving sequence with every tool's tip and rotation per frame.
// Throws WorkFailed when the file cannot be written.
void WriteGroundTruth(const std::string& path, const GroundTruth& truth);

}  // namespace dotcal
