#include "reports/ErrorPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <string>

namespace dotcal {
namespace {

// Layout of the chart, pixels.
constexpr int kWidth = 960;
constexpr int kHeight = 420;
constexpr int kLeftMargin = 70;
constexpr int kRightMargin = 20;
constexpr int kTopMargin = 50;
constexpr int kBottomMargin = 50;
constexpr int kTicks = 5;           // scale divisions
constexpr double kBarShare = 0.35;  // width of one bar as a share of a view's slot
constexpr double kFontScale = 0.5;
const cv::Scalar kWhite(255, 255, 255), kBlack(0, 0, 0), kGrid(220, 220, 220);
const cv::Scalar kLeftColour(180, 119, 31), kRightColour(14, 127, 255);  // blue, orange (BGR)

// The smallest of 1, 2 or 5 times a power of ten at or above `value`: a round top for the scale.
double RoundUp(double value) {
  if (!(value > 0.0)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (step * power >= value) return step * power;
  }
  return 10.0 * power;
}

std::string Format(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void Label(cv::Mat& image, const std::string& text, cv::Point at, bool centred) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, kFontScale, 1, &baseline);
  if (centred) at.x -= size.width / 2;
  cv::putText(image, text, at, cv::FONT_HERSHEY_SIMPLEX, kFontScale, kBlack, 1, cv::LINE_AA);
}

}  // namespace

cv::Mat PlotViewErrors(const ViewErrors& errors) {
  cv::Mat image(kHeight, kWidth, CV_8UC3, kWhite);
  const int plotWidth = kWidth - kLeftMargin - kRightMargin;
  const int plotHeight = kHeight - kTopMargin - kBottomMargin;
  const int baseY = kTopMargin + plotHeight;

  double largest = 0.0;
  for (double e : errors.left) largest = std::max(largest, e);
  for (double e : errors.right) largest = std::max(largest, e);
  const double top = RoundUp(largest);

  for (int t = 0; t <= kTicks; ++t) {
    const int y = baseY - plotHeight * t / kTicks;
    cv::line(image, {kLeftMargin, y}, {kLeftMargin + plotWidth, y}, kGrid, 1);
    Label(image, Format("%.3g", top * t / kTicks), {8, y + 5}, false);
  }
  Label(image, "Reprojection RMS per view (px): left camera, right camera", {kLeftMargin, 30},
        false);
  cv::rectangle(image, {kWidth - 200, 16}, {kWidth - 188, 28}, kLeftColour, cv::FILLED);
  Label(image, "left", {kWidth - 182, 28}, false);
  cv::rectangle(image, {kWidth - 120, 16}, {kWidth - 108, 28}, kRightColour, cv::FILLED);
  Label(image, "right", {kWidth - 102, 28}, false);

  const int views = static_cast<int>(errors.left.size());
  const double slot = views > 0 ? static_cast<double>(plotWidth) / views : plotWidth;
  const int barWidth = std::max(1, static_cast<int>(slot * kBarShare));
  for (int v = 0; v < views; ++v) {
    const int centre = kLeftMargin + static_cast<int>((v + 0.5) * slot);
    const auto bar = [&](double value, int x, const cv::Scalar& colour) {
      const int height = static_cast<int>(std::lround(plotHeight * std::min(value / top, 1.0)));
      cv::rectangle(image, {x, baseY - height}, {x + barWidth - 1, baseY}, colour, cv::FILLED);
    };
    bar(errors.left[v], centre - barWidth, kLeftColour);
    bar(errors.right[v], centre, kRightColour);
    Label(image, std::to_string(errors.pairs[v]), {centre, baseY + 20}, true);
  }
  cv::line(image, {kLeftMargin, baseY}, {kLeftMargin + plotWidth, baseY}, kBlack, 1);
  cv::line(image, {kLeftMargin, kTopMargin}, {kLeftMargin, baseY}, kBlack, 1);
  Label(image, "pair", {kLeftMargin + plotWidth / 2, kHeight - 10}, true);
  return image;
}

}  // namespace dotcal
