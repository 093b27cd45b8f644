#include "synth/Renderer.h"

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <random>

#include "synth/OpticalBlur.h"

namespace synth {
namespace {

// Fewest rays per pixel axis: 4 x 4 samples resolve an edge's coverage to 1/16 of a pixel.
constexpr int kMinSamplesPerAxis = 4;
// The footprint of a pixel or block (on the normalised image plane or on a target plane) is
// bounded by a disc around the mean of its four corners' images, this much wider than the
// farthest corner. Between the corners the maps bend only by their second derivatives: relative
// to the footprint, below 1 % for the lens over a block and below 3 % for a plane far enough
// from its horizon (next constant).
constexpr double kFootprintMargin = 1.25;
// A footprint counts as certainly in front of a plane only when the plane's horizon lies this many
// footprint radii away, which keeps the plane's perspective bend within the margin above.
constexpr double kHorizonClearance = 16.0;
// Pixels per side of the blocks that are classified as a whole before pixel by pixel: most blocks
// of background or box interior are settled at once.
constexpr int kBlockSize = 16;
// Most dot-grid cells along an axis; cells grow beyond a dot's diameter only for sparse targets.
constexpr double kMaxGridCellsPerAxis = 256.0;

enum Material { kBackground = 0, kBox = 1, kDot = 2, kMaterials = 3 };

// What the footprint of a pixel or block certainly shows of one target.
enum class Footprint { kMiss, kBox, kDot, kUncertain };

// The rays through the four corners of a region of the image: top left, top right, bottom left,
// bottom right.
using Corners = std::array<cv::Vec2d, 4>;

// Where a ray meets a target plane.
struct Hit {
  double depth;          // camera z of the hit point
  cv::Point2d onTarget;  // target plane coordinates, mm
};

// One target as the camera sees it: its plane in the camera frame and its dots in a bucket grid.
// A grid cell lists every dot that comes within one cell size of the cell, so one cell answers
// both "which dot contains this point" and "which dots come within a footprint of it" as long as
// the footprint is no wider than a cell.
class TargetView {
 public:
  TargetView(const Camera& camera, const PlacedTarget& placed)
      : target_(placed.target), radius_(0.5 * placed.target.dotDiameter) {
    const cv::Matx33d R = camera.camera_from_world_R * placed.world_from_target_R;
    const cv::Vec3d t =
        camera.camera_from_world_R * placed.world_from_target_t + camera.camera_from_world_t;
    for (int i = 0; i < 3; ++i) {
      axisU_[i] = R(i, 0);
      axisV_[i] = R(i, 1);
      normal_[i] = R(i, 2);
    }
    offsetU_ = axisU_.dot(t);
    offsetV_ = axisV_.dot(t);
    planeOffset_ = normal_.dot(t);
    BuildLookup();
  }

  // The hit of the ray (x, y, 1); false where the ray runs parallel to the plane or meets it behind
  // the camera.
  bool Intersect(const cv::Vec2d& ray, Hit& hit) const {
    const cv::Vec3d d(ray[0], ray[1], 1.0);
    hit.depth = planeOffset_ / normal_.dot(d);
    if (!(hit.depth > 0.0) || !std::isfinite(hit.depth)) return false;
    hit.onTarget = OnTarget(d, hit.depth);
    return true;
  }

  Material MaterialAt(const cv::Point2d& p) const {
    for (int dot : Cell(p)) {
      const cv::Point2d offset = p - target_.dots[dot];
      if (offset.dot(offset) <= radius_ * radius_) return kDot;
    }
    const cv::Rect2d& box = target_.box;
    const bool inBox =
        p.x >= box.x && p.x <= box.x + box.width && p.y >= box.y && p.y <= box.y + box.height;
    return inBox ? kBox : kBackground;
  }

  // What a pixel or block shows of this target, given the rays through its four corners;
  // kUncertain unless the answer holds for every point of it.
  Footprint Classify(const Corners& corners) const {
    if (planeOffset_ == 0.0) return Footprint::kMiss;  // seen edge-on
    // The plane is in front where side(ray) = sign(offset) * normal . (x, y, 1) is positive.
    const cv::Vec2d rayMean = 0.25 * (corners[0] + corners[1] + corners[2] + corners[3]);
    double rayRadius = 0.0;
    for (const cv::Vec2d& c : corners) rayRadius = std::max(rayRadius, cv::norm(c - rayMean));
    rayRadius *= kFootprintMargin;
    const double sign = planeOffset_ > 0.0 ? 1.0 : -1.0;
    const double side = sign * normal_.dot(cv::Vec3d(rayMean[0], rayMean[1], 1.0));
    const double sideSlope = std::hypot(normal_[0], normal_[1]) * rayRadius;
    if (side + sideSlope < 0.0) return Footprint::kMiss;
    if (!(side > (1.0 + kHorizonClearance) * sideSlope)) return Footprint::kUncertain;

    std::array<cv::Point2d, 4> onTarget;
    for (int i = 0; i < 4; ++i) {
      const cv::Vec3d d(corners[i][0], corners[i][1], 1.0);
      onTarget[i] = OnTarget(d, planeOffset_ / normal_.dot(d));
    }
    const cv::Point2d mean = 0.25 * (onTarget[0] + onTarget[1] + onTarget[2] + onTarget[3]);
    double radius = 0.0;
    for (const cv::Point2d& p : onTarget) radius = std::max(radius, cv::norm(p - mean));
    return ClassifyDisc(mean, kFootprintMargin * radius);
  }

 private:
  cv::Point2d OnTarget(const cv::Vec3d& d, double depth) const {
    return {depth * axisU_.dot(d) - offsetU_, depth * axisV_.dot(d) - offsetV_};
  }

  // What every point within `radius` of `centre` shows.
  Footprint ClassifyDisc(const cv::Point2d& centre, double radius) const {
    if (centre.x + radius < extent_.x || centre.x - radius > extent_.x + extent_.width ||
        centre.y + radius < extent_.y || centre.y - radius > extent_.y + extent_.height) {
      return Footprint::kMiss;  // clear of the box and of every dot
    }
    if (!(radius <= cellSize_)) return Footprint::kUncertain;  // wider than the grid answers for
    bool nearDotEdge = false;
    for (int dot : Cell(centre)) {
      const double distance = cv::norm(centre - target_.dots[dot]);
      if (distance + radius < radius_) return Footprint::kDot;
      if (distance - radius <= radius_) nearDotEdge = true;
    }
    if (nearDotEdge) return Footprint::kUncertain;
    const cv::Rect2d& box = target_.box;
    const double left = box.x, right = box.x + box.width, top = box.y, bottom = box.y + box.height;
    if (centre.x - radius > left && centre.x + radius < right && centre.y - radius > top &&
        centre.y + radius < bottom) {
      return Footprint::kBox;
    }
    if (centre.x + radius < left || centre.x - radius > right || centre.y + radius < top ||
        centre.y - radius > bottom) {
      return Footprint::kMiss;
    }
    return Footprint::kUncertain;
  }

  // The extent of the target and the grid of its dots.
  void BuildLookup() {
    extent_ = target_.box;
    for (const cv::Point2d& d : target_.dots) {
      extent_ |= cv::Rect2d(d.x - radius_, d.y - radius_, 2.0 * radius_, 2.0 * radius_);
    }
    if (target_.dots.empty() || !(radius_ > 0.0)) {
      cellSize_ = std::numeric_limits<double>::infinity();
      return;
    }
    cv::Point2d low = target_.dots[0], high = target_.dots[0];
    for (const cv::Point2d& d : target_.dots) {
      low = {std::min(low.x, d.x), std::min(low.y, d.y)};
      high = {std::max(high.x, d.x), std::max(high.y, d.y)};
    }
    cellSize_ =
        std::max(2.0 * radius_, std::max(high.x - low.x, high.y - low.y) / kMaxGridCellsPerAxis);
    const double reach = radius_ + cellSize_;
    origin_ = low - cv::Point2d(reach, reach);
    columns_ = static_cast<int>(std::ceil((high.x - low.x + 2.0 * reach) / cellSize_));
    rows_ = static_cast<int>(std::ceil((high.y - low.y + 2.0 * reach) / cellSize_));
    cells_.assign(static_cast<std::size_t>(columns_) * rows_, {});
    for (int r = 0; r < rows_; ++r) {
      for (int c = 0; c < columns_; ++c) {
        const cv::Rect2d cell(origin_.x + c * cellSize_, origin_.y + r * cellSize_, cellSize_,
                              cellSize_);
        for (int i = 0; i < static_cast<int>(target_.dots.size()); ++i) {
          const cv::Point2d d = target_.dots[i];
          const double dx = std::max({cell.x - d.x, 0.0, d.x - cell.x - cell.width});
          const double dy = std::max({cell.y - d.y, 0.0, d.y - cell.y - cell.height});
          if (std::hypot(dx, dy) <= reach)
            cells_[static_cast<std::size_t>(r) * columns_ + c].push_back(i);
        }
      }
    }
  }

  // The dots listed for the cell that holds p (none outside the grid).
  const std::vector<int>& Cell(const cv::Point2d& p) const {
    const double c = std::floor((p.x - origin_.x) / cellSize_);
    const double r = std::floor((p.y - origin_.y) / cellSize_);
    if (!(c >= 0.0 && c < columns_ && r >= 0.0 && r < rows_)) return noDots_;
    return cells_[static_cast<std::size_t>(r) * columns_ + static_cast<std::size_t>(c)];
  }

  const Target& target_;
  double radius_;                     // dot radius, mm
  cv::Vec3d axisU_, axisV_, normal_;  // target axes in the camera frame
  double offsetU_ = 0.0, offsetV_ = 0.0, planeOffset_ = 0.0;
  cv::Rect2d extent_;  // holds the box and every dot
  double cellSize_ = 0.0;
  cv::Point2d origin_;
  int columns_ = 0, rows_ = 0;
  std::vector<std::vector<int>> cells_;
  std::vector<int> noDots_;
};

// Grey level of a pixel from how many of its samples fell on each material. The shortcut calls it
// with all samples on one material, so both ways give the very same number.
double Level(const std::array<int, kMaterials>& counts, const RenderSettings& settings) {
  const int samples = counts[kBackground] + counts[kBox] + counts[kDot];
  return (counts[kBackground] * settings.backgroundLevel + counts[kBox] * settings.boxLevel +
          counts[kDot] * settings.dotLevel) /
         samples;
}

double MaterialLevel(Material material, const RenderSettings& settings) {
  return material == kDot   ? settings.dotLevel
         : material == kBox ? settings.boxLevel
                            : settings.backgroundLevel;
}

// The material a single ray sees: that of the nearest target it hits.
Material TraceRay(const std::vector<TargetView>& views, const cv::Vec2d& ray) {
  Material seen = kBackground;
  double nearest = std::numeric_limits<double>::infinity();
  for (const TargetView& view : views) {
    Hit hit;
    if (!view.Intersect(ray, hit) || hit.depth >= nearest) continue;
    const Material material = view.MaterialAt(hit.onTarget);
    if (material == kBackground) continue;
    seen = material;
    nearest = hit.depth;
  }
  return seen;
}

// The material that the whole footprint of a region (pixel, block or part of a pixel) certainly
// shows: at most one target is hit and that one shows a single material everywhere. The corners
// are the rays through the region's four corners. False when the rays must decide.
bool CertainMaterial(const std::vector<TargetView>& views, const Corners& corners,
                     Material& material) {
  material = kBackground;
  bool hitOne = false;
  for (const TargetView& view : views) {
    const Footprint footprint = view.Classify(corners);
    if (footprint == Footprint::kMiss) continue;
    if (footprint == Footprint::kUncertain || hitOne) return false;
    hitOne = true;
    material = footprint == Footprint::kDot ? kDot : kBox;
  }
  return true;
}

// The ray at (u, v) of the unit square spanned by the corner rays (top left, top right, bottom
// left, bottom right). Across one pixel the lens map bends only by its second derivatives, so
// bilinear interpolation of the corners' exact rays is off the exact ray by at most h^2 / 8 times
// the map's second derivative, for a pixel h wide: below 1e-4 px with h = 1/1000 of the
// normalised plane and |d2| < 1. It costs a fraction of inverting the lens for every sample.
cv::Vec2d InterpolateRay(const Corners& corners, double u, double v) {
  return (1.0 - v) * ((1.0 - u) * corners[0] + u * corners[1]) +
         v * ((1.0 - u) * corners[2] + u * corners[3]);
}

// Parts per pixel axis that the shortcut settles before tracing rays: on an edge pixel most of
// the 4 x 4 parts lie on one material, which leaves a quarter or less of the rays to trace.
constexpr int kPixelParts = 4;

// Area integration of one pixel over a regular sub-grid of samplesPerAxis^2 rays. With the
// shortcut, parts of the pixel whose footprint certainly shows one material count all their
// samples for it, which is what their rays would report. With `blur`, a pixel whose samples
// differ hands them to it.
double SupersamplePixel(const std::vector<TargetView>& views, const Corners& pixel,
                        const RenderSettings& settings, OpticalBlur* blur, int column, int row) {
  const int n = settings.samplesPerAxis;
  const int parts =
      settings.classifyFootprints && n % kPixelParts == 0 && n > kPixelParts ? kPixelParts : 1;
  const int m = n / parts;  // samples per part and axis
  // The rays through the corners of the parts, (parts + 1)^2 of them, row by row.
  std::array<cv::Vec2d, (kPixelParts + 1) * (kPixelParts + 1)> partCorners;
  const auto corner = [&](int a, int b) -> const cv::Vec2d& {
    return partCorners[static_cast<std::size_t>(b * (parts + 1) + a)];
  };
  if (parts > 1) {
    for (int b = 0; b <= parts; ++b)
      for (int a = 0; a <= parts; ++a)
        partCorners[static_cast<std::size_t>(b * (parts + 1) + a)] =
            InterpolateRay(pixel, static_cast<double>(a) / parts, static_cast<double>(b) / parts);
  }
  // The samples' levels, row by row, kept only for the blur.
  thread_local std::vector<double> levels;
  if (blur) levels.resize(static_cast<std::size_t>(n * n));
  const auto keep = [&](int i, int j, Material material) {
    if (blur) levels[static_cast<std::size_t>(j * n + i)] = MaterialLevel(material, settings);
  };
  std::array<int, kMaterials> counts{};
  for (int b = 0; b < parts; ++b) {
    for (int a = 0; a < parts; ++a) {
      Material material;
      if (parts > 1 &&
          CertainMaterial(views,
                          {corner(a, b), corner(a + 1, b), corner(a, b + 1), corner(a + 1, b + 1)},
                          material)) {
        counts[material] += m * m;
        for (int j = 0; j < m; ++j)
          for (int i = 0; i < m; ++i) keep(a * m + i, b * m + j, material);
        continue;
      }
      for (int j = 0; j < m; ++j) {
        for (int i = 0; i < m; ++i) {
          const double u = (a * m + i + 0.5) / n, v = (b * m + j + 0.5) / n;
          const Material seen = TraceRay(views, InterpolateRay(pixel, u, v));
          ++counts[seen];
          keep(a * m + i, b * m + j, seen);
        }
      }
    }
  }
  const double level = Level(counts, settings);
  const int samples = n * n;
  if (blur && counts[kBackground] != samples && counts[kBox] != samples && counts[kDot] != samples)
    blur->AddSamples(column, row, levels.data(), level);
  return level;
}

// The level of a region of pixels (one pixel or a block) whose whole footprint certainly shows one
// material. False when the rays must decide.
bool ClassifyRegion(const std::vector<TargetView>& views, const Corners& corners,
                    const RenderSettings& settings, double& level) {
  Material material;
  if (!CertainMaterial(views, corners, material)) return false;
  std::array<int, kMaterials> counts{};
  counts[material] = settings.samplesPerAxis * settings.samplesPerAxis;
  level = Level(counts, settings);
  return true;
}

// The ray through the pixel corner (column - 0.5, row - 0.5).
cv::Vec2d CornerRay(const Camera& camera, int column, int row) {
  const cv::Point2d ray = camera.PixelToRay({column - 0.5, row - 0.5});
  return {ray.x, ray.y};
}

// One block pixel by pixel: the pixels that their corner rays settle, the others by their samples.
void IntegrateBlock(const Camera& camera, const std::vector<TargetView>& views,
                    const cv::Rect& block, const RenderSettings& settings, OpticalBlur* blur,
                    cv::Mat& light) {
  std::vector<cv::Vec2d> upper(block.width + 1), lower(block.width + 1);
  for (int i = 0; i <= block.width; ++i) lower[i] = CornerRay(camera, block.x + i, block.y);
  for (int row = block.y; row < block.y + block.height; ++row) {
    std::swap(upper, lower);
    for (int i = 0; i <= block.width; ++i) lower[i] = CornerRay(camera, block.x + i, row + 1);
    double* out = light.ptr<double>(row);
    for (int i = 0; i < block.width; ++i) {
      const Corners pixel = {upper[i], upper[i + 1], lower[i], lower[i + 1]};
      if (!ClassifyRegion(views, pixel, settings, out[block.x + i])) {
        out[block.x + i] = SupersamplePixel(views, pixel, settings, blur, block.x + i, row);
      }
    }
  }
}

// The scene's light per pixel, in grey levels, before blur and noise. With the shortcut, blocks
// of pixels that certainly show one material are filled at once, and within the other blocks
// the pixels that certainly do; only the rest is supersampled. `blur` (or null) receives the
// samples of the pixels whose samples differ.
cv::Mat IntegrateScene(const Camera& camera, const std::vector<TargetView>& views,
                       const RenderSettings& settings, OpticalBlur* blur) {
  const cv::Size size = camera.imageSize;
  cv::Mat light(size, CV_64FC1);
  if (!settings.classifyFootprints) {
    for (int row = 0; row < size.height; ++row) {
      double* out = light.ptr<double>(row);
      for (int column = 0; column < size.width; ++column) {
        const Corners pixel = {CornerRay(camera, column, row), CornerRay(camera, column + 1, row),
                               CornerRay(camera, column, row + 1),
                               CornerRay(camera, column + 1, row + 1)};
        out[column] = SupersamplePixel(views, pixel, settings, blur, column, row);
      }
    }
    return light;
  }
  for (int y = 0; y < size.height; y += kBlockSize) {
    for (int x = 0; x < size.width; x += kBlockSize) {
      const cv::Rect block = cv::Rect(x, y, kBlockSize, kBlockSize) & cv::Rect(cv::Point(), size);
      const int right = block.x + block.width, bottom = block.y + block.height;
      const Corners corners = {
          CornerRay(camera, block.x, block.y), CornerRay(camera, right, block.y),
          CornerRay(camera, block.x, bottom), CornerRay(camera, right, bottom)};
      double level = 0.0;
      if (ClassifyRegion(views, corners, settings, level)) {
        light(block).setTo(level);
      } else {
        IntegrateBlock(camera, views, block, settings, blur, light);
      }
    }
  }
  return light;
}

// Bit depths of the sensor: 8 bits give 8-bit images, the deeper ones up to 16 bits 16-bit images.
constexpr int kEightBits = 8;
constexpr int kMaxBits = 16;
// Full scale of the 8-bit levels that the settings give.
constexpr double kEightBitFullScale = 255.0;

// The highest level of an image of `bits` bits.
double FullScale(int bits) { return static_cast<double>((1 << bits) - 1); }

// The settings with levels and noise on the scale of `bits` bits. Blur is linear, so blurring
// the scaled light gives the scaled blurred light.
RenderSettings OnSensorScale(RenderSettings settings) {
  if (settings.bits == kEightBits) return settings;
  const double factor = FullScale(settings.bits) / kEightBitFullScale;
  settings.backgroundLevel *= factor;
  settings.boxLevel *= factor;
  settings.dotLevel *= factor;
  settings.noiseSigma *= factor;
  return settings;
}

// Optical blur (by `blur` when it took the samples), sensor noise and quantisation to `bits` bits.
cv::Mat Expose(cv::Mat light, const RenderSettings& settings, const OpticalBlur* blur) {
  if (blur) {
    light = blur->Apply(light);
  } else if (settings.blurSigma > 0.0) {
    cv::GaussianBlur(light, light, cv::Size(), settings.blurSigma, settings.blurSigma,
                     cv::BORDER_REPLICATE);
  }
  if (settings.noiseSigma > 0.0) {
    std::mt19937_64 generator(settings.seed);
    std::normal_distribution<double> noise(0.0, settings.noiseSigma);
    for (int row = 0; row < light.rows; ++row) {
      double* p = light.ptr<double>(row);
      for (int column = 0; column < light.cols; ++column) p[column] += noise(generator);
    }
  }
  if (settings.bits == kEightBits) {
    cv::Mat image(light.size(), CV_8UC1);
    light.convertTo(image, CV_8U);  // rounds to nearest and saturates to 0..255
    return image;
  }
  cv::Mat image(light.size(), CV_16UC1);
  light.convertTo(image, CV_16U);  // rounds to nearest and saturates to 0..65535
  cv::min(image, FullScale(settings.bits), image);
  return image;
}

void CheckSettings(const Camera& camera, const std::vector<PlacedTarget>& targets,
                   const RenderSettings& settings) {
  if (camera.imageSize.width <= 0 || camera.imageSize.height <= 0) {
    CV_Error(cv::Error::StsBadSize, "Render: the camera's image is empty");
  }
  if (settings.samplesPerAxis < kMinSamplesPerAxis) {
    CV_Error(cv::Error::StsOutOfRange, "Render: at least 4 x 4 samples per pixel are needed");
  }
  if (!(settings.blurSigma >= 0.0) || !(settings.noiseSigma >= 0.0)) {
    CV_Error(cv::Error::StsOutOfRange, "Render: blur and noise must not be negative");
  }
  if (settings.bits < kEightBits || settings.bits > kMaxBits) {
    CV_Error(cv::Error::StsOutOfRange, "Render: the bit depth must be 8 to 16");
  }
  for (const PlacedTarget& placed : targets) {
    if (!(placed.target.dotDiameter >= 0.0)) {
      CV_Error(cv::Error::StsOutOfRange, "Render: a dot diameter is negative");
    }
  }
}

}  // namespace

// Renders by area integration: each pixel's level is the mean over a regular sub-grid of rays,
// interpolated between the rays through its corners (traced back through the lens by PixelToRay)
// and followed onto the target planes, where the nearest hit decides between dot, box and
// background. Pixels, and parts of pixels, whose footprint certainly lies on one material take
// that level directly, which is what their rays would all report.
Rendering Render(const Camera& camera, const std::vector<PlacedTarget>& targets,
                 const RenderSettings& requested) {
  CheckSettings(camera, targets, requested);
  const RenderSettings settings = OnSensorScale(requested);
  std::vector<TargetView> views;
  views.reserve(targets.size());
  for (const PlacedTarget& placed : targets) views.emplace_back(camera, placed);

  std::unique_ptr<OpticalBlur> blur;
  if (settings.blurBeforeIntegration && settings.blurSigma > 0.0)
    blur = std::make_unique<OpticalBlur>(settings.blurSigma, settings.samplesPerAxis,
                                         camera.imageSize);
  Rendering rendering;
  rendering.image =
      Expose(IntegrateScene(camera, views, settings, blur.get()), settings, blur.get());
  for (const PlacedTarget& placed : targets) rendering.truth.push_back(DotTruths(camera, placed));
  return rendering;
}

}  // namespace synth
