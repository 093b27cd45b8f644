#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/CsvFile.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "inputs/ReferenceFile.h"
#include "inputs/ToolFile.h"
#include "reports/ProgressBar.h"
#include "reports/TextFormat.h"
#include "workflows/ToolCalibration.h"

namespace dotcal {
namespace {

// A pose read from a file is rigid to this: rotations written with 6 decimals are orthonormal to
// about 3e-6, while a scaled or sheared pose is off by far more.
constexpr double kPoseRigidTol = 1e-4;

// The tool's frames as read from one input, with a label for every frame in messages.
struct ToolFrames {
  std::vector<std::vector<cv::Point3d>> markers;  // per used frame, in the tracker's dot order
  std::vector<cv::Mat> poses;                     // per frame, for --poses
  std::vector<std::string> labels;                // per used frame: "frame 7 (left_007.png)"
  std::string coordinates;                        // the frame the points are in, for the report
};

std::string PointText(const cv::Point3d& p) {
  return Format("%10.4f %10.4f %10.4f", p.x, p.y, p.z);
}

cv::Point3d Mapped(const cv::Mat& transform, const cv::Point3d& p) {
  const cv::Vec4d q = cv::Matx44d(transform) * cv::Vec4d(p.x, p.y, p.z, 1.0);
  return {q[0], q[1], q[2]};
}

// Exactly one input kind, and options that fit it; else a UsageError saying what is wrong.
void CheckInputs(const PivotOptions& options) {
  const bool images = !options.calib.empty() || !options.left.empty() || !options.right.empty();
  const bool poses = !options.poses.empty();
  const bool tracks = !options.tracks.empty();
  if (images + poses + tracks == 0) {
    throw UsageError(
        "give the tool's frames: stereo images (--calib, --left and --right), --poses FILE or "
        "--tracks FILE");
  }
  if (images + poses + tracks > 1) {
    std::vector<std::string> given;
    if (images) given.push_back("stereo images (--calib, --left, --right)");
    if (poses) given.push_back("--poses");
    if (tracks) given.push_back("--tracks");
    std::string list = given[0];
    for (std::size_t k = 1; k < given.size(); ++k) list += " and " + given[k];
    throw UsageError(list + " are different inputs: give only one");
  }
  if (images) {
    for (const auto& [missing, name] :
         {std::pair{options.calib.empty(), "--calib"}, std::pair{options.left.empty(), "--left"},
          std::pair{options.right.empty(), "--right"}}) {
      if (missing)
        throw UsageError(std::string("stereo images need --calib, --left and --right: ") + name +
                         " is missing");
    }
  }
  CheckPivotMethod(options.method);
  if (poses && options.method != "pose") {
    throw UsageError("--poses holds poses: only --method pose applies, not " + options.method);
  }
  if (poses && !options.out.empty()) {
    throw UsageError(
        "--out writes the tool's markers, which --poses does not hold: give --tracks or images");
  }
}

ToolFrames ReadImageFrames(const PivotOptions& options, const TargetShape& shape, std::ostream& out,
                           std::ostream& err) {
  const int bits = ParseBits(options.bits);
  // The left list first, so that a message names the first option at fault.
  const std::vector<std::string> leftFiles = ExpandPatterns(options.left, "--left");
  const std::vector<FilePair> pairs =
      PairByName(leftFiles, ExpandPatterns(options.right, "--right"));
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const auto calibration = MakeCalibration(file);
  const ImageSeries series = ImageSeries::Scan(PairedFiles(pairs), bits, file.imageSize,
                                               "the calibration " + options.calib);

  ToolSequence sequence(calibration, shape, ParseCentreMethod(options.centres));
  ToolFrames frames;
  int lost = 0, notRigid = 0;
  {
    ProgressBar progress(err, "following the target", static_cast<int>(pairs.size()),
                         ProgressBar::StderrIsTerminal());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      // Frames are read one at a time: a sequence may be long.
      const cv::Mat left = series.Load(pairs[k].left);
      const cv::Mat right = series.Load(pairs[k].right);
      std::vector<cv::Point2d> leftDots;
      const FrameOutcome outcome = sequence.AddFrame(left, right, leftDots);
      lost += outcome == FrameOutcome::kLost;
      notRigid += outcome == FrameOutcome::kNotRigid;
      if (outcome == FrameOutcome::kUsed) {
        frames.labels.push_back("frame " + std::to_string(k) + " (" + pairs[k].left + ")");
      }
      progress.Advance();
    }
  }
  out << "frames: " << pairs.size() << ", used " << sequence.Frames().size() << ", target lost in "
      << lost << ", dots out of order in " << notRigid << "\n";
  frames.markers = sequence.Frames();
  frames.coordinates = "in the rectified left camera frame, in the plate's unit";
  return frames;
}

// Rows of frame, marker, x, y, z. Frames that lack a marker that others hold are skipped.
ToolFrames ReadTrackFrames(const std::string& path, std::ostream& out, std::ostream& err) {
  const std::vector<CsvRow> rows = ReadCsvRows(path, 0, 5, "track");
  std::map<int, std::map<int, cv::Point3d>> byFrame;
  std::set<int> markers;
  for (const CsvRow& row : rows) {
    const int frame = CsvWholeNumber(path, row, 0, "the frame number");
    const int marker = CsvWholeNumber(path, row, 1, "the marker number");
    const cv::Point3d p(row.numbers[2], row.numbers[3], row.numbers[4]);
    if (!byFrame[frame].emplace(marker, p).second) {
      throw WorkFailed(path + ", line " + std::to_string(row.line) + ": frame " +
                       std::to_string(frame) + " holds marker " + std::to_string(marker) +
                       " twice");
    }
    markers.insert(marker);
  }
  ToolFrames frames;
  int skipped = 0;
  for (const auto& [frame, points] : byFrame) {
    if (points.size() != markers.size()) {
      const auto missing =
          std::find_if(markers.begin(), markers.end(), [&](int m) { return points.count(m) == 0; });
      err << "note: frame " << frame << " lacks marker " << *missing << ": skipped\n";
      ++skipped;
      continue;
    }
    std::vector<cv::Point3d> ordered;
    for (const auto& entry : points) ordered.push_back(entry.second);
    frames.markers.push_back(std::move(ordered));
    frames.labels.push_back("frame " + std::to_string(frame));
  }
  out << "frames: " << byFrame.size() << ", used " << frames.markers.size()
      << ", missing a marker in " << skipped << "; " << markers.size() << " markers\n";
  frames.coordinates = "in the frame of the tracks, in their unit";
  return frames;
}

// Rows of 16 numbers: a row-major 4 x 4 pose, tool to measurement.
ToolFrames ReadPoseFrames(const std::string& path, std::ostream& out) {
  const std::vector<CsvRow> rows = ReadCsvRows(path, 0, 16, "pose");
  ToolFrames frames;
  for (const CsvRow& row : rows) {
    cv::Mat pose(4, 4, CV_64F);
    std::copy(row.numbers.begin(), row.numbers.end(), pose.ptr<double>());
    const std::string fault = RigidTransformFault(pose, kPoseRigidTol);
    if (!fault.empty()) {
      throw WorkFailed(path + ", line " + std::to_string(row.line) + ": the pose " + fault);
    }
    frames.labels.push_back("frame " + std::to_string(frames.poses.size()) + " (line " +
                            std::to_string(row.line) + ")");
    frames.poses.push_back(pose);
  }
  out << "poses: " << frames.poses.size() << "\n";
  frames.coordinates = "in the measurement frame of the poses, in their unit";
  return frames;
}

double MedianUsedResidual(const Oskelo::CV::Native64::PivotFitResult& fit) {
  std::vector<double> used;
  for (std::size_t i = 0; i < fit.frameResiduals.size(); ++i) {
    if (fit.frameUsed[i]) used.push_back(fit.frameResiduals[i]);
  }
  if (used.empty()) return NAN;
  std::nth_element(used.begin(), used.begin() + used.size() / 2, used.end());
  return used[used.size() / 2];
}

void Report(const ToolPivot& pivot, const ToolFrames& frames,
            const Oskelo::CV::Native64::PivotFitOptions& fitOptions, std::ostream& out,
            std::ostream& err) {
  const auto& fit = pivot.motion;
  const bool cone = IsConeMethod(pivot.method);
  const int used = cone || pivot.method == "shared-sphere" ? static_cast<int>(frames.labels.size())
                                                           : fit.framesUsed;
  out << Format("pivot fit (%s): %d frames used, %d rejected\n", pivot.method.c_str(), used,
                static_cast<int>(frames.labels.size()) - used);
  const double median = MedianUsedResidual(fit);
  for (std::size_t i = 0; i < fit.frameUsed.size(); ++i) {
    if (fit.frameUsed[i]) continue;
    out << Format("rejected %s: residual %.4f, %.1f x the median\n", frames.labels[i].c_str(),
                  fit.frameResiduals[i], fit.frameResiduals[i] / median);
  }
  out << "coordinates " << frames.coordinates << "\n";
  out << "tip            " << PointText(pivot.pivot) << "\n";
  for (std::size_t m = 0; m < pivot.markerOffsets.size(); ++m) {
    out << Format("marker %zu offset ", m) << PointText(pivot.markerOffsets[m]) << "\n";
  }
  out << Format("tip RMS over %d frames: %.4f (%s fit)\n", used, pivot.tipRms,
                pivot.method.c_str());
  out << (pivot.model.empty() ? "in the tool frame of the poses:\n"
                              : "in the tool frame (origin at the centroid of the markers, x "
                                "toward marker 0):\n");
  const cv::Point3d tipInTool = pivot.model.empty()
                                    ? pivot.tipInModel
                                    : Mapped(ToolFrameFromMarkers(pivot.model), pivot.tipInModel);
  out << "tool tip       " << PointText(tipInTool) << "\n";
  out << Format("residual RMS per coordinate: %.4f\n", pivot.tipRms / std::sqrt(3.0));
  out << Format("tilt of the tool axis: median %.1f, max %.1f degrees; spin %.1f degrees\n",
                fit.medianTiltDeg, fit.maxTiltDeg, fit.spinRangeDeg);
  for (const std::string& text :
       Oskelo::CV::Native64::PivotWarningTexts(fit.warnings, fitOptions)) {
    err << "warning: " << text << "\n";
  }
}

ToolDefinition MakeTool(const PivotOptions& options, const ToolPivot& pivot,
                        const ToolFrames& frames, const TargetShape& tracker) {
  ToolDefinition tool = DefineTool(pivot, tracker, static_cast<int>(frames.labels.size()));
  tool.name =
      options.name.empty() ? std::filesystem::path(options.out).stem().string() : options.name;
  if (!options.calib.empty()) {
    tool.calibrationFile = options.calib;
    tool.calibrationChecksum = FileChecksum(options.calib);
  }
  return tool;
}

}  // namespace

void RunPivot(const PivotOptions& options, std::ostream& out, std::ostream& err) {
  CheckInputs(options);
  const bool poses = !options.poses.empty();
  const TargetShape shape =
      poses ? TargetShape() : ResolveTarget(options.target, TargetShape::Tracker());
  ToolFrames frames;
  if (poses) {
    frames = ReadPoseFrames(options.poses, out);
  } else if (!options.tracks.empty()) {
    frames = ReadTrackFrames(options.tracks, out, err);
    const std::size_t markers = frames.markers.empty() ? 0 : frames.markers.front().size();
    if (!options.out.empty() && static_cast<int>(markers) != shape.dots) {
      throw UsageError("--tracks holds " + std::to_string(markers) +
                       " markers, but the tracker has " + std::to_string(shape.dots) +
                       " dots: describe it with --target, or --grid and --dots");
    }
  } else {
    frames = ReadImageFrames(options, shape, out, err);
  }

  const Oskelo::CV::Native64::PivotFitOptions fitOptions;
  const ToolPivot pivot = poses ? CalibratePosePivot(frames.poses, fitOptions)
                                : CalibrateToolPivot(frames.markers, options.method, fitOptions);
  Report(pivot, frames, fitOptions, out, err);
  if (!options.out.empty()) {
    WriteToolFile(options.out, MakeTool(options, pivot, frames, shape));
    out << "tool written to " << options.out << "\n";
  }
}

}  // namespace dotcal
