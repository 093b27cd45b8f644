#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "imgproc/ContourClustering.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

constexpr double kTol = 1e-9;  // closed-form geometry, double rounding only

// A contour of `length` points in a row starting at `start`: only its length and position matter.
std::vector<cv::Point> Contour(int length, cv::Point start = {0, 0}) {
  std::vector<cv::Point> points;
  for (int i = 0; i < length; ++i) points.emplace_back(start.x + i, start.y);
  return points;
}

// Contours and a two-level hierarchy: each box followed by its holes, holes linked in order.
struct Scene {
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  int lastBox = -1;

  int AddBox(int length) {
    const int index = Add(length, {0, 0});
    if (lastBox >= 0) hierarchy[lastBox][0] = index;
    hierarchy[index][1] = lastBox;
    lastBox = index;
    return index;
  }
  int AddHole(int length, cv::Point start = {0, 0}) {
    const int index = Add(length, start);
    const int box = lastBox;
    if (hierarchy[box][2] < 0) {
      hierarchy[box][2] = index;
    } else {
      int c = hierarchy[box][2];
      while (hierarchy[c][0] >= 0) c = hierarchy[c][0];
      hierarchy[c][0] = index;
      hierarchy[index][1] = c;
    }
    hierarchy[index][3] = box;
    return index;
  }
  int Add(int length, cv::Point start) {
    contours.push_back(Contour(length, start));
    hierarchy.emplace_back(-1, -1, -1, -1);
    return static_cast<int>(contours.size()) - 1;
  }
};

// Defaults: 7 dots, no grid, spacing 16, diameter 8: box window (42.86, 171.43), and for a box of
// 100 points a dot window (11.78, 86.39).
const detail::BoxGeometry kDefaults = detail::ExpectedBoxGeometry(7, 0, 0, 16.0, 8.0, 1.0);

TEST(ExpectedBoxGeometry, DefaultsAndCalibrationPlate) {
  EXPECT_NEAR(kDefaults.minBoxLength, 64.0 / 224 * 150, kTol);
  EXPECT_NEAR(kDefaults.maxBoxLength, 64.0 / 224 * 600, kTol);
  EXPECT_NEAR(kDefaults.idealBoxLength, 64.0 / 224 * 300, kTol);
  EXPECT_NEAR(kDefaults.dotRatio, 8.0 * CV_PI / 64.0, kTol);

  const detail::BoxGeometry plate = detail::ExpectedBoxGeometry(117, 13, 9, 30.0, 15.0, 1.0);
  EXPECT_NEAR(plate.minBoxLength, 924.107142857, 1e-6);
  EXPECT_NEAR(plate.maxBoxLength, 3696.428571428, 1e-6);
  EXPECT_NEAR(plate.idealBoxLength, 1848.214285714, 1e-6);
  EXPECT_NEAR(plate.dotRatio, 15.0 * CV_PI / 1380.0, kTol);
  EXPECT_EQ(plate.lowFactor, 0.5);
  EXPECT_EQ(plate.highFactor, 1.5);

  // One or three dots without a grid: the perimeter is 0 and no box can qualify.
  EXPECT_EQ(detail::ExpectedBoxGeometry(3, 0, 0, 16.0, 8.0, 1.0).maxBoxLength, 0.0);
}

TEST(FindClusterWithHoles, PicksTheBoxWithExactlyTheDotCount) {
  Scene scene;
  // First a box with one dot too many, each of the expected dot length (100 * dotRatio * 1.25 =
  // 49.1): a better score than the full box below, but not the target's dot count.
  scene.AddBox(100);
  for (int i = 0; i < 8; ++i) scene.AddHole(49);
  scene.AddBox(100);
  for (int i = 0; i < 6; ++i) scene.AddHole(40);  // one dot short
  const int full = scene.AddBox(100);
  std::vector<int> expected;
  for (int i = 0; i < 7; ++i) expected.push_back(scene.AddHole(40));
  scene.AddHole(5);  // too short to be a dot: ignored
  const int crowded = scene.AddBox(100);
  for (int i = 0; i < 8; ++i) scene.AddHole(40);  // more dots than the target has
  (void)crowded;

  std::vector<int> indices;
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {}, kDefaults, 7,
                                         false),
            full);
  EXPECT_EQ(indices, expected);
}

TEST(FindClusterWithHoles, WindowsAreStrictAndTiesKeepTheLowerIndex) {
  const double lo = 100 * kDefaults.dotRatio * kDefaults.lowFactor;  // 11.78: 12 passes
  Scene scene;
  const int first = scene.AddBox(100);
  for (int i = 0; i < 7; ++i) scene.AddHole(static_cast<int>(lo) + 1);
  scene.AddBox(100);  // the same score
  for (int i = 0; i < 7; ++i) scene.AddHole(static_cast<int>(lo) + 1);
  std::vector<int> indices;
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {}, kDefaults, 7,
                                         false),
            first);

  // The box nearer the ideal length (85.7 points) wins over an earlier one: dots within a point
  // of their expected length (60 * 0.491 = 29.5 and 86 * 0.491 = 42.2) add nothing to either
  // score, so only the box lengths (25.7 and 0.3 points off) tell them apart.
  Scene lengths;
  lengths.AddBox(60);
  for (int i = 0; i < 7; ++i) lengths.AddHole(29);
  const int nearIdeal = lengths.AddBox(86);
  for (int i = 0; i < 7; ++i) lengths.AddHole(42);
  EXPECT_EQ(detail::FindClusterWithHoles(lengths.contours, lengths.hierarchy, indices, {},
                                         kDefaults, 7, false),
            nearIdeal);

  // A box exactly as long as the window's ends does not qualify: with a scale that puts the
  // minimum box length at exactly 150 points, a box of 150 points is refused, 151 accepted.
  const detail::BoxGeometry exact = detail::ExpectedBoxGeometry(7, 0, 0, 16.0, 8.0, 224.0 / 64.0);
  ASSERT_EQ(exact.minBoxLength, 150.0);
  for (int length : {150, 151}) {
    Scene edge;
    edge.AddBox(length);
    for (int i = 0; i < 7; ++i) edge.AddHole(40);
    std::vector<int> found;
    EXPECT_EQ(
        detail::FindClusterWithHoles(edge.contours, edge.hierarchy, found, {}, exact, 7, false),
        length == 151 ? 0 : -1);
  }
}

TEST(FindClusterWithHoles, AnExcludedDotDropsTheDotsBeforeIt) {
  const cv::Rect exclusion(100, 100, 10, 10);
  Scene scene;
  scene.AddBox(100);
  for (int i = 0; i < 7; ++i) scene.AddHole(40);
  scene.AddHole(40, {110, 110});  // touches the exclusion at its corner (bounds included)
  std::vector<int> followers;
  for (int i = 0; i < 7; ++i) {
    followers.push_back(scene.AddHole(40));
    // A hole too short to be a dot is no dot, whether excluded or not: it drops nothing.
    if (i == 3) scene.AddHole(5, {105, 105});
  }

  std::vector<int> indices{99};
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {exclusion},
                                         kDefaults, 7, false),
            0);
  EXPECT_EQ(indices, followers);

  // With only six holes after the excluded one nothing qualifies and `indices` stays as passed.
  Scene shortScene;
  shortScene.AddBox(100);
  shortScene.AddHole(40);
  shortScene.AddHole(40, {111, 105});  // just outside on x: not excluded
  shortScene.AddHole(40, {109, 105});  // inside
  for (int i = 0; i < 6; ++i) shortScene.AddHole(40);
  indices = {99};
  EXPECT_EQ(detail::FindClusterWithHoles(shortScene.contours, shortScene.hierarchy, indices,
                                         {exclusion}, kDefaults, 7, false),
            -1);
  EXPECT_EQ(indices, std::vector<int>{99});
}

// Exclusions reaching past the int range and box geometries from nonsense settings (found by
// fuzzing, where they overflowed): the comparisons stay exact and such scores never win.
TEST(FindClusterWithHoles, ExtremeExclusionsAndGeometriesAreSafe) {
  Scene scene;
  scene.AddBox(100);
  for (int i = 0; i < 7; ++i) scene.AddHole(40, {10, 10});
  std::vector<int> indices;
  // Spans to INT_MAX + INT_MAX: covers the dots, so nothing qualifies.
  const cv::Rect huge(0, 0, INT_MAX, INT_MAX);
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {huge},
                                         kDefaults, 7, false),
            -1);
  // Starts far left and ends far right of the int range only in 64 bits: no dot touches it.
  const cv::Rect wrapping(INT_MAX - 5, INT_MAX - 5, INT_MAX, INT_MAX);
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {wrapping},
                                         kDefaults, 7, false),
            0);

  // A dot window up to infinity: every hole is a dot but its score is undefined, so no box wins.
  detail::BoxGeometry unbounded = kDefaults;
  unbounded.highFactor = HUGE_VAL;
  indices = {99};
  EXPECT_EQ(detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {}, unbounded, 7,
                                         false),
            -1);
  EXPECT_EQ(indices, std::vector<int>{99});
  for (double nonsense : {HUGE_VAL, -HUGE_VAL, std::nan("")}) {
    const detail::BoxGeometry g = detail::ExpectedBoxGeometry(7, 2, 4, nonsense, nonsense, 1.0);
    EXPECT_EQ(
        detail::FindClusterWithHoles(scene.contours, scene.hierarchy, indices, {}, g, 7, false),
        -1);
  }
}

std::vector<cv::Point> Square(int x, int y, int side) {
  return {{x, y}, {x + side, y}, {x + side, y + side}, {x, y + side}};
}

TEST(FindClusterWithoutHoles, CountsContoursOfPositiveAreaBelowTheLimit) {
  std::vector<std::vector<cv::Point>> contours;
  for (int i = 0; i < 7; ++i) contours.push_back(Square(10 * i, 0, 4));
  const double limit = detail::DotAreaLimit(16.0, 0, 1248, 1082);
  EXPECT_EQ(limit, 1248.0 * 1082.0);

  std::vector<int> indices;
  EXPECT_TRUE(detail::FindClusterWithoutHoles(contours, indices, limit, 7));
  EXPECT_EQ(indices, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));

  contours.push_back({{0, 0}, {5, 0}});  // a line: area 0, skipped
  indices.clear();
  EXPECT_TRUE(detail::FindClusterWithoutHoles(contours, indices, limit, 7));

  contours.push_back(Square(0, 50, 4));  // an eighth dot
  indices.clear();
  EXPECT_FALSE(detail::FindClusterWithoutHoles(contours, indices, limit, 7));
  EXPECT_TRUE(indices.empty());
  EXPECT_FALSE(detail::FindClusterWithoutHoles(contours, indices, 16.0, 8));  // areas 16 not below
}

TEST(ContourMeanGrey, SpansRowByRow) {
  cv::Mat image(20, 20, CV_8UC1, cv::Scalar(0));
  for (int y = 10; y <= 12; ++y) {
    image.at<uchar>(y, 10) = static_cast<uchar>(10 * y);
    image.at<uchar>(y, 11) = static_cast<uchar>(10 * y + 3);
    image.at<uchar>(y, 12) = 255;  // the highest column is not counted
  }
  const std::vector<cv::Point> square{{10, 10}, {11, 10}, {12, 10}, {12, 11},
                                      {12, 12}, {11, 12}, {10, 12}, {10, 11}};
  int mean = -1;
  ASSERT_TRUE(detail::ContourMeanGrey(image, square, mean));
  EXPECT_EQ(mean, (100 + 103 + 110 + 113 + 120 + 123) / 6);

  // Nothing counted (empty contour, or one column per row): the mean stays.
  mean = 42;
  EXPECT_FALSE(detail::ContourMeanGrey(image, {}, mean));
  EXPECT_FALSE(detail::ContourMeanGrey(image, {{5, 5}, {5, 6}}, mean));
  EXPECT_EQ(mean, 42);
  // Spans outside the image are clipped, not read.
  EXPECT_FALSE(detail::ContourMeanGrey(image, {{25, 30}, {40, 30}}, mean));
  ASSERT_TRUE(detail::ContourMeanGrey(image, {{15, 19}, {25, 19}, {-5, 18}, {3, 18}}, mean));
  EXPECT_EQ(mean, 0);
}

}  // namespace
