#include "inputs/StorageFile.h"

#include <filesystem>

#include "CommandError.h"

namespace dotcal {

cv::FileStorage OpenStorageFile(const std::string& path, const std::string& kind) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::exists(path, error)) throw UsageError(path + ": no such file");
  if (!fs::is_regular_file(path, error)) throw WorkFailed(path + ": not a file");
  const std::string what = path + ": not a YAML, XML or JSON " + kind + " file";
  cv::FileStorage storage;
  try {
    storage.open(path, cv::FileStorage::READ);
  } catch (const cv::Exception& e) {
    throw WorkFailed(what + " (" + e.err + ")");
  }
  if (!storage.isOpened() || !storage.root().isMap()) throw WorkFailed(what);
  return storage;
}

}  // namespace dotcal
