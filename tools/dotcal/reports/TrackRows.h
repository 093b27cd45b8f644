#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "workflows/ToolTracker.h"

namespace dotcal {

// Writes the rows of `dotcal track`: one per frame and tool, as CSV with a header line or as JSON
// lines. Columns: frame, time (s), tool, status, tip_x..tip_z, x..z (the tool frame's origin),
// qw, qx, qy, qz (rotation, w first), residual, markers. A pose that is not OK leaves the tip,
// position and rotation empty (null in JSON); the residual is empty until the markers were
// registered.
class TrackRows {
 public:
  enum class Format { kCsv, kJsonLines };

  // `tools`: the tools' names, in the order Write is given their index.
  TrackRows(std::ostream& out, Format format, const std::vector<std::string>& tools);

  void WriteHeader();  // the CSV header line; nothing for JSON lines
  void Write(long long frame, double time, std::size_t tool, const ToolPose& pose);

 private:
  std::ostream& out_;
  Format format_;
  std::vector<std::string> names_;  // each tool's name, quoted as the format needs
  std::string line_;                // the row being built
};

// "csv" or "jsonl"; throws UsageError for other text.
TrackRows::Format ParseTrackFormat(const std::string& text);

}  // namespace dotcal
