#include <filesystem>

#include "CommandError.h"
#include "Commands.h"
#include "detection/TargetDetection.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "reports/Overlay.h"
#include "reports/TextFormat.h"

namespace dotcal {

void RunDetect(const DetectOptions& options, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  const TargetShape shape = ResolveTarget(options.target, TargetShape::Plate());
  const int bits = ParseBits(options.bits);
  const std::vector<std::string> files = ExpandPatterns(options.images, "images");
  const ImageSeries series = ImageSeries::Scan(files, bits);
  if (!options.overlays.empty()) MakeFolder(options.overlays);

  if (options.csv) out << "image,index,x,y\n";
  int missed = 0;
  for (const std::string& file : files) {
    const cv::Mat image = series.Load(file);
    const Detection detection = DetectTarget(image, shape);
    if (options.verbose) {
      err << file
          << Format(": size scale %.4g, threshold %d\n", detection.sizeScale, detection.threshold);
    }
    if (!detection.found) {
      ++missed;
      err << file << ": no target of " << shape.dots << " dots found: " << detection.reason << "\n";
      continue;
    }
    if (!options.csv) out << file << ": " << detection.dots.size() << " dots in grid order\n";
    for (std::size_t i = 0; i < detection.dots.size(); ++i) {
      const cv::Point2d& p = detection.dots[i];
      if (options.csv) {
        out << file << Format(",%zu,%.4f,%.4f\n", i, p.x, p.y);
      } else {
        out << Format("  %3zu %10.4f %10.4f\n", i, p.x, p.y);
      }
    }
    if (!options.overlays.empty()) {
      const std::string name = fs::path(file).stem().string() + "_dots.png";
      WriteImage((fs::path(options.overlays) / name).string(), DrawDots(image, detection.dots));
    }
  }
  if (missed > 0) {
    throw WorkFailed("the target was not found in " + std::to_string(missed) + " of " +
                     std::to_string(files.size()) + " images");
  }
}

}  // namespace dotcal
