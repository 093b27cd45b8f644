#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CommandError.h"
#include "inputs/ImageFiles.h"
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
std::string LoadError(const std::string& path, cv::Size expected = kSize) {
  try {
    dotcal::LoadGreyImage(path, expected);
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
    const cv::Mat loaded = dotcal::LoadGreyImage(folder + "/" + name, kSize);
    ASSERT_EQ(loaded.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(loaded, grey, cv::NORM_INF), 0.0) << name;
  }
  cv::Mat expected;
  cv::cvtColor(colour, expected, cv::COLOR_BGR2GRAY);
  for (const char* name : {"colour.png", "alpha.png"}) {
    const cv::Mat loaded = dotcal::LoadGreyImage(folder + "/" + name, kSize);
    ASSERT_EQ(loaded.type(), CV_8UC1);
    EXPECT_TRUE(loaded.isContinuous());
    EXPECT_EQ(cv::norm(loaded, expected, cv::NORM_INF), 0.0) << name;
  }
}

TEST(ImageFiles, UnusableFilesAreRefusedNamingFileAndReason) {
  const std::string folder = ScratchFolder(kRoot);
  cv::imwrite(folder + "/small.png", cv::Mat(10, 20, CV_8UC1, cv::Scalar(7)));
  cv::imwrite(folder + "/deep.png", cv::Mat(kSize, CV_16UC1, cv::Scalar(700)));
  std::ofstream(folder + "/text.png") << "hello";
  std::ofstream(folder + "/empty.bmp");
  // A PNG cut short after its header.
  std::vector<uchar> png;
  cv::imencode(".png", Pattern(), png);
  std::ofstream(folder + "/cut.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), 40);

  EXPECT_EQ(LoadError<dotcal::WorkFailed>(folder + "/small.png"),
            folder + "/small.png: the image is 20 x 10 pixels, expected 64 x 48");
  EXPECT_NE(LoadError<dotcal::WorkFailed>(folder + "/deep.png").find("16-bit pixels"),
            std::string::npos);
  for (const char* name : {"text.png", "empty.bmp", "cut.png"}) {
    EXPECT_NE(LoadError<dotcal::WorkFailed>(folder + "/" + name)
                  .find(std::string(name) + ": not an image"),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(LoadError<dotcal::UsageError>(folder + "/absent.png"),
            folder + "/absent.png: no such file");
  EXPECT_EQ(LoadError<dotcal::WorkFailed>(folder), folder + ": not a file");
}

}  // namespace
