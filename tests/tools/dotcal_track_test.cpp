// `dotcal track` run as a user runs it, on the moving frames of the series that the dotcal_render,
// dotcal_calibrate and dotcal_pivot_tool tests wrote: both tools from image files and from an
// FFV1 video against the truth, the output frames, and the answers to inputs that go wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <thread>

#include "run_dotcal.h"
#include "scratch_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kSeries = DOTCAL_SERIES;
const std::string kScratch = DOTCAL_SCRATCH;
const std::string kCalib = kSeries + "/calib.yml";
const std::string kPointer = kSeries + "/pointer.yml";  // from `dotcal pivot --out`
const std::string kProbe = kSeries + "/probe.yml";      // the second tool, exact
const std::string kLeft = kSeries + "/moving/left_*.png";
const std::string kRight = kSeries + "/moving/right_*.png";
constexpr int kCsvFields = 16;

DotcalRun Dotcal(const std::vector<std::string>& arguments, const std::string& folder) {
  return RunDotcal(DOTCAL_PROGRAM, arguments, folder);
}

json Truth() {
  std::ifstream file(kSeries + "/truth.json");
  return json::parse(file);
}

struct Row {
  int frame = -1;
  std::string time, tool, status;
  cv::Vec3d tip, position;
  cv::Vec4d q;
  std::string residual;
  int markers = 0;
  std::size_t fields = 0;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, ',')) fields.push_back(field);
  if (!line.empty() && line.back() == ',') fields.emplace_back();
  return fields;
}

double Number(const std::string& text) { return text.empty() ? NAN : std::stod(text); }

std::vector<Row> ParseRows(const std::string& csv, std::string* header = nullptr) {
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  if (header) *header = line;
  std::vector<Row> rows;
  while (std::getline(lines, line)) {
    const std::vector<std::string> f = Split(line);
    Row row;
    row.fields = f.size();
    if (f.size() == kCsvFields) {
      row.frame = std::stoi(f[0]);
      row.time = f[1], row.tool = f[2], row.status = f[3];
      for (int i = 0; i < 3; ++i) row.tip[i] = Number(f[4 + i]), row.position[i] = Number(f[7 + i]);
      for (int i = 0; i < 4; ++i) row.q[i] = Number(f[10 + i]);
      row.residual = f[14];
      row.markers = std::stoi(f[15]);
    }
    rows.push_back(row);
  }
  return rows;
}

cv::Matx33d Rotation(const cv::Vec4d& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

double AngleDeg(const cv::Matx33d& a, const cv::Matx33d& b) {
  cv::Vec3d axisAngle;
  cv::Rodrigues(cv::Mat(a * b.t()), axisAngle);
  return cv::norm(axisAngle) * 180.0 / CV_PI;
}

cv::Matx33d Matrix33(const json& rows) {
  cv::Matx33d m;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m(r, c) = rows[r][c].get<double>();
  return m;
}

cv::Vec3d Vector(const json& p) {
  return {p[0].get<double>(), p[1].get<double>(), p[2].get<double>()};
}

// The tip's and the rotation's RMS errors of one tool's rows against the truth. The tool file's
// frame differs from the truth's tool frame by a fixed rotation B (R_tracked = R_true B): B is
// removed by its least-squares fit, the rotation nearest the mean of R_true^T R_tracked. A tip
// that the tool file places off the true tip (a pivot calibration's error) moves with the tool:
// its offset, fixed in the tool frame, is the mean of R_true^T (tip_tracked - tip_true), and what
// remains about it is the tracking's own error.
struct Errors {
  double tipRms = 0.0, angleRmsDeg = 0.0;
  double tipOffset = 0.0;    // the tool file's tip error, fixed in the tool frame
  double tipNoiseRms = 0.0;  // the tip's error about that offset
};

Errors Compare(const std::vector<Row>& rows, const std::string& tool, const json& truth) {
  std::size_t index = 0;
  while (truth["moving"]["tools"][index] != tool) ++index;
  std::vector<cv::Matx33d> tracked, real;
  std::vector<cv::Vec3d> inTool;  // tip errors in the true tool frame
  double tipSquares = 0.0;
  cv::Matx33d sum = cv::Matx33d::zeros();
  cv::Vec3d offset(0, 0, 0);
  for (const Row& row : rows) {
    if (row.tool != tool) continue;
    const json& pose = truth["moving"]["frames"][row.frame]["tools"][index];
    tipSquares += std::pow(cv::norm(row.tip - Vector(pose["tip"])), 2);
    tracked.push_back(Rotation(row.q));
    real.push_back(Matrix33(pose["rotation"]));
    sum += real.back().t() * tracked.back();
    inTool.push_back(real.back().t() * (row.tip - Vector(pose["tip"])));
    offset += inTool.back();
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(cv::Mat(sum), w, u, vt);
  cv::Matx33d B(cv::Mat(u * vt));
  double angleSquares = 0.0;
  for (std::size_t k = 0; k < tracked.size(); ++k) {
    angleSquares += std::pow(AngleDeg(real[k] * B, tracked[k]), 2);
  }
  const double n = static_cast<double>(tracked.size());
  offset *= 1.0 / n;
  double noiseSquares = 0.0;
  for (const cv::Vec3d& e : inTool) noiseSquares += std::pow(cv::norm(e - offset), 2);
  return {std::sqrt(tipSquares / n), std::sqrt(angleSquares / n), cv::norm(offset),
          std::sqrt(noiseSquares / n)};
}

// Writes one camera's PNG frames as a lossless FFV1 video in Matroska at 30 frames per second,
// and checks that OpenCV reads every frame back exactly.
void WriteVideo(const std::string& pattern, const std::string& path) {
  std::vector<cv::String> files;
  cv::glob(pattern, files);
  ASSERT_FALSE(files.empty());
  std::vector<cv::Mat> frames;
  for (const auto& file : files) frames.push_back(cv::imread(file, cv::IMREAD_GRAYSCALE));
  {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 30.0,
                           frames[0].size(), false);
    ASSERT_TRUE(writer.isOpened()) << path;
    for (const cv::Mat& frame : frames) writer.write(frame);
  }
  cv::VideoCapture reader(path, cv::CAP_FFMPEG);
  cv::Mat frame, grey;
  for (const cv::Mat& original : frames) {
    ASSERT_TRUE(reader.read(frame));
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    ASSERT_EQ(cv::norm(grey, original, cv::NORM_INF), 0.0) << path;
  }
  EXPECT_FALSE(reader.read(frame));
}

TEST(DotcalTrack, FollowsBothToolsAlikeInImageFilesAndAVideo) {
  const std::string folder = ScratchFolder(kScratch);
  const json truth = Truth();
  const int frames = static_cast<int>(truth["moving"]["frames"].size());
  const std::vector<std::string> tools = {"--tool", kPointer, "--tool", kProbe};
  std::vector<std::string> fromImages = {"track", "--calib", kCalib, "--left",
                                         kLeft,   "--right", kRight};
  fromImages.insert(fromImages.end(), tools.begin(), tools.end());
  const DotcalRun images = Dotcal(fromImages, folder);
  ASSERT_EQ(images.status, 0) << images.err;
  std::string header;
  const std::vector<Row> rows = ParseRows(images.out, &header);
  EXPECT_EQ(header, "frame,time,tool,status,tip_x,tip_y,tip_z,x,y,z,qw,qx,qy,qz,residual,markers");
  ASSERT_EQ(rows.size(), 2u * frames);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].frame, static_cast<int>(i / 2));
    EXPECT_EQ(rows[i].tool, i % 2 == 0 ? "pointer" : "probe");
    EXPECT_EQ(rows[i].status, "OK") << "row " << i;
    EXPECT_EQ(rows[i].markers, i % 2 == 0 ? 7 : 9);
  }
  EXPECT_EQ(rows[2].time, "0.033");  // frame 1 at the default 30 Hz
  for (const char* tool : {"pointer", "probe"}) {
    const Errors errors = Compare(rows, tool, truth);
    std::printf(
        "%s: tip error %.3f mm RMS (the tool file's tip %.3f mm off, %.3f mm RMS about "
        "it), rotation error %.4f deg RMS over %d frames\n",
        tool, errors.tipRms, errors.tipOffset, errors.tipNoiseRms, errors.angleRmsDeg, frames);
    // The bounds a tracked tool is held to: 0.3 mm RMS at the tip, 0.1 degrees RMS. The rotation's
    // noise (0.03 to 0.06 degrees RMS here, from dot centres and triangulation) moves a tip 120 to
    // 170 mm away by 0.06 to 0.18 mm. The probe's file is exact; the pointer's tip comes from the
    // pivot calibration of 16 frames on a 25-degree cone, whose own error (measured 0.05 mm) is
    // held separately to the pivot tests' 1 mm and is part of the tip's error against the truth.
    EXPECT_LE(errors.tipRms, 0.3) << tool;
    EXPECT_LT(errors.tipOffset, 1.0) << tool;
    EXPECT_LE(errors.angleRmsDeg, 0.1) << tool;
  }

  // The same frames from lossless videos give the same rows, times included.
  WriteVideo(kLeft, folder + "/left.mkv");
  WriteVideo(kRight, folder + "/right.mkv");
  std::vector<std::string> fromVideo = {
      "track", "--calib", kCalib, "--left", folder + "/left.mkv", "--right", folder + "/right.mkv"};
  fromVideo.insert(fromVideo.end(), tools.begin(), tools.end());
  const DotcalRun video = Dotcal(fromVideo, folder);
  ASSERT_EQ(video.status, 0) << video.err;
  EXPECT_EQ(video.out, images.out);

  // The detector's grey centres track every frame within the same bounds, and not as the default
  // conic ones do.
  fromImages.insert(fromImages.end(), {"--centres", "grey"});
  const DotcalRun grey = Dotcal(fromImages, folder);
  ASSERT_EQ(grey.status, 0) << grey.err;
  EXPECT_NE(grey.out, images.out);
  const std::vector<Row> greyRows = ParseRows(grey.out, &header);
  ASSERT_EQ(greyRows.size(), rows.size());
  for (const Row& row : greyRows) EXPECT_EQ(row.status, "OK") << "frame " << row.frame;
  for (const char* tool : {"pointer", "probe"}) {
    const Errors errors = Compare(greyRows, tool, truth);
    std::printf("%s, grey centres: tip error %.3f mm RMS, rotation error %.4f deg RMS\n", tool,
                errors.tipRms, errors.angleRmsDeg);
    EXPECT_LE(errors.tipRms, 0.3) << tool;
    EXPECT_LE(errors.angleRmsDeg, 0.1) << tool;
  }
}

TEST(DotcalTrack, WritesJsonLinesInTheRectifiedOrAReferenceFrame) {
  const std::string folder = ScratchFolder(kScratch);
  const std::vector<std::string> common = {"track",
                                           "--calib",
                                           kCalib,
                                           "--tool",
                                           kPointer,
                                           "--left",
                                           kSeries + "/moving/left_00[0-3].png",
                                           "--right",
                                           kSeries + "/moving/right_00[0-3].png"};
  const DotcalRun camera = Dotcal(common, folder);
  ASSERT_EQ(camera.status, 0) << camera.err;
  const std::vector<Row> rows = ParseRows(camera.out);
  ASSERT_EQ(rows.size(), 4u);

  std::vector<std::string> arguments = common;
  for (const char* a : {"--frame", "rectified", "--format", "jsonl", "--out"})
    arguments.push_back(a);
  arguments.push_back(folder + "/rows.jsonl");
  const DotcalRun rectified = Dotcal(arguments, folder);
  ASSERT_EQ(rectified.status, 0) << rectified.err;
  EXPECT_TRUE(rectified.out.empty());
  cv::FileStorage calib(kCalib, cv::FileStorage::READ);
  cv::Mat r1;
  calib["R1"] >> r1;
  const cv::Matx33d R1(r1);
  std::istringstream lines(ReadText(folder + "/rows.jsonl"));
  std::string line;
  // Rows carry 4 decimals (0.1 micrometre) and quaternions 8: 1e-3 mm and 1e-6 cover the rounding.
  for (const Row& row : rows) {
    ASSERT_TRUE(std::getline(lines, line));
    const json j = json::parse(line);
    EXPECT_EQ(j["frame"], row.frame);
    EXPECT_EQ(j["status"], "OK");
    EXPECT_LT(cv::norm(Vector(j["tip"]) - R1 * row.tip), 1e-3);
    EXPECT_LT(cv::norm(Vector(j["position"]) - R1 * row.position), 1e-3);
    const cv::Vec4d q(j["rotation"][0], j["rotation"][1], j["rotation"][2], j["rotation"][3]);
    EXPECT_LT(cv::norm(Rotation(q) - R1 * Rotation(row.q)), 1e-6);
  }

  // A reference frame turned by 90 degrees about z and moved by (10, 20, 30) from the camera's.
  std::ofstream(folder + "/points.csv") << "name,rx,ry,rz,mx,my,mz\nF1,10,20,30,0,0,0\n"
                                           "F2,10,120,30,100,0,0\nF3,-90,20,30,0,100,0\n"
                                           "F4,10,20,130,0,0,100\n";
  ASSERT_EQ(
      Dotcal({"register", "--points", folder + "/points.csv", "--out", folder + "/ref.yml"}, folder)
          .status,
      0);
  arguments = common;
  arguments.push_back("--reference");
  arguments.push_back(folder + "/ref.yml");
  const DotcalRun referenced = Dotcal(arguments, folder);
  ASSERT_EQ(referenced.status, 0) << referenced.err;
  const cv::Matx33d Rz(0, -1, 0, 1, 0, 0, 0, 0, 1);
  const cv::Vec3d t(10, 20, 30);
  const std::vector<Row> mapped = ParseRows(referenced.out);
  ASSERT_EQ(mapped.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_LT(cv::norm(mapped[i].tip - (Rz * rows[i].tip + t)), 1e-3);
    EXPECT_LT(cv::norm(mapped[i].position - (Rz * rows[i].position + t)), 1e-3);
    EXPECT_LT(cv::norm(Rotation(mapped[i].q) - Rz * Rotation(rows[i].q)), 1e-6);
  }
}

TEST(DotcalTrack, InputsThatGoWrongAreNamedAndEveryWholePairIsWritten) {
  const std::string folder = ScratchFolder(kScratch);
  const auto track = [&](const std::vector<std::string>& left,
                         const std::vector<std::string>& right,
                         const std::string& tool = kPointer) {
    std::vector<std::string> arguments = {"track", "--calib", kCalib, "--tool", tool, "--left"};
    arguments.insert(arguments.end(), left.begin(), left.end());
    arguments.push_back("--right");
    arguments.insert(arguments.end(), right.begin(), right.end());
    return Dotcal(arguments, folder);
  };
  const auto frame = [](const char* side, int i) {
    char name[64];
    std::snprintf(name, sizeof name, "/moving/%s_%03d.png", side, i);
    return kSeries + name;
  };
  std::vector<std::string> left, right;
  for (int i = 0; i < 5; ++i) left.push_back(frame("left", i)), right.push_back(frame("right", i));

  // Cameras that are not there.
  for (const char* camera : {"v4l2:99", "/dev/video-none"}) {
    const DotcalRun run = track({camera}, right);
    EXPECT_EQ(run.status, 1) << camera;
    EXPECT_NE(run.err.find(std::string("camera ") + camera + " cannot be opened"),
              std::string::npos)
        << run.err;
  }

  // Four right frames for five left ones: four whole pairs, then the counts.
  DotcalRun run = track(left, {right.begin(), right.end() - 1});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--left has 5 frames, --right 4; wrote the 4 complete pairs"),
            std::string::npos)
      << run.err;
  std::vector<Row> rows = ParseRows(run.out);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows.back().status, "OK");

  // A left frame that does not decode: a warning naming it, a MISSING row with empty numbers,
  // the frames after it tracked, and the count at the end.
  const std::string corrupt = folder + "/left_002.png";
  std::ofstream(corrupt) << "\x89PNG\r\n\x1a\n truncated";
  std::vector<std::string> withCorrupt = left;
  withCorrupt[2] = corrupt;
  for (int i : {0, 1, 3, 4}) {
    fs::copy_file(left[i], folder + "/" + fs::path(left[i]).filename().string());
    withCorrupt[i] = folder + "/" + fs::path(left[i]).filename().string();
  }
  run = track(withCorrupt, right);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("warning: frame 2: " + corrupt), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("1 of 5 frames could not be read"), std::string::npos) << run.err;
  rows = ParseRows(run.out);
  ASSERT_EQ(rows.size(), 5u);
  for (const Row& row : rows) {
    EXPECT_EQ(row.fields, static_cast<std::size_t>(kCsvFields));
    EXPECT_EQ(row.status, row.frame == 2 ? "MISSING" : "OK");
  }
  EXPECT_TRUE(std::isnan(rows[2].tip[0]) && std::isnan(rows[2].q[0]) && rows[2].residual.empty());

  // A tool file that does not read: the reader's message comes through.
  std::ofstream(folder + "/bad_tool.yml") << "name: pointer\nunit: mm\n";
  run = track(left, right, folder + "/bad_tool.yml");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("bad_tool.yml"), std::string::npos) << run.err;
  run = track(left, right, folder + "/no_tool.yml");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("no_tool.yml"), std::string::npos) << run.err;
}

TEST(DotcalTrack, AnInterruptKeepsEveryWrittenRowWholeAndExitsWith130) {
  const std::string folder = ScratchFolder(kScratch);
  const std::string out = folder + "/rows.csv";
  // The moving frames four times over: long enough to be interrupted mid-way.
  std::vector<std::string> arguments = {DOTCAL_PROGRAM, "track", "--calib", kCalib,  "--tool",
                                        kPointer,       "--out", out,       "--left"};
  for (int i = 0; i < 4; ++i) arguments.push_back(kLeft);
  arguments.push_back("--right");
  for (int i = 0; i < 4; ++i) arguments.push_back(kRight);
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, (folder + "/stderr.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, DOTCAL_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  // Wait for some rows past the header (at most 60 s: the frames are read once before tracking).
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    if (ParseRows(ReadText(out)).size() >= 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130) << ReadText(folder + "/stderr.txt");
  EXPECT_NE(ReadText(folder + "/stderr.txt").find("interrupted after"), std::string::npos);
  const std::string text = ReadText(out);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<Row> rows = ParseRows(text);
  EXPECT_GE(rows.size(), 3u);
  EXPECT_LT(rows.size(), 128u);  // stopped before the end
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].fields, static_cast<std::size_t>(kCsvFields)) << "row " << i;
    EXPECT_EQ(rows[i].frame, static_cast<int>(i));
  }
}

}  // namespace
