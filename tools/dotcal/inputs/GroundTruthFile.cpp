#include "inputs/GroundTruthFile.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "CommandError.h"

namespace dotcal {
namespace {

using nlohmann::json;

// Rows of a small fixed-size matrix.
template <int M, int N>
json Rows(const cv::Matx<double, M, N>& m) {
  json rows = json::array();
  for (int r = 0; r < M; ++r) {
    json row = json::array();
    for (int c = 0; c < N; ++c) row.push_back(m(r, c));
    rows.push_back(row);
  }
  return rows;
}

template <int N>
json Values(const cv::Vec<double, N>& v) {
  json values = json::array();
  for (int i = 0; i < N; ++i) values.push_back(v[i]);
  return values;
}

json Point(const cv::Point3d& p) { return json::array({p.x, p.y, p.z}); }

json CameraJson(const synth::Camera& camera) {
  return {{"image_width", camera.imageSize.width},
          {"image_height", camera.imageSize.height},
          {"K", Rows(camera.K)},
          {"distortion", Values(camera.distortion)}};
}

json FramesJson(const std::vector<GroundTruth::Frame>& frames) {
  json list = json::array();
  for (const GroundTruth::Frame& frame : frames) {
    json dots = json::array();
    for (const cv::Point3d& p : frame.dots) dots.push_back(Point(p));
    list.push_back({{"left", frame.left}, {"right", frame.right}, {"dots", dots}});
  }
  return list;
}

json MovingJson(const GroundTruth& truth) {
  json frames = json::array();
  for (const GroundTruth::MovingFrame& frame : truth.movingFrames) {
    json tools = json::array();
    for (std::size_t i = 0; i < frame.tools.size(); ++i) {
      tools.push_back({{"name", truth.movingTools[i]},
                       {"tip", Point(frame.tools[i].tip)},
                       {"rotation", Rows(frame.tools[i].rotation)}});
    }
    frames.push_back({{"left", frame.left}, {"right", frame.right}, {"tools", tools}});
  }
  return {{"tools", truth.movingTools},
          {"tool_frame", "tip at the origin, +z along the tool axis toward the tracker"},
          {"frames", frames}};
}

}  // namespace

void WriteGroundTruth(const std::string& path, const GroundTruth& truth) {
  const TargetShape& plate = truth.plate;
  const json document = {
      {"unit", "mm"},
      {"frame", "left camera: x right, y down, z along the optical axis"},
      {"left_camera", CameraJson(truth.rig.left)},
      {"right_camera", CameraJson(truth.rig.right)},
      {"R", Rows(truth.rig.RightFromLeftR())},
      {"T", Values(truth.rig.RightFromLeftT())},
      {"render",
       {{"noise_sigma", truth.noiseSigma},
        {"blur_sigma", truth.blurSigma},
        {"blur_before_integration", truth.blurBeforeIntegration},
        {"bits", truth.bits},
        {"seed", truth.seed}}},
      {"plate",
       {{"columns", plate.columns},
        {"rows", plate.rows},
        {"spacing", plate.spacing},
        {"dot_diameter", plate.diameter},
        {"unit", plate.unit},
        {"pairs", FramesJson(truth.platePairs)}}},
      {"tool", {{"tip", Point(truth.toolTip)}, {"frames", FramesJson(truth.toolFrames)}}},
      {"moving", MovingJson(truth)},
  };
  std::ofstream file(path);
  file << document.dump(1) << '\n';
  file.close();
  if (!file) throw WorkFailed(path + ": cannot be written");
}

}  // namespace dotcal
