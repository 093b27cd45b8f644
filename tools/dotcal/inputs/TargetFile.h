#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "detection/TargetShape.h"

namespace dotcal {

// A target file describes one dot target, in YAML (cv::FileStorage; .json and .xml twins are read
// the same way):
//
//   name: my plate            # optional, for reports
//   columns: 10               # grid nodes along x
//   rows: 10                  # grid nodes along y
//   spacing: 30               # distance of neighbouring nodes
//   dot_diameter: 10
//   margin: 20                # optional: the bright region beyond the outer dot centres
//                             # (default three quarters of the spacing)
//   unit: mm                  # optional: mm (default), cm, m or in
//   empty_nodes: [5]          # optional: nodes without a dot, row * columns + column from 0
//
// Reads and checks a target file. Throws UsageError when the file does not exist, WorkFailed
// naming the key when a key is missing or malformed, and WorkFailed with the reason when the
// target it describes cannot be detected.
TargetShape ReadTargetFile(const std::string& path);

// Writes a target file that ReadTargetFile reads back to the same shape. Throws WorkFailed when
// the file cannot be written.
void WriteTargetFile(const std::string& path, const TargetShape& shape);

// The same description as a map inside another file (a tool file's tracker). Messages name the
// file and the key as "path: parent.key"; `parent` empty reads a map at the file's top level.
// `defaultName` is taken when the map has no name. Throws WorkFailed as ReadTargetFile does.
TargetShape ReadTargetNode(const cv::FileNode& map, const std::string& path,
                           const std::string& parent, const std::string& defaultName);

// Writes the description's keys into the open map of `storage`.
void WriteTargetNode(cv::FileStorage& storage, const TargetShape& shape);

// The target as given on a command line: a target file, or a grid with its sizes.
struct TargetOptions {
  std::string file;             // --target: a target file
  std::string grid;             // --grid CxR
  int dots = 0;                 // --dots (0: not given)
  double spacing = kNotGiven;   // --spacing: the default target's, or the plate's or tracker's
  double diameter = kNotGiven;  // --diameter: likewise
  std::string unit;             // --unit (empty: the default target's)
};

// The target the options describe: the file's when one is given (the other options must then be
// left out), else `fallback` with what the options change. A new grid takes the plate's sizes for
// a 117-dot target and the tracker's otherwise, unless --spacing and --diameter say otherwise.
// Throws UsageError for options that contradict each other or a target that cannot be detected,
// and what ReadTargetFile throws.
TargetShape ResolveTarget(const TargetOptions& options, const TargetShape& fallback);

}  // namespace dotcal
