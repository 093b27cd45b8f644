#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CommandError.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"
#include "scratch_folder.h"

namespace {

const std::string kRoot = DOTCAL_SCRATCH;
const cv::Size kSize(64, 48);

// A grey test image with some structure.
cv::Mat Pattern() {
  cv::Mat image(kSize, CV_8UC1);
  cv::randu(image, 0, 256);
  return image;
}

template <typename Error>
std::string LoadError(const std::string& path) {
  try {
    dotcal::ReadGreyImage(path);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(ImageFiles, PatternsExpandToSortedRegularFiles) {
  const std::string folder = ScratchFolder(kRoot);
  for (const char* name : {"b_2.png", "a_10.png", "a_9.png", "c.txt"})
    std::ofstream(folder + "/" + name);
  std::filesystem::create_directory(folder + "/a_dir.png");
  const std::vector<std::string> files =
      dotcal::ExpandPatterns({folder + "/b_*.png", folder + "/a_*.png"}, "--left");
  EXPECT_EQ(files, (std::vector<std::string>{folder + "/a_10.png", folder + "/a_9.png",
                                             folder + "/b_2.png"}));
  // A folder is no image; the message says how to name its images.
  try {
    dotcal::ExpandPatterns({folder + "/a_dir.png"}, "--left");
    ADD_FAILURE() << "no error for a folder";
  } catch (const dotcal::UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("is a folder"), std::string::npos);
  }
  // A plain name is its own match.
  EXPECT_EQ(dotcal::ExpandPatterns({folder + "/c.txt"}, "--left").size(), 1u);
  try {
    dotcal::ExpandPatterns({folder + "/a_*.png", folder + "/z*.png"}, "--right");
    ADD_FAILURE() << "no error for a pattern without matches";
  } catch (const dotcal::UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("--right: no file matches '" + folder + "/z*.png'"),
              std::string::npos);
  }
}

TEST(ImageFiles, PairsNeedListsOfOneLength) {
  const auto pairs = dotcal::PairByName({"l1", "l2"}, {"r1", "r2"});
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[1].left, "l2");
  EXPECT_EQ(pairs[1].right, "r2");
  EXPECT_THROW(dotcal::PairByName({"l1", "l2"}, {"r1"}), dotcal::UsageError);
}

TEST(ImageFiles, GreyAndColourImagesLoadAsPackedGrey) {
  const std::string folder = ScratchFolder(kRoot);
  const cv::Mat grey = Pattern();
  cv::Mat colour(kSize, CV_8UC3);
  cv::randu(colour, 0, 256);
  cv::Mat bgra;
  cv::cvtColor(colour, bgra, cv::COLOR_BGR2BGRA);
  cv::imwrite(folder + "/grey.pgm", grey);
  cv::imwrite(folder + "/colour.png", colour);
  cv::imwrite(folder + "/alpha.png", bgra);
  cv::imwrite(folder + "/grey.tiff", grey);

  for (const char* name : {"grey.pgm", "grey.tiff"}) {
    const cv::Mat loaded = dotcal::ReadGreyImage(folder + "/" + name);
    ASSERT_EQ(loaded.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(loaded, grey, cv::NORM_INF), 0.0) << name;
  }
  cv::Mat expected;
  cv::cvtColor(colour, expected, cv::COLOR_BGR2GRAY);
  for (const char* name : {"colour.png", "alpha.png"}) {
    const cv::Mat loaded = dotcal::ReadGreyImage(folder + "/" + name);
    ASSERT_EQ(loaded.type(), CV_8UC1);
    EXPECT_TRUE(loaded.isContinuous());
    EXPECT_EQ(cv::norm(loaded, expected, cv::NORM_INF), 0.0) << name;
  }
}

TEST(ImageFiles, UnusableFilesAreRefusedNamingFileAndReason) {
  const std::string folder = ScratchFolder(kRoot);
  cv::imwrite(folder + "/float.tiff", cv::Mat(kSize, CV_32FC1, cv::Scalar(0.5)));
  std::ofstream(folder + "/text.png") << "hello";
  std::ofstream(folder + "/empty.bmp");
  // A PNG cut short after its header.
  std::vector<uchar> png;
  cv::imencode(".png", Pattern(), png);
  std::ofstream(folder + "/cut.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), 40);

  EXPECT_NE(LoadError<dotcal::WorkFailed>(folder + "/float.tiff").find("32-bit float pixels"),
            std::string::npos);
  for (const char* name : {"text.png", "empty.bmp", "cut.png"}) {
    EXPECT_NE(LoadError<dotcal::WorkFailed>(folder + "/" + name)
                  .find(std::string(name) + ": not an image"),
              std::string::npos)
        << name;
  }
  // The message lists every format that is read.
  EXPECT_NE(LoadError<dotcal::WorkFailed>(folder + "/text.png").find("JPEG"), std::string::npos);
  EXPECT_EQ(LoadError<dotcal::UsageError>(folder + "/absent.png"),
            folder + "/absent.png: no such file");
  EXPECT_EQ(LoadError<dotcal::WorkFailed>(folder), folder + ": not a file");
}

TEST(ImageSeries, SixteenBitDataBecomesEightBitsByOneRuleForTheSeries) {
  const std::string folder = ScratchFolder(kRoot);
  // 12 significant bits in 16-bit files: one image reaches 4000, the other only 2000.
  cv::Mat bright(kSize, CV_16UC1, cv::Scalar(4000)), dim(kSize, CV_16UC1, cv::Scalar(2000));
  bright.at<std::uint16_t>(0, 0) = 0;
  cv::imwrite(folder + "/bright.png", bright);
  cv::imwrite(folder + "/dim.tiff", dim);
  const std::vector<std::string> files = {folder + "/bright.png", folder + "/dim.tiff"};
  const dotcal::ImageSeries series = dotcal::ImageSeries::Scan(files, 0);
  EXPECT_EQ(series.Bits(), 12);  // the smallest of 8, 10, 12, 16 that holds 4000
  EXPECT_EQ(series.Size(), kSize);
  // 255 / 4095 for both images: no stretch of the dim one to full range.
  const cv::Mat a = series.Load(files[0]), b = series.Load(files[1]);
  ASSERT_EQ(a.type(), CV_8UC1);
  EXPECT_EQ(a.at<std::uint8_t>(1, 1), 249);  // round(4000 * 255 / 4095) = round(249.08)
  EXPECT_EQ(a.at<std::uint8_t>(0, 0), 0);
  EXPECT_EQ(b.at<std::uint8_t>(1, 1), 125);  // round(2000 * 255 / 4095) = round(124.54)
  EXPECT_EQ(dotcal::ImageSeries::Scan(files, 16).Load(files[0]).at<std::uint8_t>(1, 1), 16);
  // A --bits smaller than the data's, or above 8 for 8-bit data, is a usage error.
  try {
    dotcal::ImageSeries::Scan(files, 10);
    ADD_FAILURE() << "no error for --bits 10 on 12-bit data";
  } catch (const dotcal::UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("--bits 10 holds values up to 1023, but the images "
                                         "reach 4000"),
              std::string::npos)
        << e.what();
  }
  cv::imwrite(folder + "/grey.png", Pattern());
  EXPECT_THROW(dotcal::ImageSeries::Scan({folder + "/grey.png"}, 12), dotcal::UsageError);
  EXPECT_EQ(dotcal::ImageSeries::Scan({folder + "/grey.png"}, 8).Bits(), 8);
  for (const auto& bits : {"8", "10", "12", "16"})
    EXPECT_EQ(dotcal::ParseBits(bits), std::stoi(bits));
  EXPECT_EQ(dotcal::ParseBits("auto"), 0);
  EXPECT_THROW(dotcal::ParseBits("14"), dotcal::UsageError);
}

TEST(ImageSeries, MixedSeriesAreRefusedNamingTheFirstFileThatDiffers) {
  const std::string folder = ScratchFolder(kRoot);
  cv::imwrite(folder + "/a.png", Pattern());
  cv::imwrite(folder + "/b.png", Pattern());
  cv::imwrite(folder + "/small.png", cv::Mat(10, 20, CV_8UC1, cv::Scalar(7)));
  cv::imwrite(folder + "/deep.png", cv::Mat(kSize, CV_16UC1, cv::Scalar(700)));
  const auto error = [&](const std::vector<std::string>& names) {
    std::vector<std::string> files;
    for (const std::string& name : names) files.push_back(folder + "/" + name);
    try {
      dotcal::ImageSeries::Scan(files, 0);
    } catch (const dotcal::WorkFailed& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(error({"small.png", "a.png", "b.png"}),
            folder + "/small.png: the image is 20 x 10 pixels, but " + folder +
                "/a.png is 64 x 48; every image of a series must have one size");
  EXPECT_NE(error({"a.png", "deep.png"}).find("deep.png: 16-bit pixels, but"), std::string::npos);
  // A series checks later loads against itself.
  const dotcal::ImageSeries series = dotcal::ImageSeries::Scan({folder + "/a.png"}, 0);
  EXPECT_THROW(series.Load(folder + "/small.png"), dotcal::WorkFailed);
  EXPECT_EQ(error({"a.png"}), "");
  try {
    dotcal::ImageSeries::Scan({folder + "/a.png"}, 0, {1248, 1082}, "the calibration c.yml");
    ADD_FAILURE() << "no error for an image of another size than the calibration's";
  } catch (const dotcal::WorkFailed& e) {
    EXPECT_EQ(std::string(e.what()),
              folder +
                  "/a.png: the image is 64 x 48 pixels, but the calibration c.yml is for "
                  "1248 x 1082");
  }
}

}  // namespace
