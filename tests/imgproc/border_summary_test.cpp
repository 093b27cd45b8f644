#include <algorithm>
#include <random>
#include <tuple>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "imgproc/BorderSummary.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

// Each component as (outer length, sorted hole lengths); sorted, so that the border order of the
// two methods does not matter.
using Component = std::pair<int, std::vector<int>>;

std::vector<Component> FromOpenCv(const cv::Mat& binary) {
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  cv::findContours(binary, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
  std::vector<Component> components;
  for (std::size_t i = 0; i < contours.size(); ++i) {
    if (hierarchy[i][3] >= 0) continue;
    Component c{static_cast<int>(contours[i].size()), {}};
    for (int h = hierarchy[i][2]; h >= 0; h = hierarchy[h][0])
      c.second.push_back(static_cast<int>(contours[h].size()));
    std::sort(c.second.begin(), c.second.end());
    components.push_back(c);
  }
  std::sort(components.begin(), components.end());
  return components;
}

std::vector<Component> FromSummary(const cv::Mat& binary) {
  const detail::BorderSummary summary = detail::SummarizeBorders(binary);
  std::vector<Component> components;
  std::vector<int> componentOf(summary.lengths.size(), -1);
  for (std::size_t i = 0; i < summary.lengths.size(); ++i) {
    if (summary.parents[i] >= 0) continue;
    componentOf[i] = static_cast<int>(components.size());
    components.push_back({summary.lengths[i], {}});
  }
  for (std::size_t i = 0; i < summary.lengths.size(); ++i) {
    if (summary.parents[i] < 0) continue;
    const int owner = componentOf[summary.parents[i]];
    EXPECT_GE(owner, 0) << "a hole whose parent is no outer border";
    if (owner >= 0) components[owner].second.push_back(summary.lengths[i]);
  }
  for (Component& c : components) std::sort(c.second.begin(), c.second.end());
  std::sort(components.begin(), components.end());
  return components;
}

TEST(SummarizeBorders, AgreesWithOpenCvOnRandomImagesOfEveryDensity) {
  std::mt19937 random(5);
  for (int trial = 0; trial < 400; ++trial) {
    const int rows = 1 + static_cast<int>(random() % 60), cols = 1 + static_cast<int>(random() % 60);
    cv::Mat binary(rows, cols, CV_8UC1);
    if (trial % 2 == 0) {
      // Salt and pepper of every density: many tiny borders, touching and nested.
      std::bernoulli_distribution white((trial % 20 + 0.5) / 20.0);
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) binary.at<unsigned char>(r, c) = white(random) ? 255 : 0;
    } else {
      // Smooth blobs cut at a random level: larger components with holes and islands in them.
      cv::Mat field(rows, cols, CV_32F);
      cv::randu(field, 0.0, 1.0);
      const int kernel = 1 + 2 * static_cast<int>(random() % 6);
      cv::GaussianBlur(field, field, cv::Size(kernel, kernel), 0.0);
      binary = field > 0.3 + 0.4 * std::uniform_real_distribution<double>()(random);
    }
    ASSERT_EQ(FromSummary(binary), FromOpenCv(binary)) << "trial " << trial;
  }
}

TEST(SummarizeBorders, AgreesWithOpenCvOnARenderedPlateAtEverySweepThreshold) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  const auto views = synth::PlateViews(camera, 1, 4, 1800.0, 2600.0);
  const cv::Mat image = synth::Render(camera, views, synth::RenderSettings()).image;
  for (int t = 15; t <= 215; t += 5) {
    cv::Mat binary;
    cv::threshold(image, binary, t, 255, cv::THRESH_BINARY);
    ASSERT_EQ(FromSummary(binary), FromOpenCv(binary)) << "threshold " << t;
  }
}

TEST(SummarizeBorders, CountsSinglePixelsLinesAndHoles) {
  cv::Mat binary = cv::Mat::zeros(7, 9, CV_8UC1);
  binary.at<unsigned char>(0, 0) = 255;            // a pixel in the corner
  binary(cv::Rect(2, 2, 5, 1)).setTo(255);         // a horizontal line of 5
  binary(cv::Rect(2, 4, 3, 3)).setTo(255);         // a 3 x 3 ring ...
  binary.at<unsigned char>(5, 3) = 0;              // ... with a one-pixel hole
  const detail::BorderSummary s = detail::SummarizeBorders(binary);
  ASSERT_EQ(FromSummary(binary), FromOpenCv(binary));
  ASSERT_EQ(s.lengths.size(), 4u);
  EXPECT_EQ(s.lengths[0], 1);  // raster order: the corner pixel first
  EXPECT_EQ(s.lengths[1], 8);  // forth and back along the line
  EXPECT_EQ(s.lengths[2], 8);  // around the ring
  EXPECT_EQ(s.lengths[3], 4);  // the hole's four edge neighbours
  EXPECT_EQ(s.parents[3], 2);
}

}  // namespace
