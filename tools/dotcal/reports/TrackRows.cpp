#include "reports/TrackRows.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "CommandError.h"

namespace dotcal {
namespace {

// A CSV field (RFC 4180): quoted, with doubled quotes, when it holds a comma, quote or newline.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

void Append(std::string& line, const char* format, double value) {
  char text[48];
  const int n = std::snprintf(text, sizeof text, format, value);
  line.append(text, static_cast<std::size_t>(n));
}

// Lengths to 0.1 micrometre in mm, rotations to 1e-8 (a hundred-millionth of a radian).
constexpr const char* kLength = "%.4f";
constexpr const char* kUnit = "%.8f";
// Time to the millisecond: video containers such as Matroska keep milliseconds.
constexpr const char* kTime = "%.3f";

}  // namespace

TrackRows::Format ParseTrackFormat(const std::string& text) {
  if (text == "csv") return TrackRows::Format::kCsv;
  if (text == "jsonl") return TrackRows::Format::kJsonLines;
  throw UsageError("--format takes csv or jsonl, not '" + text + "'");
}

TrackRows::TrackRows(std::ostream& out, Format format, const std::vector<std::string>& tools)
    : out_(out), format_(format) {
  for (const std::string& name : tools) {
    names_.push_back(format == Format::kCsv ? CsvField(name) : nlohmann::json(name).dump());
  }
}

void TrackRows::WriteHeader() {
  if (format_ == Format::kCsv) {
    out_ << "frame,time,tool,status,tip_x,tip_y,tip_z,x,y,z,qw,qx,qy,qz,residual,markers\n";
  }
}

void TrackRows::Write(long long frame, double time, std::size_t tool, const ToolPose& pose) {
  const bool ok = pose.status == TrackStatus::kOk;
  const bool registered = ok || pose.status == TrackStatus::kHighResidual;
  const double values[] = {pose.tip.x,       pose.tip.y,      pose.tip.z,       pose.position.x,
                           pose.position.y,  pose.position.z, pose.rotation[0], pose.rotation[1],
                           pose.rotation[2], pose.rotation[3]};
  line_.clear();
  if (format_ == Format::kCsv) {
    line_ += std::to_string(frame);
    line_ += ',';
    Append(line_, kTime, time);
    line_ += ',';
    line_ += names_[tool];
    line_ += ',';
    line_ += StatusName(pose.status);
    for (int i = 0; i < 10; ++i) {
      line_ += ',';
      if (ok) Append(line_, i < 6 ? kLength : kUnit, values[i]);
    }
    line_ += ',';
    if (registered) Append(line_, kLength, pose.residual);
    line_ += ',';
    line_ += std::to_string(pose.markers);
    line_ += '\n';
  } else {
    line_ += "{\"frame\":" + std::to_string(frame) + ",\"time\":";
    Append(line_, kTime, time);
    line_ += ",\"tool\":" + names_[tool] + ",\"status\":\"" + StatusName(pose.status) + "\"";
    const char* keys[] = {",\"tip\":", ",\"position\":", ",\"rotation\":"};
    for (int k = 0; k < 3; ++k) {
      line_ += keys[k];
      if (!ok) {
        line_ += "null";
        continue;
      }
      line_ += '[';
      for (int i = 3 * k; i < (k < 2 ? 3 * k + 3 : 10); ++i) {
        if (i > 3 * k) line_ += ',';
        Append(line_, k < 2 ? kLength : kUnit, values[i]);
      }
      line_ += ']';
    }
    line_ += ",\"residual\":";
    if (registered) {
      Append(line_, kLength, pose.residual);
    } else {
      line_ += "null";
    }
    line_ += ",\"markers\":" + std::to_string(pose.markers) + "}\n";
  }
  out_ << line_;
}

}  // namespace dotcal
