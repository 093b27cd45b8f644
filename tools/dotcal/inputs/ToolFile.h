#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/TargetShape.h"

namespace dotcal {

// A tool definition: what `dotcal pivot --out` writes and `dotcal track --tool` reads. YAML
// (cv::FileStorage; .json and .xml twins are read the same way):
//
//   name: pointer               # free text; the track rows name the tool by it
//   unit: mm                    # the unit of every length below (the calibration's)
//   tracker: {columns: 4, rows: 2, spacing: 16, dot_diameter: 8, margin: 16, unit: mm,
//             empty_nodes: [5]}  # the tracker's target description (a target file's keys)
//   frame_rule: "..."           # the rule that defines the tool frame, in words (below)
//   markers: !!opencv-matrix    # N x 3: marker m (the tracker's dot m, in grid order)
//   tip: [x, y, z]              # the tip in the tool frame
//   pivot_residual: 0.21        # RMS of the pivot fit's 3N coordinate residuals
//   frames_used: 118
//   frames_rejected: 2
//   tilt_median_deg: 12.4       # the pivot motion: tilt of the tool axis about its mean
//   tilt_max_deg: 19.8
//   method: pose                # pose, shared-sphere, hyper, iterative, pratt or taubin
//   created: 2026-12-09T06:00:00Z
//   calibration_file: calib.yml
//   calibration_checksum: fnv1a64:0123456789abcdef
//
// The tool frame (kToolFrameRule): the origin is the markers' centroid; the x axis points from
// it toward marker 0; the y axis lies in the plane of the x axis and the first marker after
// marker 0 that lies off the x axis line (by more than a tenth of marker 0's distance from the
// origin), on that marker's side; z = x cross y. It depends on the marker layout and order only,
// never on where the camera saw the tool.
struct ToolDefinition {
  std::string name;
  std::string unit = "mm";
  TargetShape tracker;
  std::vector<cv::Point3d> markers;  // in the tool frame, in the tracker's dot order
  cv::Point3d tip;                   // in the tool frame
  double pivotResidual = 0.0;
  int framesUsed = 0;
  int framesRejected = 0;
  double tiltMedianDeg = 0.0;
  double tiltMaxDeg = 0.0;
  std::string method;
  std::string created;  // ISO 8601, UTC
  std::string calibrationFile;
  std::string calibrationChecksum;
};

// The tool frame rule in words, as the file states it.
extern const char* const kToolFrameRule;

// The transform (4x4, 64-bit floats) from the markers' own coordinates to the tool frame of the
// rule above. Throws WorkFailed when fewer than 3 markers are given or all lie on one line.
cv::Mat ToolFrameFromMarkers(const std::vector<cv::Point3d>& markers);

// A file's checksum as written in a tool file: "fnv1a64:" and 16 hex digits of the FNV-1a hash
// of its bytes. Throws WorkFailed when the file cannot be read.
std::string FileChecksum(const std::string& path);

// Writes the file. Throws WorkFailed when it cannot be written.
void WriteToolFile(const std::string& path, const ToolDefinition& tool);

// Reads and checks a tool file. Throws UsageError when the file does not exist, and WorkFailed
// naming the file and the key when it does not parse, lacks a key, holds a malformed value or
// fewer than 3 markers, or a marker count other than the tracker's dot count.
ToolDefinition ReadToolFile(const std::string& path);

}  // namespace dotcal
