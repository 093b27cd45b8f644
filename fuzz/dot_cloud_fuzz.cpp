// Fuzzes the ordering of dots through FindTargets: random dots drawn dark on a bright box, with a
// grid shape from the input and the box and dot sizes the detector expects set from the drawing,
// so that most clouds reach the grid ordering. Ordering may drop dots or fail (false), or refuse a
// grid smaller than 2 x 2 (std::length_error); it must never crash, read out of bounds or hang.
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "DotCloudCase.h"
#include "imgproc/ContourClustering.h"
#include "native64/ImageProcessor.h"

namespace {

constexpr int kBackground = 20, kBoxGrey = 200, kDotGrey = 40;
// Boundary pixels of a filled digital circle of radius r: about 4 * sqrt(2) * r.
constexpr double kCircleContourPerRadius = 5.66;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const fuzz::DotCloudCase c = fuzz::DotCloudCase::Read(in);

  cv::Mat image(c.height, c.width, CV_8UC1, cv::Scalar(kBackground));
  image(c.box).setTo(kBoxGrey);
  double radiusSum = 0.0;
  for (const auto& dot : c.dots) {
    cv::circle(image, dot.centre, dot.radius, cv::Scalar(kDotGrey), cv::FILLED);
    radiusSum += dot.radius;
  }

  Oskelo::CV::Native64::ImageProcessor detector;
  auto& s = *detector.settings;
  s.imageRect = cv::Rect(0, 0, c.width, c.height);
  s.columnOffset = 0;
  s.gridColumns = c.gridColumns;
  s.gridRows = c.gridRows;
  s.dotCount = static_cast<int>(c.dots.size());
  s.thresholdState = 4;  // one detection over the whole frame at the given threshold
  s.threshold = (kBoxGrey + kDotGrey) / 2;
  // Box and dot sizes chosen so that the drawn box and mean dot sit in the middle of the windows.
  s.dotSpacing = 1.0;
  s.dotDiameter = 1.0;
  s.sizeScale = 1.0;
  const auto unit = Oskelo::CV::Native64::detail::ExpectedBoxGeometry(
      s.dotCount, s.gridRows, s.gridColumns, s.dotSpacing, s.dotDiameter, s.sizeScale);
  const double boxLength = 2.0 * (c.box.width + c.box.height) - 4.0;
  if (!c.dots.empty() && unit.idealBoxLength > 0.0 && unit.dotRatio > 0.0) {
    s.sizeScale = boxLength / unit.idealBoxLength;
    const double dotLength = kCircleContourPerRadius * radiusSum / c.dots.size();
    s.dotDiameter =
        dotLength / (boxLength * unit.dotRatio * (unit.lowFactor + unit.highFactor) / 2.0);
  }

  std::vector<cv::Point2d> targets;
  cv::Rect roi = s.imageRect, targetRect = s.imageRect;
  try {
    const bool found = detector.FindTargets(image.data, targets, roi, targetRect, {}, false);
    // Whatever the cloud, a success returns every dot once, in grid order.
    if (found && targets.size() != c.dots.size()) __builtin_trap();
  } catch (const std::length_error&) {
  }
  return 0;
}
