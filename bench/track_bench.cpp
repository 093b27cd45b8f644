// The per-frame tracking loop of `dotcal track`, on frames rendered once and held in memory (no
// decoding): for one tool, detection in both cameras (TargetFollower), triangulation,
// registration and the output row written to a string stream.
//   BM_TrackLoop/0, /1 and /2: stereo frames per second of the loop with grey, conic and model
//       centres,
//       and its speed as a ratio to the short-form detection (FindTargetsInImage over the whole
//       frame, both cameras, at the size scale and threshold of a still-image detection of the
//       first frame) of the same frames, timed in the same run;
//   BM_ShortFormDetection: that short-form detection alone, per stereo frame, with the share of
//       images in which it found the tracker;
//   BM_TrackLoopStreaming: the loop's frame rate with the OpenIGTLink server of --igtl-server
//       publishing every frame to two connected clients (made with the OpenIGTLink library,
//       reading on their own threads), against the same loop without a server, in alternating
//       passes of the sequence in the same run; `ratio` is the streaming rate over the plain one;
//   BM_TrackLongRun: 10^5 frames of the sequence played back and forth, with the time per frame
//       and the resident memory at the start and end, to show that neither grows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "calibration/known_rig.h"
#include "detection/TargetDetection.h"
#include "native64/ImageDetection.h"
#include "reports/TrackRows.h"
#include "streaming/IgtlServer.h"
#include "streaming/PoseMessages.h"
#include "tools/igtl_client.h"
#include "workflows/MovingToolScene.h"
#include "workflows/StereoRendering.h"
#include "workflows/ToolTracker.h"

namespace {

using Oskelo::CV::Native64::Calibration;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 90;  // one period of the scene's motion: 3 s at 30 frames per second

struct Sequence {
  synth::StereoRig rig = synth::StereoRig::Default();
  Calibration calibration;
  dotcal::ToolDefinition tool;
  std::vector<dotcal::StereoImages> frames;
};

// The pointer alone, rendered once per process.
const Sequence& Rendered() {
  static const std::unique_ptr<Sequence> sequence = [] {
    auto s = std::make_unique<Sequence>();
    SetKnownCalibration(s->calibration, s->rig);
    const dotcal::MovingToolScene scene = dotcal::MakeMovingToolScene(s->rig, kFrames);
    const dotcal::MovingTool& pointer = scene.tools.front();
    s->tool.name = pointer.name;
    s->tool.tracker = dotcal::TargetShape::Tracker();
    s->tool.markers = dotcal::MarkersInDetectionOrder(s->rig, pointer, s->tool.tracker);
    for (int k = 0; k < kFrames; ++k) {
      s->frames.push_back(dotcal::RenderStereo(s->rig, pointer.frames[k], synth::RenderSettings(),
                                               9, dotcal::Sequence::kMoving, k));
    }
    return s;
  }();
  return *sequence;
}

cv::Matx44d CameraFromRectified(const Calibration& calibration) {
  const cv::Matx33d R = cv::Matx33d(calibration.parameters.rectificationLeft).t();
  return {R(0, 0), R(0, 1), R(0, 2), 0, R(1, 0), R(1, 1), R(1, 2), 0,
          R(2, 0), R(2, 1), R(2, 2), 0, 0,       0,       0,       1};
}

// The frame of step i when the sequence is played forward, then backward, and so on: the tool
// never jumps.
int PingPong(long long i) {
  const long long period = 2 * (kFrames - 1);
  const long long k = i % period;
  return static_cast<int>(k < kFrames ? k : period - k);
}

// One tracking step: the work of `dotcal track` per frame for one tool.
class Loop {
 public:
  Loop(const Sequence& s, dotcal::CentreMethod centres)
      : tracker_(s.calibration, s.tool, CameraFromRectified(s.calibration), 0.1, centres),
        rows_(out_, dotcal::TrackRows::Format::kCsv, {s.tool.name}) {}

  bool Step(const dotcal::StereoImages& images, long long index) {
    pose_ = tracker_.Track(images.left, images.right);
    rows_.Write(index, static_cast<double>(index) / 30.0, 0, pose_);
    if (out_.tellp() > (1 << 20)) out_.str({});  // keep the stream's memory bounded
    return pose_.status == dotcal::TrackStatus::kOk;
  }

  const dotcal::ToolPose& Pose() const { return pose_; }

 private:
  dotcal::ToolTracker tracker_;
  std::ostringstream out_;
  dotcal::TrackRows rows_;
  dotcal::ToolPose pose_;
};

// A detector for the short form, set up as the tracking sets up its own: the tracker's shape, and
// the size scale and threshold of a still-image detection of the first frame (without the scale
// the detector's outline window, tied to the spacing's value, misses the small tracker).
struct ShortForm {
  Oskelo::CV::Native64::ImageProcessor detector;
  int threshold = 0;

  explicit ShortForm(const Sequence& s) {
    const dotcal::Detection first = dotcal::DetectTarget(s.frames.front().left, s.tool.tracker);
    dotcal::ConfigureDetector(*detector.settings, s.tool.tracker);
    detector.settings->sizeScale = first.sizeScale;
    threshold = first.threshold;
  }

  // One whole-frame detection at that threshold (the forced whole-frame state).
  bool Find(const cv::Mat& image, std::vector<cv::Point2d>& targets) {
    detector.settings->thresholdState = 4;
    detector.settings->threshold = threshold;
    return Oskelo::CV::Native64::FindTargetsInImage(detector, image, targets);
  }
};

// Seconds per stereo frame of the short-form detection over the sequence.
double ShortFormSeconds(const Sequence& s, int passes) {
  ShortForm shortForm(s);
  std::vector<cv::Point2d> targets;
  const auto start = Clock::now();
  for (int pass = 0; pass < passes; ++pass) {
    for (const dotcal::StereoImages& images : s.frames) {
      benchmark::DoNotOptimize(shortForm.Find(images.left, targets));
      benchmark::DoNotOptimize(shortForm.Find(images.right, targets));
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count() / (passes * kFrames);
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Argument 0: the detector's grey centres (--centres grey), 1: conic centres with the outline bias
// removed (the default), 2: model centres, the conic fit followed by the grey-level fit
// (--centres model).
void BM_TrackLoop(benchmark::State& state) {
  const Sequence& s = Rendered();
  constexpr dotcal::CentreMethod kMethods[] = {
      dotcal::CentreMethod::kGrey, dotcal::CentreMethod::kConic, dotcal::CentreMethod::kModel};
  Loop loop(s, kMethods[state.range(0)]);
  long long i = 0, lost = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    lost += !loop.Step(s.frames[PingPong(i)], i);
    ++i;
  }
  const double loopSeconds = std::chrono::duration<double>(Clock::now() - start).count() / i;
  const double shortForm = ShortFormSeconds(s, 3);
  state.SetItemsProcessed(i);
  state.counters["stereo_fps"] = 1.0 / loopSeconds;
  state.counters["short_form_fps"] = 1.0 / shortForm;
  state.counters["speed_vs_short_form"] = shortForm / loopSeconds;
  state.counters["lost"] = static_cast<double>(lost);
}
BENCHMARK(BM_TrackLoop)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_ShortFormDetection(benchmark::State& state) {
  const Sequence& s = Rendered();
  ShortForm shortForm(s);
  std::vector<cv::Point2d> targets;
  long long i = 0, found = 0;
  for (auto _ : state) {
    const dotcal::StereoImages& images = s.frames[PingPong(i++)];
    found += shortForm.Find(images.left, targets) && targets.size() == s.tool.markers.size();
    found += shortForm.Find(images.right, targets) && targets.size() == s.tool.markers.size();
  }
  state.SetItemsProcessed(i);
  state.counters["found_share"] = static_cast<double>(found) / (2.0 * i);
}
BENCHMARK(BM_ShortFormDetection)->Unit(benchmark::kMicrosecond);

// Argument 0: grey centres (the faster loop, where the server's share of a frame is the largest),
// 1: conic centres (the default of dotcal track).
void BM_TrackLoopStreaming(benchmark::State& state) {
  const Sequence& s = Rendered();
  const auto centres =
      state.range(0) == 0 ? dotcal::CentreMethod::kGrey : dotcal::CentreMethod::kConic;
  Loop plain(s, centres), streamed(s, centres);
  dotcal::IgtlServer server(dotcal::ParseIgtlAddress("127.0.0.1:0", "server", ""), "server");
  const int port = std::stoi(server.Address().substr(server.Address().rfind(':') + 1));
  dotcal::PoseMessages messages(dotcal::NameToolDevices({s.tool.name}, false), 1.0);
  igtl::ClientSocket::Pointer clients[] = {ConnectIgtl(port), ConnectIgtl(port)};
  std::size_t received[2] = {0, 0};
  std::thread readers[2];
  for (int c = 0; c < 2; ++c) {
    readers[c] = std::thread([&, c] { received[c] = ReceiveAllIgtl(clients[c]).size(); });
  }
  server.WaitForClients(
      2, [] { return false; }, [](const std::string&) {});
  double plainSeconds = 0.0, streamedSeconds = 0.0;
  long long i = 0, j = 0;
  for (auto _ : state) {
    auto mark = Clock::now();
    for (int k = 0; k < kFrames; ++k, ++i) plain.Step(s.frames[PingPong(i)], i);
    plainSeconds += std::chrono::duration<double>(Clock::now() - mark).count();
    mark = Clock::now();
    for (int k = 0; k < kFrames; ++k, ++j) {
      streamed.Step(s.frames[PingPong(j)], j);
      server.Publish(messages.Frame(static_cast<double>(j) / 30.0, {streamed.Pose()}));
    }
    streamedSeconds += std::chrono::duration<double>(Clock::now() - mark).count();
  }
  const std::size_t clientsAtEnd = server.Clients();
  server.Finish();
  for (std::thread& reader : readers) reader.join();
  state.counters["plain_fps"] = static_cast<double>(i) / plainSeconds;
  state.counters["streaming_fps"] = static_cast<double>(j) / streamedSeconds;
  state.counters["ratio"] = (j / streamedSeconds) / (i / plainSeconds);
  state.counters["clients_at_end"] = static_cast<double>(clientsAtEnd);
  // Each client's share of the messages sent: 1 when neither was dropped nor missed any.
  state.counters["received_share"] =
      static_cast<double>(received[0] + received[1]) / (2.0 * 2.0 * static_cast<double>(j));
}
BENCHMARK(BM_TrackLoopStreaming)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(6);

void BM_TrackLongRun(benchmark::State& state) {
  constexpr long long kSteps = 100000;
  constexpr long long kTenth = kSteps / 10;
  const Sequence& s = Rendered();
  for (auto _ : state) {
    Loop loop(s, dotcal::CentreMethod::kGrey);
    const long residentBefore = ResidentKiB();
    double firstSeconds = 0.0, lastSeconds = 0.0;
    long long lost = 0;
    auto mark = Clock::now();
    for (long long i = 0; i < kSteps; ++i) {
      lost += !loop.Step(s.frames[PingPong(i)], i);
      if (i + 1 == kTenth) {
        firstSeconds = std::chrono::duration<double>(Clock::now() - mark).count();
      }
      if (i + 1 == kSteps - kTenth) mark = Clock::now();
    }
    lastSeconds = std::chrono::duration<double>(Clock::now() - mark).count();
    state.counters["us_per_frame_first_10pc"] = 1e6 * firstSeconds / kTenth;
    state.counters["us_per_frame_last_10pc"] = 1e6 * lastSeconds / kTenth;
    state.counters["rss_before_KiB"] = static_cast<double>(residentBefore);
    state.counters["rss_after_KiB"] = static_cast<double>(ResidentKiB());
    state.counters["lost"] = static_cast<double>(lost);
  }
}
BENCHMARK(BM_TrackLongRun)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
