#include "inputs/ImageFiles.h"

#include <glob.h>

#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>

#include "CommandError.h"

namespace dotcal {
namespace {

namespace fs = std::filesystem;

// The matches of one shell pattern (a plain name matches itself when it exists).
std::vector<std::string> Glob(const std::string& pattern) {
  glob_t found{};
  std::vector<std::string> names;
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc; ++i) names.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  return names;
}

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

std::string DepthName(int depth) {
  switch (depth) {
    case CV_8S:
      return "8-bit signed";
    case CV_16S:
      return "16-bit signed";
    case CV_32S:
      return "32-bit integer";
    case CV_32F:
      return "32-bit float";
    case CV_64F:
      return "64-bit float";
    default:
      return "unsupported";
  }
}

cv::Mat ToGrey(const cv::Mat& image) {
  cv::Mat grey;
  switch (image.channels()) {
    case 1:
      grey = image;
      break;
    case 3:
      cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
      break;
    case 4:
      cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
      break;
    default:
      cv::extractChannel(image, grey, 0);
      break;  // grey with alpha: keep the grey
  }
  return grey.isContinuous() ? grey : grey.clone();
}

}  // namespace

const char* const kImageFormats = "PNG, TIFF, PGM, PPM, BMP or JPEG";

std::vector<std::string> ExpandPatterns(const std::vector<std::string>& patterns,
                                        const std::string& option) {
  std::vector<std::string> files;
  for (const std::string& pattern : patterns) {
    std::vector<std::string> matches = Glob(pattern);
    matches.erase(std::remove_if(matches.begin(), matches.end(),
                                 [](const std::string& name) { return !IsRegularFile(name); }),
                  matches.end());
    if (matches.empty()) {
      std::error_code error;
      if (fs::is_directory(pattern, error)) {
        throw UsageError(option + ": '" + pattern + "' is a folder; name its images, e.g. '" +
                         (fs::path(pattern) / "*.png").string() + "'");
      }
      throw UsageError(option + ": no file matches '" + pattern + "'");
    }
    files.insert(files.end(), matches.begin(), matches.end());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<FilePair> PairByName(const std::vector<std::string>& left,
                                 const std::vector<std::string>& right) {
  if (left.size() != right.size()) {
    throw UsageError("--left names " + std::to_string(left.size()) + " files and --right " +
                     std::to_string(right.size()) +
                     ": every left image needs the right image taken with it (paired in name "
                     "order)");
  }
  std::vector<FilePair> pairs;
  for (std::size_t i = 0; i < left.size(); ++i) pairs.push_back({left[i], right[i]});
  return pairs;
}

std::vector<std::string> PairedFiles(const std::vector<FilePair>& pairs) {
  std::vector<std::string> files;
  for (const FilePair& pair : pairs) {
    files.push_back(pair.left);
    files.push_back(pair.right);
  }
  return files;
}

cv::Mat ReadGreyImage(const std::string& path) {
  std::error_code error;
  if (!fs::exists(path, error)) throw UsageError(path + ": no such file");
  if (!IsRegularFile(path)) throw WorkFailed(path + ": not a file");
  cv::Mat image;
  try {
    image = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be decoded as an image (" + e.err + ")");
  }
  if (image.empty()) {
    throw WorkFailed(path + ": not an image file that can be read (" + kImageFormats + ")");
  }
  if (image.depth() != CV_8U && image.depth() != CV_16U) {
    throw WorkFailed(path + ": " + DepthName(image.depth()) +
                     " pixels; the detector reads 8-bit images and converts 16-bit ones, "
                     "convert it to one of those first");
  }
  return ToGrey(image);
}

void WriteImage(const std::string& path, const cv::Mat& image) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) MakeFolder(parent.string());
  bool written = false;
  try {
    written = cv::imwrite(path, image);
  } catch (const cv::Exception& e) {
    throw WorkFailed(path + ": cannot be written (" + e.err + ")");
  }
  if (!written) throw WorkFailed(path + ": cannot be written");
}

void MakeFolder(const std::string& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error || !fs::is_directory(path, error)) {
    throw WorkFailed(path + ": cannot create the folder");
  }
}

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

}  // namespace dotcal
