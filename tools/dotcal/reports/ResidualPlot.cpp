#include "reports/ResidualPlot.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "reports/TextFormat.h"

namespace dotcal {
namespace {

// The largest of 1, 2 and 5 times a power of ten that is at most `value` (positive).
double NiceStep(double value) {
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (const double step : {5.0, 2.0, 1.0})
    if (step * power <= value) return step * power;
  return power;
}

}  // namespace

cv::Mat PlotResiduals(cv::Size imageSize, const std::vector<std::vector<cv::Point2d>>& dots,
                      const std::vector<std::vector<cv::Point2d>>& residuals, double magnification,
                      double scale) {
  const cv::Size size(std::max(1, static_cast<int>(std::lround(imageSize.width * scale))),
                      std::max(1, static_cast<int>(std::lround(imageSize.height * scale))));
  cv::Mat image(size, CV_8UC3, cv::Scalar(255, 255, 255));
  // Automatic magnification: an RMS residual some 15 pixels long on the plot.
  double sumSquares = 0.0;
  std::size_t count = 0;
  for (const auto& view : residuals) {
    for (const cv::Point2d& r : view) {
      sumSquares += r.dot(r);
      ++count;
    }
  }
  const double rms = count > 0 ? std::sqrt(sumSquares / static_cast<double>(count)) : 0.0;
  if (!(magnification > 0.0)) magnification = rms > 0.0 ? NiceStep(15.0 / (rms * scale)) : 1.0;
  const double bar = rms > 0.0 ? NiceStep(2.0 * rms) : 0.1;
  const auto toImage = [&](const cv::Point2d& p) {
    return cv::Point2d((p.x + 0.5) * scale - 0.5, (p.y + 0.5) * scale - 0.5);
  };
  // Arrows are drawn with 4 fractional bits, so that short ones keep their direction.
  constexpr int kShift = 4;
  const auto fixed = [](const cv::Point2d& p) {
    return cv::Point(static_cast<int>(std::lround(p.x * (1 << kShift))),
                     static_cast<int>(std::lround(p.y * (1 << kShift))));
  };
  for (std::size_t v = 0; v < dots.size() && v < residuals.size(); ++v) {
    for (std::size_t i = 0; i < dots[v].size() && i < residuals[v].size(); ++i) {
      const cv::Point2d from = toImage(dots[v][i]);
      const cv::Point2d to = from + residuals[v][i] * (magnification * scale);
      cv::arrowedLine(image, fixed(from), fixed(to), cv::Scalar(160, 60, 0), 1, cv::LINE_AA, kShift,
                      0.3);
    }
  }
  // The scale: `bar` pixels magnified.
  const cv::Point2d origin(10.0, size.height - 12.0);
  const cv::Point2d end = origin + cv::Point2d(bar * magnification * scale, 0.0);
  cv::arrowedLine(image, fixed(origin), fixed(end), cv::Scalar(0, 0, 200), 1, cv::LINE_AA, kShift,
                  0.3);
  cv::putText(image, Format("%g px (x%g)", bar, magnification),
              cv::Point(static_cast<int>(end.x) + 6, static_cast<int>(origin.y) + 4),
              cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(0, 0, 200), 1, cv::LINE_AA);
  return image;
}

}  // namespace dotcal
