#include <csignal>
#include <fstream>
#include <memory>

#include "CommandError.h"
#include "Commands.h"
#include "inputs/CalibrationFile.h"
#include "inputs/FrameSource.h"
#include "inputs/ImageSeries.h"
#include "inputs/ReferenceFile.h"
#include "inputs/ToolFile.h"
#include "reports/ProgressBar.h"
#include "reports/TrackRows.h"
#include "streaming/PoseStream.h"
#include "workflows/ToolTracker.h"

namespace dotcal {
namespace {

// Set by SIGINT; the frame loop stops at the next frame boundary, so every row written is whole.
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) { gInterrupted = 1; }

// Installs the SIGINT handler for the life of the object and restores the previous one after.
class InterruptGuard {
 public:
  InterruptGuard() {
    gInterrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ {};
};

// The output frame from the rectified left camera frame, where the calibration triangulates.
cv::Matx44d OutFromRectified(const TrackOptions& options, const CalibrationFile& file,
                             const Oskelo::CV::Native64::Calibration& calibration) {
  cv::Matx44d frame = cv::Matx44d::eye();
  if (options.frame == "camera") {
    frame = CameraFromRectified(calibration);
  } else if (options.frame != "rectified") {
    throw UsageError("--frame takes camera or rectified, not '" + options.frame + "'");
  }
  if (options.reference.empty()) return frame;
  const ReferenceFrame reference = ReadReferenceFile(options.reference);
  if (!file.unit.empty() && reference.unit != file.unit) {
    throw WorkFailed(options.reference + ": the reference is in " + reference.unit +
                     ", the calibration " + options.calib + " in " + file.unit);
  }
  return cv::Matx44d(reference.referenceFromMeasured) * frame;
}

std::vector<ToolDefinition> ReadTools(const TrackOptions& options, const CalibrationFile& file) {
  if (options.tools.empty()) throw UsageError("--tool names no tool file");
  std::vector<ToolDefinition> tools;
  for (const std::string& path : options.tools) {
    tools.push_back(ReadToolFile(path));
    if (!file.unit.empty() && tools.back().unit != file.unit) {
      throw WorkFailed(path + ": the tool is in " + tools.back().unit + ", the calibration " +
                       options.calib + " in " + file.unit);
    }
  }
  return tools;
}

void CheckOptions(const TrackOptions& options) {
  if (!(options.rate > 0.0 && options.rate <= 1e6)) {
    throw UsageError("--rate takes a frame rate above 0 and up to 1e6 Hz");
  }
  if (!(options.maxResidual > 0.0)) throw UsageError("--max-residual takes a length above 0");
  if (options.igtlWaitClients < 0)
    throw UsageError("--igtl-wait-clients takes a count of 0 or more");
  if (options.igtlWaitClients > 0 && options.igtlServer.empty()) {
    throw UsageError("--igtl-wait-clients needs --igtl-server");
  }
}

// The OpenIGTLink server of --igtl-server, or none.
std::unique_ptr<PoseStream> OpenPoseStream(const TrackOptions& options, const CalibrationFile& file,
                                           const std::vector<std::string>& names,
                                           std::ostream& err) {
  if (options.igtlServer.empty()) return nullptr;
  const std::string unit = file.unit.empty() ? ReadToolFile(options.tools.front()).unit : file.unit;
  return std::make_unique<PoseStream>(options.igtlServer, names, !options.reference.empty(),
                                      MillimetresPerUnit(unit), err);
}

// What a source has, counted after the other one ended.
std::string FrameCount(long long read, long long rest) {
  return rest < 0 ? "at least " + std::to_string(read) : std::to_string(read + rest);
}

}  // namespace

void RunTrack(const TrackOptions& options, std::ostream& out, std::ostream& err) {
  CheckOptions(options);
  const TrackRows::Format format = ParseTrackFormat(options.format);
  const int bits = ParseBits(options.bits);
  const CalibrationFile file = ReadCalibrationFile(options.calib);
  const auto calibration = MakeCalibration(file);
  const cv::Matx44d outFromRectified = OutFromRectified(options, file, calibration);
  const std::vector<ToolDefinition> tools = ReadTools(options, file);
  const std::string what = "the calibration " + options.calib;
  std::unique_ptr<FrameSource> left =
      OpenFrameSource(options.left, "--left", options.rate, bits, file.imageSize, what);
  std::unique_ptr<FrameSource> right =
      OpenFrameSource(options.right, "--right", options.rate, bits, file.imageSize, what);

  std::vector<std::unique_ptr<ToolTracker>> trackers;  // each holds its detectors
  std::vector<std::string> names;
  for (const ToolDefinition& tool : tools) {
    trackers.push_back(std::make_unique<ToolTracker>(calibration, tool, outFromRectified,
                                                     options.maxResidual,
                                                     ParseCentreMethod(options.centres)));
    names.push_back(tool.name);
  }
  std::ofstream outFile;
  if (!options.out.empty()) {
    outFile.open(options.out);
    if (!outFile) throw WorkFailed(options.out + ": cannot be written");
  }
  std::ostream& rowsOut = options.out.empty() ? out : outFile;
  const std::unique_ptr<PoseStream> stream = OpenPoseStream(options, file, names, err);
  TrackRows rows(rowsOut, format, names);
  rows.WriteHeader();
  rowsOut.flush();

  const InterruptGuard guard;
  if (stream && !stream->WaitForClients(static_cast<std::size_t>(options.igtlWaitClients),
                                        [] { return gInterrupted != 0; })) {
    throw Interrupted("interrupted while waiting for OpenIGTLink clients, before the first frame");
  }
  const long long total = left->Remaining();
  ProgressBar progress(err, "tracking", static_cast<int>(std::max(0LL, total)),
                       total > 0 && ProgressBar::StderrIsTerminal());
  long long frames = 0, failed = 0;
  std::string mismatch;
  Frame leftFrame, rightFrame;
  std::vector<ToolPose> poses(trackers.size());
  while (!gInterrupted) {
    const bool hasLeft = left->Next(leftFrame);
    const bool hasRight = hasLeft && right->Next(rightFrame);
    if (!hasLeft || !hasRight) {
      // A frame of one source without its pair: say what each holds.
      const bool rightHasMore = !hasLeft && right->Next(rightFrame);
      if (hasLeft || rightHasMore) {
        FrameSource& longer = hasLeft ? *left : *right;
        const std::string longerCount = FrameCount(frames + 1, longer.CountRest());
        const std::string shorter = std::to_string(frames);
        mismatch = "--left has " + (hasLeft ? longerCount : shorter) + " frames, --right " +
                   (hasLeft ? shorter : longerCount) + "; wrote the " + shorter + " complete pairs";
      }
      break;
    }
    const bool readable = leftFrame.error.empty() && rightFrame.error.empty();
    if (!readable) {
      ++failed;
      for (const Frame* f : {&leftFrame, &rightFrame}) {
        if (!f->error.empty())
          err << "dotcal track: warning: frame " << frames << ": " << f->error << "\n";
      }
    }
    for (std::size_t t = 0; t < trackers.size(); ++t) {
      poses[t] = readable ? trackers[t]->Track(leftFrame.image, rightFrame.image) : ToolPose();
      rows.Write(frames, leftFrame.time, t, poses[t]);
    }
    // Every frame's rows go out at once: a reader on a pipe sees them as they come, and an
    // interrupted run leaves only whole rows.
    rowsOut.flush();
    if (stream) stream->Publish(leftFrame.time, poses);
    ++frames;
    progress.Advance();
  }
  progress.Finish();
  if (stream) stream->Finish();
  rowsOut.flush();
  if (!rowsOut)
    throw WorkFailed((options.out.empty() ? "standard output" : options.out) +
                     ": the rows could not be written");
  if (gInterrupted) {
    throw Interrupted("interrupted after " + std::to_string(frames) +
                      " frames; every row written is complete");
  }
  std::string failure = mismatch;
  if (failed > 0) {
    failure += std::string(failure.empty() ? "" : "; ") + std::to_string(failed) + " of " +
               std::to_string(frames) + " frames could not be read (their rows say MISSING)";
  }
  if (!failure.empty()) throw WorkFailed(failure);
}

}  // namespace dotcal
