#include <cstdio>
#include <filesystem>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/GroundTruthFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/TargetFile.h"
#include "inputs/ToolFile.h"
#include "reports/ProgressBar.h"
#include "synth/Scenes.h"
#include "workflows/MovingToolScene.h"
#include "workflows/PivotToolScene.h"
#include "workflows/StereoRendering.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;

// Limits that keep a series within reason: a plate series of a few dozen pairs calibrates well,
// and each image takes about 3 MB of disk as PNG.
constexpr int kMaxPairs = 200;
constexpr int kMaxToolFrames = 1000;
constexpr int kMaxMovingFrames = 10000;
constexpr double kMaxNoise = 50.0;  // grey levels: beyond it the dots drown
// Image sides the synthetic rig renders: from the smallest image that holds a plate to what the
// tool reads.
constexpr int kMinImageSide = 64;
constexpr int kMaxImageSide = 8192;
constexpr int kMinBits = 8, kMaxBits = 16;

std::string Numbered(const char* stem, int index, int width) {
  char text[64];
  std::snprintf(text, sizeof text, "%s_%0*d.png", stem, width, index);
  return text;
}

cv::Size ParseSize(const std::string& text) {
  TargetShape grid;  // W x H reads as columns x rows
  ParseGrid(text, "--size", grid);
  if (grid.columns < kMinImageSide || grid.rows < kMinImageSide || grid.columns > kMaxImageSide ||
      grid.rows > kMaxImageSide) {
    throw UsageError("--size takes 64 to 8192 pixels a side, not '" + text + "'");
  }
  return {grid.columns, grid.rows};
}

// The plate as the synthetic camera draws it, in mm.
synth::Target SyntheticPlate(const TargetShape& shape) {
  const double mm = 1000.0 * shape.MetresPerUnit();
  return synth::Target::Grid(shape.columns, shape.rows, shape.spacing * mm, shape.diameter * mm,
                             shape.margin * mm, shape.emptyNodes);
}

void CheckOptions(const RenderOptions& options) {
  if (options.pairs < 1 || options.pairs > kMaxPairs) {
    throw UsageError("--pairs takes 1 to " + std::to_string(kMaxPairs));
  }
  if (options.toolFrames < 0 || options.toolFrames > kMaxToolFrames) {
    throw UsageError("--tool-frames takes 0 to " + std::to_string(kMaxToolFrames));
  }
  if (options.movingFrames < 0 || options.movingFrames > kMaxMovingFrames) {
    throw UsageError("--moving-frames takes 0 to " + std::to_string(kMaxMovingFrames));
  }
  if (!(options.noise >= 0.0 && options.noise <= kMaxNoise)) {
    throw UsageError("--noise takes 0 to 50 grey levels");
  }
  if (options.bits < kMinBits || options.bits > kMaxBits) {
    throw UsageError("--bits takes 8 to 16");
  }
}

// Renders one sequence into `folder` and records its frames in `truth`.
void RenderSequence(const std::vector<synth::PlacedTarget>& poses, Sequence sequence,
                    const std::string& folder, const std::string& root,
                    const synth::RenderSettings& settings, std::uint64_t seed,
                    std::vector<GroundTruth::Frame>& truth, const synth::StereoRig& rig,
                    std::ostream& err) {
  const int width = sequence == Sequence::kPlate ? 2 : 3;
  ProgressBar progress(err, "render " + folder, static_cast<int>(poses.size()),
                       ProgressBar::StderrIsTerminal());
  for (int i = 0; i < static_cast<int>(poses.size()); ++i) {
    const StereoImages images = RenderStereo(rig, poses[i], settings, seed, sequence, i);
    GroundTruth::Frame frame;
    frame.left = folder + "/" + Numbered("left", i, width);
    frame.right = folder + "/" + Numbered("right", i, width);
    frame.dots = DotPositions(poses[i]);
    WriteImage((fs::path(root) / frame.left).string(), images.left);
    WriteImage((fs::path(root) / frame.right).string(), images.right);
    truth.push_back(std::move(frame));
    progress.Advance();
  }
}

// Renders the moving tools into moving/ and records their poses in `truth`.
void RenderMoving(const MovingToolScene& scene, const std::string& root,
                  const synth::RenderSettings& settings, std::uint64_t seed, GroundTruth& truth,
                  std::ostream& err) {
  for (const MovingTool& tool : scene.tools) truth.movingTools.push_back(tool.name);
  const int frames = static_cast<int>(scene.tools.front().frames.size());
  ProgressBar progress(err, "render moving", frames, ProgressBar::StderrIsTerminal());
  for (int k = 0; k < frames; ++k) {
    std::vector<synth::PlacedTarget> targets;
    GroundTruth::MovingFrame frame;
    for (const MovingTool& tool : scene.tools) {
      targets.push_back(tool.frames[k]);
      frame.tools.push_back({cv::Point3d(tool.worldFromToolT[k]), tool.worldFromToolR[k]});
    }
    const StereoImages images =
        RenderStereo(truth.rig, targets, settings, seed, Sequence::kMoving, k);
    frame.left = "moving/" + Numbered("left", k, 3);
    frame.right = "moving/" + Numbered("right", k, 3);
    WriteImage((fs::path(root) / frame.left).string(), images.left);
    WriteImage((fs::path(root) / frame.right).string(), images.right);
    truth.movingFrames.push_back(std::move(frame));
    progress.Advance();
  }
}

// The second tool's definition file: its markers (in detection order) and tip mapped into the
// tool frame that the tool file's rule defines.
ToolDefinition SecondToolDefinition(const synth::StereoRig& rig, const MovingTool& tool) {
  const TargetShape shape = SecondToolShape();
  const std::vector<cv::Point3d> inScene = MarkersInDetectionOrder(rig, tool, shape);
  const cv::Matx44d fileFromScene(ToolFrameFromMarkers(inScene));
  const auto map = [&](const cv::Point3d& p) {
    const cv::Vec4d q = fileFromScene * cv::Vec4d(p.x, p.y, p.z, 1.0);
    return cv::Point3d(q[0], q[1], q[2]);
  };
  ToolDefinition definition;
  definition.name = tool.name;
  definition.unit = "mm";
  definition.tracker = shape;
  for (const cv::Point3d& p : inScene) definition.markers.push_back(map(p));
  definition.tip = map({0, 0, 0});
  // The file format names pivot methods only; the exact markers are what a pose-based
  // calibration (the default method) estimates.
  definition.method = "pose";
  definition.created = IsoTimeNow();
  return definition;
}

}  // namespace

void RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err) {
  CheckOptions(options);
  const cv::Size size = ParseSize(options.size);
  GroundTruth truth;
  truth.plate = ResolveTarget(options.target, TargetShape::Plate());
  const synth::Target plate = SyntheticPlate(truth.plate);
  MakeFolder(options.out);

  truth.rig = synth::StereoRig::ForImageSize(size);
  synth::RenderSettings settings;
  settings.noiseSigma = options.noise;
  settings.bits = options.bits;
  settings.blurBeforeIntegration = options.lensBlur;
  truth.noiseSigma = settings.noiseSigma;
  truth.blurSigma = settings.blurSigma;
  truth.blurBeforeIntegration = settings.blurBeforeIntegration;
  truth.bits = settings.bits;
  truth.seed = options.seed;

  RenderSequence(synth::CalibrationSeries(truth.rig, plate, options.pairs, options.seed),
                 Sequence::kPlate, "plate", options.out, settings, options.seed, truth.platePairs,
                 truth.rig, err);
  if (options.toolFrames > 0) {
    const PivotToolScene tool = MakePivotToolScene(truth.rig, options.toolFrames);
    truth.toolTip = tool.tip;
    RenderSequence(tool.frames, Sequence::kTool, "tool", options.out, settings, options.seed,
                   truth.toolFrames, truth.rig, err);
  }
  if (options.movingFrames > 0) {
    const MovingToolScene scene = MakeMovingToolScene(truth.rig, options.movingFrames);
    RenderMoving(scene, options.out, settings, options.seed, truth, err);
    WriteToolFile((fs::path(options.out) / "probe.yml").string(),
                  SecondToolDefinition(truth.rig, scene.tools[1]));
  }
  const std::string truthPath = (fs::path(options.out) / "truth.json").string();
  WriteGroundTruth(truthPath, truth);
  WriteTargetFile((fs::path(options.out) / "target.yml").string(), truth.plate);

  out << "wrote " << options.pairs << " plate pairs to " << options.out << "/plate/";
  if (options.toolFrames > 0) {
    out << ", " << options.toolFrames << " tool frames to " << options.out << "/tool/";
  }
  if (options.movingFrames > 0) {
    out << ", " << options.movingFrames << " frames of two moving tools to " << options.out
        << "/moving/ (the second tool's definition: probe.yml)";
  }
  out << " and the truth to " << truthPath << "\n";
}

}  // namespace dotcal
