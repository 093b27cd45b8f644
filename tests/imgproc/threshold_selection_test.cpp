#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "imgproc/ThresholdSelection.h"

namespace detail = Oskelo::CV::Native64::detail;

namespace {

TEST(MeanGrey, TruncatesAndReadsRegionViews) {
  int mean = -1;
  ASSERT_TRUE(detail::MeanGrey((cv::Mat_<uchar>(1, 2) << 1, 2), mean));
  EXPECT_EQ(mean, 1);  // 3 / 2 truncated
  ASSERT_TRUE(detail::MeanGrey(cv::Mat(4, 5, CV_8UC1, cv::Scalar(77)), mean));
  EXPECT_EQ(mean, 77);

  // A region view (rows not packed) gives the mean of its own pixels only.
  cv::Mat image(10, 10, CV_8UC1, cv::Scalar(0));
  image(cv::Rect(2, 3, 4, 2)).setTo(200);
  ASSERT_TRUE(detail::MeanGrey(image(cv::Rect(2, 3, 4, 2)), mean));
  EXPECT_EQ(mean, 200);

  // No pixel: the mean is left as it was instead of dividing by zero.
  mean = 42;
  EXPECT_FALSE(detail::MeanGrey(image(cv::Rect(2, 3, 0, 2)), mean));
  EXPECT_EQ(mean, 42);
}

TEST(OtsuThreshold, UniformOrEmptyRegionGives255) {
  const cv::Mat uniform(8, 8, CV_8UC1, cv::Scalar(90));
  EXPECT_EQ(detail::OtsuThreshold(uniform, uniform.total()), 255);
  EXPECT_EQ(detail::OtsuThreshold(uniform, 0), 255);
  EXPECT_EQ(detail::OtsuThreshold(cv::Mat(0, 0, CV_8UC1), 10), 255);
}

TEST(OtsuThreshold, AgreesWithOpenCvOnNoisyBimodalImages) {
  cv::RNG rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    cv::Mat image(40, 60, CV_8UC1);
    for (int i = 0; i < static_cast<int>(image.total()); ++i) {
      const double level = rng.uniform(0.0, 1.0) < 0.3 ? 60.0 : 170.0;
      image.at<uchar>(i / image.cols, i % image.cols) =
          cv::saturate_cast<uchar>(level + rng.gaussian(15.0));
    }
    cv::Mat ignored;
    const double expected =
        cv::threshold(image, ignored, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    EXPECT_EQ(detail::OtsuThreshold(image, image.total()), static_cast<int>(expected));
    // Only the first pixels count: the first 20 rows alone give their own level.
    const double firstRows =
        cv::threshold(image.rowRange(0, 20), ignored, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    EXPECT_EQ(detail::OtsuThreshold(image, 20 * 60), static_cast<int>(firstRows));
  }
}

TEST(CentroidThresholdLevels, CornersAndCentreOfThePatch) {
  // 4 x 4: the centre is row 2, column 2, so rows and columns 1 to 3 are averaged, the lower
  // right corner included: (1 + ... + 8 + 90) / 9 = 14.
  cv::Mat patch4 = (cv::Mat_<uchar>(4, 4) << 90, 99, 99, 80,  //
                    99, 1, 2, 3,                              //
                    99, 4, 5, 6,                              //
                    70, 7, 8, 90);
  EXPECT_EQ(detail::CentroidThresholdLevels(patch4), (std::vector<double>{70, 14}));

  // 5 x 5 with corners 200, 180, 190, 210 and a centre summing to 100: {180, 100 / 9 = 11}.
  cv::Mat patch5(5, 5, CV_8UC1, cv::Scalar(0));
  patch5.at<uchar>(0, 0) = 200;
  patch5.at<uchar>(0, 4) = 180;
  patch5.at<uchar>(4, 0) = 190;
  patch5.at<uchar>(4, 4) = 210;
  patch5.at<uchar>(2, 2) = 100;
  EXPECT_EQ(detail::CentroidThresholdLevels(patch5), (std::vector<double>{180, 11}));
}

TEST(CentroidThresholdLevels, NarrowPatchesClampTheNeighbourhood) {
  // 2 x 2: the centre pixel is (1, 1); its neighbourhood inside the patch is all four pixels.
  const cv::Mat patch2 = (cv::Mat_<uchar>(2, 2) << 10, 20, 30, 41);
  EXPECT_EQ(detail::CentroidThresholdLevels(patch2), (std::vector<double>{10, 25}));
  // One column of five rows, read inside a wider image so that stepping out would be seen.
  cv::Mat wide(5, 3, CV_8UC1, cv::Scalar(255));
  cv::Mat((cv::Mat_<uchar>(5, 1) << 100, 1, 2, 3, 100)).copyTo(wide.col(1));
  EXPECT_EQ(detail::CentroidThresholdLevels(wide.col(1)), (std::vector<double>{100, 2}));
  EXPECT_TRUE(detail::CentroidThresholdLevels(cv::Mat(0, 3, CV_8UC1)).empty());
}

TEST(ScaleThresholdByBrightness, LinearAboveSoftenedBelowReference) {
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 128, 128), 100);
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 192, 128), 150);
  // ratio 0.5 becomes 1 - 0.5^1.4 = 0.6211, so 100 -> 62.
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 64, 128), 62);
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 0, 128), 0);
  // A reference of 0 gives no ratio: the threshold stays.
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 64, 0), 100);
  EXPECT_EQ(detail::ScaleThresholdByBrightness(100, 0, 0), 100);
}

TEST(ThresholdFromDotLevels, MidwayUnlessLevelsAreMissingOrSaturated) {
  int threshold = 7;
  EXPECT_TRUE(detail::ThresholdFromDotLevels({190, 185, 201}, {40, 61, 50}, threshold));
  EXPECT_EQ(threshold, 123);  // (185 + 61) / 2
  threshold = 7;
  EXPECT_FALSE(detail::ThresholdFromDotLevels({}, {}, threshold));
  EXPECT_FALSE(detail::ThresholdFromDotLevels({190}, {0}, threshold));
  EXPECT_FALSE(detail::ThresholdFromDotLevels({255}, {40}, threshold));
  EXPECT_EQ(threshold, 7);
}

}  // namespace
