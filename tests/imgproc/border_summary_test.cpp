#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <random>
#include <tuple>

#include "imgproc/BorderSummary.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"
#include "synth/StereoRig.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

// Each contour as cv::findContours lists it: its length, its parent's index (-1 for an outer
// border) and its bounding rectangle.
using Contour = std::tuple<int, int, cv::Rect>;

std::vector<Contour> FromOpenCv(const cv::Mat& binary, cv::Point offset = {}) {
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  cv::findContours(binary, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE, offset);
  std::vector<Contour> listed;
  for (std::size_t i = 0; i < contours.size(); ++i) {
    listed.emplace_back(static_cast<int>(contours[i].size()), hierarchy[i][3],
                        cv::boundingRect(contours[i]));
  }
  return listed;
}

// The summary's borders in its contour order, parents turned into indices of that order.
std::vector<Contour> Listed(const detail::BorderSummary& summary) {
  std::vector<int> position(summary.lengths.size(), -1);
  for (std::size_t k = 0; k < summary.contourOrder.size(); ++k)
    position[static_cast<std::size_t>(summary.contourOrder[k])] = static_cast<int>(k);
  std::vector<Contour> listed;
  for (int border : summary.contourOrder) {
    const int parent = summary.parents[static_cast<std::size_t>(border)];
    listed.emplace_back(summary.lengths[static_cast<std::size_t>(border)],
                        parent < 0 ? -1 : position[static_cast<std::size_t>(parent)],
                        summary.boxes[static_cast<std::size_t>(border)]);
  }
  EXPECT_EQ(listed.size(), summary.lengths.size()) << "a border missing from the order";
  return listed;
}

std::vector<Contour> FromSummary(const cv::Mat& binary) {
  return Listed(detail::SummarizeBorders(binary));
}

TEST(SummarizeBorders, AgreesWithOpenCvOnRandomImagesOfEveryDensity) {
  std::mt19937 random(5);
  detail::BorderScratch scratch;  // shared by images of every size
  for (int trial = 0; trial < 400; ++trial) {
    const int rows = 1 + static_cast<int>(random() % 60),
              cols = 1 + static_cast<int>(random() % 60);
    cv::Mat grey(rows, cols, CV_8UC1);
    if (trial % 2 == 0) {
      // Salt and pepper of every density: many tiny borders, touching and nested.
      std::bernoulli_distribution white((trial % 20 + 0.5) / 20.0);
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) grey.at<unsigned char>(r, c) = white(random) ? 200 : 10;
    } else {
      // Smooth blobs: larger components with holes and islands in them.
      cv::Mat field(rows, cols, CV_32F);
      cv::randu(field, 0.0, 255.0);
      const int kernel = 1 + 2 * static_cast<int>(random() % 6);
      cv::GaussianBlur(field, field, cv::Size(kernel, kernel), 0.0);
      field.convertTo(grey, CV_8U);
    }
    // Thresholds beyond the grey levels too, and the summary of a region of a larger image.
    const int threshold = static_cast<int>(random() % 280) - 10;
    cv::Mat binary;
    cv::threshold(grey, binary, threshold, 255, cv::THRESH_BINARY);
    const cv::Point offset(static_cast<int>(random() % 50), static_cast<int>(random() % 50));
    ASSERT_EQ(FromSummary(binary), FromOpenCv(binary)) << "trial " << trial;
    ASSERT_EQ(Listed(detail::SummarizeBordersAbove(grey, threshold, offset, scratch)),
              FromOpenCv(binary, offset))
        << "trial " << trial << ", threshold " << threshold;
  }
}

TEST(SummarizeBorders, AgreesWithOpenCvOnARenderedPlateAtEverySweepThreshold) {
  const synth::Camera camera = synth::StereoRig::Default().left;
  const auto views = synth::PlateViews(camera, 1, 4, 1800.0, 2600.0);
  const cv::Mat image = synth::Render(camera, views, synth::RenderSettings()).image;
  detail::BorderScratch scratch;
  for (int t = 15; t <= 215; t += 5) {
    cv::Mat binary;
    cv::threshold(image, binary, t, 255, cv::THRESH_BINARY);
    ASSERT_EQ(Listed(detail::SummarizeBordersAbove(image, t, {}, scratch)), FromOpenCv(binary))
        << "threshold " << t;
  }
}

TEST(SummarizeBorders, CountsSinglePixelsLinesAndHoles) {
  cv::Mat binary = cv::Mat::zeros(7, 9, CV_8UC1);
  binary.at<unsigned char>(0, 0) = 255;     // a pixel in the corner
  binary(cv::Rect(2, 2, 5, 1)).setTo(255);  // a horizontal line of 5
  binary(cv::Rect(2, 4, 3, 3)).setTo(255);  // a 3 x 3 ring ...
  binary.at<unsigned char>(5, 3) = 0;       // ... with a one-pixel hole
  const detail::BorderSummary s = detail::SummarizeBorders(binary);
  ASSERT_EQ(FromSummary(binary), FromOpenCv(binary));
  ASSERT_EQ(s.lengths.size(), 4u);
  EXPECT_EQ(s.lengths[0], 1);  // raster order: the corner pixel first
  EXPECT_EQ(s.lengths[1], 8);  // forth and back along the line
  EXPECT_EQ(s.lengths[2], 8);  // around the ring
  EXPECT_EQ(s.lengths[3], 4);  // the hole's four edge neighbours
  EXPECT_EQ(s.parents[3], 2);
  EXPECT_EQ(s.boxes[1], cv::Rect(2, 2, 5, 1));
  EXPECT_EQ(s.boxes[3], cv::Rect(2, 4, 3, 3));  // the hole's border is the ring's inside
  // Listed as cv::findContours lists them: the last outer border met first, then its holes.
  EXPECT_EQ(s.contourOrder, (std::vector<int>{2, 3, 1, 0}));
}

}  // namespace
