#include "inputs/StorageFile.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CommandError.h"

namespace dotcal {
namespace {

// OpenCV reads YAML only behind a "%YAML" line, which hand-written files (and other tools' files)
// usually leave out. Text that is neither XML nor JSON gets one.
std::string WithYamlLine(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return text;
  const char first = text[start];
  if (first == '<' || first == '{' || text.compare(start, 5, "%YAML") == 0) return text;
  return "%YAML:1.0\n" + text;
}

}  // namespace

cv::FileStorage OpenStorageFile(const std::string& path, const std::string& kind) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::exists(path, error)) throw UsageError(path + ": no such file");
  if (!fs::is_regular_file(path, error)) throw WorkFailed(path + ": not a file");
  const std::string what = path + ": not a YAML, XML or JSON " + kind + " file";
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) throw WorkFailed(path + ": cannot be read");
  cv::FileStorage storage;
  try {
    storage.open(WithYamlLine(text.str()), cv::FileStorage::READ | cv::FileStorage::MEMORY);
  } catch (const cv::Exception& e) {
    throw WorkFailed(what + " (" + e.err + ")");
  }
  if (!storage.isOpened() || !storage.root().isMap()) throw WorkFailed(what);
  return storage;
}

}  // namespace dotcal
