#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace dotcal {

// Opens a YAML, XML or JSON file of cv::FileStorage for reading. `kind` names what it should be in
// messages ("calibration", "target"). Throws UsageError when the file does not exist, WorkFailed
// when it is no such file or its top level is not a map of keys.
cv::FileStorage OpenStorageFile(const std::string& path, const std::string& kind);

}  // namespace dotcal
