// Writes the seed corpora of the fuzz targets, from the synthetic camera and the synthetic point
// scenes: make_corpus <directory> fills <directory>/<target>/ with one file per seed. Every seed
// is a valid, typical call (a target that is found, points of a real scene), from which the
// fuzzer mutates towards the unusual ones.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>

#include "DotCloudCase.h"
#include "FindTargetsCase.h"
#include "MatrixCase.h"
#include "PointListCase.h"
#include "RefineDotsCase.h"
#include "native64/ImageDetection.h"
#include "native64/ImageProcessor.h"
#include "synth/GroundTruth.h"
#include "synth/PointScenes.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSeed = 7;  // every scene replays from it

// A small camera whose images fit the fuzz targets' size limits.
synth::Camera SmallCamera(int width, int height) {
  synth::Camera camera;
  camera.imageSize = {width, height};
  const double focalPx = 1.25 * width;  // a field of view of about 44 degrees
  camera.K = cv::Matx33d(focalPx, 0, width / 2.0, 0, focalPx, height / 2.0, 0, 0, 1);
  return camera;
}

class Corpus {
 public:
  explicit Corpus(fs::path root) : root_(std::move(root)) {}
  void Add(const std::string& target, const fuzz::Writer& seed) {
    const fs::path dir = root_ / target;
    fs::create_directories(dir);
    const fs::path file = dir / ("seed_" + std::to_string(counts_[target]++));
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(seed.Bytes().data()),
               static_cast<std::streamsize>(seed.Bytes().size()));
  }

 private:
  fs::path root_;
  std::map<std::string, int> counts_;
};

// Rendered 7-dot trackers in tilted poses, with and without leading row bytes, some of them also
// run through FindTargetsInImage, each checked to be found by the detector so that the seeds start
// from the success path.
void FindTargetsSeeds(Corpus& corpus) {
  const synth::Camera camera = SmallCamera(fuzz::kMaxImageSide, 72);
  const synth::Target tracker = synth::Target::Tracker();
  std::mt19937_64 rng(kSeed);
  std::uniform_real_distribution<double> tilt(-25.0, 25.0), spin(-15.0, 15.0);
  int found = 0, written = 0;
  for (int i = 0; i < 12; ++i) {
    const synth::PlacedTarget placed =
        synth::PlaceInView(tracker, camera, {48.0 + 2 * (i % 3), 36.0 - (i % 4)}, 95.0 + 3 * i,
                           tilt(rng), tilt(rng), spin(rng));
    synth::RenderSettings render;
    render.seed = kSeed + i;
    const cv::Mat image = synth::Render(camera, {placed}, render).image;

    fuzz::FindTargetsCase c;
    c.width = image.cols;
    c.height = image.rows;
    c.columnOffset = i % 2 == 0 ? 0 : 3;
    auto& s = c.settings;
    s.columnOffset = c.columnOffset;
    s.imageRect = cv::Rect(0, 0, c.width, c.height);
    s.gridColumns = 4;
    s.gridRows = 2;
    s.thresholdState = i % 3 == 0 ? 2 : 0;  // Otsu's level, or tracking from an explicit level
    s.threshold = 120;
    s.referenceGrey = 200;
    s.fixedRoi = i == 5;
    s.fixedThreshold = i == 7;
    s.refineMargin = i % 4 == 1 ? 2 : 0;
    c.roi = c.targetRect = s.imageRect;
    if (i == 9) c.exclusions = {cv::Rect(0, 0, 4, 4)};
    c.calls = 1 + i % 3;
    c.shareMeasurements = i % 4 == 2;
    c.throughImage = i % 3 == 1;
    c.imageLead = 1 + i % 5;
    // The buffer: image rows, each after its leading bytes of 255 (columnOffset of them, or
    // imageLead for the calls through FindTargetsInImage).
    const int lead = c.throughImage ? c.imageLead : c.columnOffset;
    for (int r = 0; r < image.rows; ++r) {
      c.pixels.insert(c.pixels.end(), static_cast<std::size_t>(lead), 255);
      c.pixels.insert(c.pixels.end(), image.ptr(r), image.ptr(r) + image.cols);
    }

    Oskelo::CV::Native64::ImageProcessor detector;
    *detector.settings = s;
    std::vector<cv::Point2d> targets;
    cv::Rect roi = c.roi, targetRect = c.targetRect;
    if (c.throughImage) {
      std::vector<std::uint8_t> imageBuffer = c.ImageBuffer();
      found += Oskelo::CV::Native64::FindTargetsInImage(detector, c.ImageView(imageBuffer), targets,
                                                        roi, targetRect, c.exclusions);
    } else {
      const std::vector<std::uint8_t> buffer = c.Buffer();
      found += detector.FindTargets(buffer.data(), targets, roi, targetRect, c.exclusions, false);
    }
    fuzz::Writer seed;
    c.Write(seed);
    corpus.Add("find_targets_fuzz", seed);
    ++written;
  }
  std::cout << "find_targets_fuzz: " << written << " seeds, the target found in " << found
            << std::endl;
}

// Dot centres of trackers of several grid shapes seen by the synthetic camera, drawn as clouds.
void DotCloudSeeds(Corpus& corpus) {
  const synth::Camera camera = SmallCamera(fuzz::kDotCloudMaxSide, fuzz::kDotCloudMaxSide);
  const struct {
    int columns, rows;
    std::vector<int> empty;
  } shapes[] = {{4, 2, {5}}, {3, 3, {}}, {5, 4, {0}}, {4, 4, {6, 9}}, {6, 3, {}}, {2, 2, {}}};
  std::mt19937_64 rng(kSeed);
  std::uniform_real_distribution<double> tilt(-30.0, 30.0), spin(-180.0, 180.0);
  for (const auto& shape : shapes) {
    const synth::Target target =
        synth::Target::Tracker(shape.columns, shape.rows, 16.0, 6.0, shape.empty);
    const synth::PlacedTarget placed =
        synth::PlaceInView(target, camera, {64.0, 64.0}, 260.0, tilt(rng), tilt(rng), spin(rng));
    fuzz::DotCloudCase c;
    c.width = c.height = fuzz::kDotCloudMaxSide;
    c.gridColumns = shape.columns;
    c.gridRows = shape.rows;
    std::vector<cv::Point> corners;
    const cv::Rect2d& b = target.box;
    for (const cv::Point2d& corner :
         {b.tl(), cv::Point2d(b.x + b.width, b.y), b.br(), cv::Point2d(b.x, b.y + b.height)}) {
      corners.push_back(camera.Project(synth::TargetToWorld(placed, corner)));
    }
    c.box = cv::boundingRect(corners) & cv::Rect(0, 0, c.width, c.height);
    for (const synth::DotTruth& dot : synth::DotTruths(camera, placed)) {
      const cv::Point centre(cvRound(dot.projectedCentre.x), cvRound(dot.projectedCentre.y));
      if (c.box.contains(centre)) c.dots.push_back({centre, 2});
    }
    fuzz::Writer seed;
    c.Write(seed);
    corpus.Add("dot_cloud_fuzz", seed);
  }
}

// The plate's dots as both cameras of the synthetic rig see them.
void TriangulateSeeds(Corpus& corpus) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  for (const synth::PlacedTarget& placed : synth::CalibrationSeries(rig, 3, kSeed)) {
    std::vector<cv::Point2d> left, right;
    for (const cv::Point2d& dot : placed.target.dots) {
      const cv::Point3d world = synth::TargetToWorld(placed, dot);
      left.push_back(rig.left.Project(world));
      right.push_back(rig.right.Project(world));
    }
    fuzz::Writer seed;
    seed.Put<std::uint8_t>(0);
    fuzz::PutPoints(seed, left);
    fuzz::PutPoints(seed, right);
    corpus.Add("triangulate_fuzz", seed);
  }
}

// A 4 x 4 plate of spacing 100 in three poses through the synthetic rig, for the calibrations.
void CalibrationSeeds(Corpus& corpus) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const synth::Target plate = synth::Target::Grid(4, 4, 100.0, 40.0, 75.0);
  fuzz::Writer seed;
  seed.PutInRange(4, 2).PutInRange(4, 2).Put(100.0);
  const std::vector<synth::PlacedTarget> poses = synth::CalibrationSeries(rig, plate, 3, kSeed);
  seed.PutInRange(static_cast<int>(poses.size()), 0);
  for (const synth::PlacedTarget& placed : poses) {
    std::vector<cv::Point2d> left, right;
    for (const cv::Point2d& dot : placed.target.dots) {
      const cv::Point3d world = synth::TargetToWorld(placed, dot);
      left.push_back(rig.left.Project(world));
      right.push_back(rig.right.Project(world));
    }
    fuzz::PutPoints(seed, left);
    fuzz::PutPoints(seed, right);
  }
  seed.PutInRange(2, 0).Put(0.001).Put(0.0);
  corpus.Add("calibration_fuzz", seed);
}

// Pivoting tools for Cone::Calibrate with every fit method, and sphere caps for the free fit.
void SphereFitSeeds(Corpus& corpus) {
  std::mt19937_64 rng(kSeed);
  for (int method = 0; method <= 3; ++method) {
    const synth::PivotScene scene = synth::PivotTracks({5, -3, 200}, 3, 8, 25.0, 0.05, rng);
    fuzz::Writer seed;
    seed.PutInRange(0, 0).Put<std::int32_t>(method);
    seed.PutInRange(static_cast<int>(scene.tracks.size()), 0);
    for (const auto& track : scene.tracks) fuzz::PutPoints(seed, track);
    corpus.Add("sphere_fits_fuzz", seed);
  }
  for (int n : {5, 8, 12}) {
    const std::vector<cv::Point3d> cap = synth::SpherePoints({1, 2, 3}, 10.0, n, 60.0, 0.01, rng);
    fuzz::Writer seed;
    seed.PutInRange(1, 0);
    fuzz::PutMatrix(seed, cv::Mat(cap).reshape(1));  // n x 3, one point per row
    seed.PutBool(true);
    corpus.Add("sphere_fits_fuzz", seed);
  }
}

// Point sets and their rigid images, for both registrations and the reference frame.
void RegistrationSeeds(Corpus& corpus) {
  std::mt19937_64 rng(kSeed);
  for (int n : {3, 4, 7}) {
    const std::vector<cv::Point3d> A = synth::BoxPoints(n, 50.0, rng);
    const std::vector<cv::Point3d> B = synth::Moved(A, synth::RandomRotation(rng), {10, -5, 2});
    fuzz::Writer cone;
    cone.PutInRange(0, 0);
    fuzz::PutPoints(cone, A);
    fuzz::PutPoints(cone, B);
    cone.Put<std::int32_t>(n % 6).Put(0.0).Put(0.0).Put(0.0);
    corpus.Add("registration_fuzz", cone);

    fuzz::Writer free;
    free.PutInRange(1, 0);
    fuzz::PutMatrix(free, cv::Mat(A).reshape(1));
    fuzz::PutMatrix(free, cv::Mat(B).reshape(1));
    free.PutBool(true).PutBool(n != 4);
    corpus.Add("registration_fuzz", free);

    fuzz::Writer reference;
    reference.PutInRange(2, 0);
    fuzz::PutPoints(reference, A);
    fuzz::PutPoints(reference, B);
    reference.Put(1.0).Put(2.0).Put(3.0);
    corpus.Add("registration_fuzz", reference);
  }
}

// Small matrices of the element types the text covers.
void MatToStringSeeds(Corpus& corpus) {
  cv::Mat_<double> rigid = cv::Mat_<double>::eye(4, 4);
  for (const cv::Mat& m :
       {cv::Mat(rigid), cv::Mat(cv::Mat_<float>(2, 3, 1.5f)), cv::Mat(3, 2, CV_8UC1, cv::Scalar(7)),
        cv::Mat(2, 2, CV_16SC3), cv::Mat(1, 5, CV_16FC1, cv::Scalar(0.25))}) {
    fuzz::Writer seed;
    seed.PutInRange(1, 0);
    fuzz::PutMatrix(seed, m);
    corpus.Add("mat_to_string_fuzz", seed);
  }
}

// Small images of dark dots on a bright box with their centres (and one NaN, one outside), 8- and
// 16-bit, with and without the grey-level fit, so that the seeds start from the refinement's
// success path.
void RefineDotsSeeds(Corpus& corpus) {
  for (const int variant : {0, 1, 2, 3}) {
    const bool sixteenBit = variant % 2 == 1;
    fuzz::RefineDotsCase c;
    c.options.fitGreyLevels = variant >= 2;
    c.width = 80;
    c.height = 48;
    c.sixteenBit = sixteenBit;
    c.padding = 2;
    cv::Mat image(c.height, c.width + 2 * c.padding, CV_8UC1, cv::Scalar(200));
    for (const cv::Point2d centre : {cv::Point2d(22.3, 24.6), cv::Point2d(50.7, 23.2)}) {
      cv::circle(image,
                 cv::Point(static_cast<int>(std::lround((centre.x + c.padding) * 16)),
                           static_cast<int>(std::lround(centre.y * 16))),
                 8 * 16, cv::Scalar(40), cv::FILLED, cv::LINE_AA, 4);
      c.centres.push_back(centre);
    }
    c.centres.push_back({std::nan(""), 3.0});
    c.centres.push_back({-4.0, 10.0});
    cv::Mat typed = image;
    if (sixteenBit) image.convertTo(typed, CV_16U, 257.0);
    c.pixels.assign(typed.data, typed.data + typed.total() * typed.elemSize());
    fuzz::Writer seed;
    c.Write(seed);
    corpus.Add("refine_dots_fuzz", seed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_corpus <directory>" << std::endl;
    return 2;
  }
  Corpus corpus(argv[1]);
  FindTargetsSeeds(corpus);
  DotCloudSeeds(corpus);
  TriangulateSeeds(corpus);
  SphereFitSeeds(corpus);
  RegistrationSeeds(corpus);
  MatToStringSeeds(corpus);
  RefineDotsSeeds(corpus);
  CalibrationSeeds(corpus);
  return 0;
}
