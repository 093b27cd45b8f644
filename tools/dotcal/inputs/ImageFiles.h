#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// Expands file names and shell patterns (*, ?, [...]) into the regular files they name, sorted by
// name (byte order). Throws UsageError naming `option` when a pattern matches no file.
std::vector<std::string> ExpandPatterns(const std::vector<std::string>& patterns,
                                        const std::string& option);

// A left image and the right image taken with it.
struct FilePair {
  std::string left;
  std::string right;
};

// Pairs the i-th left file with the i-th right file (both lists sorted by name). Throws
// UsageError when the lists differ in length.
std::vector<FilePair> PairByName(const std::vector<std::string>& left,
                                 const std::vector<std::string>& right);

// Every image of the pairs, pair by pair (left, then right), so that a check of the whole series
// names the first file at fault.
std::vector<std::string> PairedFiles(const std::vector<FilePair>& pairs);

// The image formats that can be read, for messages.
extern const char* const kImageFormats;

// Reads an image file as it is stored, as one grey channel with packed rows: 8-bit (CV_8UC1) or
// 16-bit (CV_16UC1) pixels. Colour is converted to grey. Throws UsageError for a missing file,
// WorkFailed for a file that is not a readable image or whose pixels are neither 8- nor 16-bit
// integers; every message names the file.
cv::Mat ReadGreyImage(const std::string& path);

// Writes an image, creating the folder it goes in. Throws WorkFailed when it cannot.
void WriteImage(const std::string& path, const cv::Mat& image);

// Creates a folder and its parents; throws WorkFailed when it cannot.
void MakeFolder(const std::string& path);

// "W x H" for messages.
std::string SizeText(cv::Size size);

}  // namespace dotcal
