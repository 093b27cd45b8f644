#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// The dotcal commands. Each writes its results to `out` and its progress and notes to `err`, and
// throws UsageError or WorkFailed (CommandError.h) when it cannot do its work.
namespace dotcal {

struct DemoOptions {
  std::string out = "dotcal-demo";  // folder for the calibration file, overlays and plot
  int platePairs = 15;              // plate pairs of the calibration
  int toolFrames = 40;              // frames of the pivoting tool
  std::uint64_t seed = 2024;        // plate poses and image noise
};

// The embedded default: calibrates a synthetic rig from rendered plate pairs, pivot-calibrates a
// synthetic tool, and prints both against the truth.
void RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

struct RenderOptions {
  std::string out;         // series folder
  int pairs = 15;          // plate pairs
  std::uint64_t seed = 1;  // plate poses and image noise
  double noise = 1.5;      // sensor noise, grey levels
  int toolFrames = 40;     // frames of the pivoting tool (0: none)
};

// Writes a synthetic stereo series: plate/left_NN.png, plate/right_NN.png, tool/left_NNN.png,
// tool/right_NNN.png and truth.json.
void RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err);

struct CalibrateOptions {
  std::vector<std::string> left;   // file names or patterns of the left images
  std::vector<std::string> right;  // the same for the right images
  std::string out;                 // calibration file to write
  std::string overlays;            // folder for overlay images and the error plot (empty: none)
};

// Calibrates the rig from image pairs of the plate and writes the calibration file.
void RunCalibrate(const CalibrateOptions& options, std::ostream& out, std::ostream& err);

// The target a command looks for; spacing and diameter 0 take the plate's values for 117 dots,
// else the tracker's.
struct TargetOptions {
  std::string grid;
  int dots = 0;
  double spacing = 0.0;
  double diameter = 0.0;
};

struct TriangulateOptions {
  std::string calib;  // calibration file
  std::string left;   // left image
  std::string right;  // right image
  TargetOptions target{"9x13", 117};
};

// Finds the target in one image pair and prints its 3-D points as CSV: index,x,y,z.
void RunTriangulate(const TriangulateOptions& options, std::ostream& out, std::ostream& err);

struct PivotOptions {
  std::string calib;
  std::vector<std::string> left;
  std::vector<std::string> right;
  TargetOptions target{"4x2", 7};
  std::string method = "hyper";
};

// Pivot-calibrates a tool from a stereo image sequence and prints the tip, the marker offsets and
// the RMS distance of the per-frame tip estimates from the tip.
void RunPivot(const PivotOptions& options, std::ostream& out, std::ostream& err);

}  // namespace dotcal
