#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ToolFile.h"
#include "reports/CalibrationReport.h"
#include "reports/ErrorPlot.h"
#include "reports/Overlay.h"
#include "reports/ProgressBar.h"
#include "reports/TextFormat.h"
#include "reports/TrackRows.h"
#include "reports/ViewErrors.h"
#include "synth/Scenes.h"
#include "workflows/MovingToolScene.h"
#include "workflows/PivotToolScene.h"
#include "workflows/PlateCalibration.h"
#include "workflows/StereoRendering.h"
#include "workflows/ToolCalibration.h"
#include "workflows/ToolTracker.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;
using Oskelo::CV::Native64::Calibration;
using Oskelo::CV::Native64::Utils::Stopwatch;

constexpr int kOverlayPairs = 2;  // plate pairs drawn with their dots
constexpr int kTrackFrames = 30;  // frames of the moving tool that are tracked
constexpr int kShownRows = 3;     // tracked rows printed

// Index of the truth dot nearest to each detected dot.
std::vector<int> MatchDots(const std::vector<cv::Point2d>& detected,
                           const std::vector<cv::Point2d>& truth) {
  std::vector<int> match;
  for (const cv::Point2d& p : detected) {
    int best = 0;
    for (int i = 1; i < static_cast<int>(truth.size()); ++i) {
      if (cv::norm(truth[i] - p) < cv::norm(truth[best] - p)) best = i;
    }
    match.push_back(best);
  }
  return match;
}

struct DemoFiles {
  std::string folder;
  std::vector<std::string> written;
  std::string Path(const std::string& name) {
    written.push_back((fs::path(folder) / name).string());
    return written.back();
  }
};

// The plate's and the pivoted tool's dot centres, as dotcal calibrate and pivot measure them by
// default.
constexpr CentreMethod kCalibrationCentres = CentreMethod::kModel;

Calibration CalibrateRig(const synth::StereoRig& rig, const DemoOptions& options, DemoFiles& files,
                         std::ostream& out, std::ostream& err) {
  const int pairs = options.platePairs;
  const std::vector<synth::PlacedTarget> poses = synth::CalibrationSeries(rig, pairs, options.seed);
  Calibration calibration;
  std::vector<PairResult> outcomes;
  RefinedCentres refined;
  {
    ProgressBar progress(err, "plate pairs", pairs, ProgressBar::StderrIsTerminal());
    for (int i = 0; i < pairs; ++i) {
      const StereoImages images =
          RenderStereo(rig, poses[i], synth::RenderSettings(), options.seed, Sequence::kPlate, i);
      outcomes.push_back(
          ExtractPlatePair(calibration, TargetShape::Plate(), images.left, images.right));
      AddRefinedCentres(calibration, images.left, images.right, kCalibrationCentres, refined);
      if (i < kOverlayPairs && outcomes.back().outcome != PairOutcome::kRejected) {
        WriteImage(files.Path("overlay_plate_left_" + std::to_string(i) + ".png"),
                   DrawDots(images.left, calibration.leftTargets.back()));
        WriteImage(files.Path("overlay_plate_right_" + std::to_string(i) + ".png"),
                   DrawDots(images.right, calibration.rightTargets.back()));
      }
      progress.Advance();
    }
  }
  for (int i = 0; i < pairs; ++i) {
    if (outcomes[i].outcome != PairOutcome::kUsed)
      out << "  pair " << i << ": " << OutcomeText(outcomes[i]) << "\n";
  }
  const auto result =
      ComputeUnbiasedCalibration(calibration, refined, TargetShape::Plate().diameter / 2.0);
  out << "Stereo calibration from " << UsablePairs(calibration) << " of " << pairs
      << " plate pairs, " << CentreMethodName(kCalibrationCentres) << " dot centres, "
      << result.rounds << " rounds of bias correction (estimate, truth, error):\n";
  PrintComparison(out, calibration, rig);

  CalibrationFile file = FromCalibration(calibration, rig.left.imageSize);
  file.uncertainty = Oskelo::CV::Native64::EstimateCalibrationUncertainty(calibration);
  PrintUncertainty(out, file.uncertainty, "mm");
  file.centres = CentreMethodName(kCalibrationCentres);
  file.calibrationRounds = result.rounds;
  WriteCalibrationFile(files.Path("calibration.yml"), file);
  WriteImage(files.Path("reprojection_errors.png"), PlotViewErrors(ComputeViewErrors(calibration)));
  return calibration;
}

ToolDefinition CalibrateTool(const synth::StereoRig& rig, const DemoOptions& options,
                             const Calibration& calibration, DemoFiles& files, std::ostream& out,
                             std::ostream& err) {
  const int frames = options.toolFrames;
  const PivotToolScene scene = MakePivotToolScene(rig, frames);
  ToolSequence sequence(calibration, TargetShape::Tracker(), kCalibrationCentres);
  int lost = 0, notRigid = 0, foundLeft = 0, orderKept = 0;
  std::vector<int> firstOrder;
  {
    ProgressBar progress(err, "tool frames", frames, ProgressBar::StderrIsTerminal());
    for (int k = 0; k < frames; ++k) {
      const StereoImages images = RenderStereo(rig, scene.frames[k], synth::RenderSettings(),
                                               options.seed, Sequence::kTool, k);
      std::vector<cv::Point2d> leftDots;
      const FrameOutcome outcome = sequence.AddFrame(images.left, images.right, leftDots);
      lost += outcome == FrameOutcome::kLost;
      notRigid += outcome == FrameOutcome::kNotRigid;
      if (!leftDots.empty()) {
        ++foundLeft;
        // The same physical dot must keep its index: compare with the truth of every frame.
        std::vector<cv::Point2d> truth;
        for (const cv::Point3d& dot : DotPositions(scene.frames[k])) {
          truth.push_back(rig.left.Project(dot));
        }
        const std::vector<int> order = MatchDots(leftDots, truth);
        if (firstOrder.empty()) {
          firstOrder = order;
          WriteImage(files.Path("overlay_tool_left_" + std::to_string(k) + ".png"),
                     DrawDots(images.left, leftDots));
        }
        orderKept += order == firstOrder;
      }
      progress.Advance();
    }
  }
  const PivotResult result = sequence.Calibrate(FitMethodCode("hyper"));
  // Triangulated points lie in the rectified left camera frame: turn the true tip into it.
  const cv::Matx33d R1(calibration.parameters.rectificationLeft);
  const cv::Point3d trueTip(R1 * cv::Vec3d(scene.tip));
  double sumSquares = 0.0;
  for (const cv::Point3d& p : result.framePositions) sumSquares += (p - trueTip).dot(p - trueTip);
  const double frameError = std::sqrt(sumSquares / result.framePositions.size());

  out << "\nPivot calibration of a tool with the 7-dot tracker " << scene.trackerDistance
      << " mm from its tip, rocked within " << 2 * scene.coneHalfAngleDeg << " degrees:\n";
  out << "  frames " << frames << ": used " << result.framesUsed << ", target lost in " << lost
      << ", dots out of order in " << notRigid << "; dot order kept in " << orderKept << " of "
      << foundLeft << " frames found in the left camera\n";
  out << Format("  tip estimate %.3f %.3f %.3f mm", result.tip.x, result.tip.y, result.tip.z)
      << Format(", truth %.3f %.3f %.3f mm (rectified left camera frame)\n", trueTip.x, trueTip.y,
                trueTip.z);
  out << Format(
      "  tip error %.4f mm; per-frame tip: RMS %.4f mm about the estimate, %.4f mm "
      "about the truth\n",
      cv::norm(result.tip - trueTip), result.tipRms, frameError);
  const std::vector<std::vector<cv::Point3d>>& used = sequence.Frames();
  ToolDefinition tool = DefineTool(CalibrateToolPivot(used, "pose"), TargetShape::Tracker(),
                                   static_cast<int>(used.size()));
  tool.name = "pointer";
  tool.calibrationFile = "calibration.yml";
  tool.calibrationChecksum = FileChecksum((fs::path(files.folder) / "calibration.yml").string());
  WriteToolFile(files.Path("tool.yml"), tool);
  return tool;
}

// Tracks the pivoted tool while it moves freely, writes the rows to track.csv, prints the first
// few and the tip error against the truth (the left camera's frame).
void TrackTool(const synth::StereoRig& rig, const DemoOptions& options,
               const Calibration& calibration, const ToolDefinition& tool, DemoFiles& files,
               std::ostream& out, std::ostream& err) {
  const MovingToolScene scene = MakeMovingToolScene(rig, kTrackFrames);
  const MovingTool& moving = scene.tools.front();
  ToolTracker tracker(calibration, tool, CameraFromRectified(calibration),
                      TrackOptions().maxResidual);
  std::ofstream csv(files.Path("track.csv"));
  std::ostringstream shown;
  TrackRows rows(csv, TrackRows::Format::kCsv, {tool.name});
  TrackRows shownRows(shown, TrackRows::Format::kCsv, {tool.name});
  rows.WriteHeader();
  shownRows.WriteHeader();
  int ok = 0;
  double sumSquares = 0.0;
  {
    ProgressBar progress(err, "tracked frames", kTrackFrames, ProgressBar::StderrIsTerminal());
    for (int k = 0; k < kTrackFrames; ++k) {
      const StereoImages images = RenderStereo(rig, moving.frames[k], synth::RenderSettings(),
                                               options.seed, Sequence::kMoving, k);
      const ToolPose pose = tracker.Track(images.left, images.right);
      const double time = k / TrackOptions().rate;
      rows.Write(k, time, 0, pose);
      if (k < kShownRows) shownRows.Write(k, time, 0, pose);
      if (pose.status == TrackStatus::kOk) {
        ++ok;
        const cv::Point3d d = pose.tip - cv::Point3d(moving.worldFromToolT[k]);
        sumSquares += d.dot(d);
      }
      progress.Advance();
    }
  }
  out << "\nTracking the tool while it moves freely (tilt up to 30 degrees, spin), " << kTrackFrames
      << " frames, left camera frame:\n";
  std::istringstream lines(shown.str());
  for (std::string line; std::getline(lines, line);) out << "  " << line << "\n";
  out << Format("  ... %d of %d frames OK; tip error RMS %.4f mm against the truth\n", ok,
                kTrackFrames, ok > 0 ? std::sqrt(sumSquares / ok) : std::nan(""));
}

}  // namespace

void RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
  Stopwatch watch;
  watch.Start();
  MakeFolder(options.out);
  DemoFiles files{options.out, {}};
  const synth::StereoRig rig = synth::StereoRig::Default();

  const synth::RenderSettings render;
  out << Format(
      "dotcal demo: a synthetic stereo rig (baseline %.0f mm, f %.0f px, %d x %d px), "
      "sensor noise %.1f grey levels, blur %.1f px\n\n",
      cv::norm(rig.RightFromLeftT()), rig.left.K(0, 0), rig.left.imageSize.width,
      rig.left.imageSize.height, render.noiseSigma, render.blurSigma);
  const Calibration calibration = CalibrateRig(rig, options, files, out, err);
  const ToolDefinition tool = CalibrateTool(rig, options, calibration, files, out, err);
  TrackTool(rig, options, calibration, tool, files, out, err);

  out << "\nWrote:\n";
  for (const std::string& name : files.written) out << "  " << name << "\n";
  watch.Stop();
  out << Format("Finished in %.1f s\n", watch.GetElapsedTime());
}

}  // namespace dotcal
