// Loads a calibration file with cv::FileStorage, as a user of OpenCV's stereo tools does, and
// checks that every key is there with its shape. Exit status 0 when all are, 1 otherwise.
#include <cstdio>
#include <opencv2/core.hpp>

namespace {

struct Key {
  const char* name;
  int rows, cols;  // rows 0: an integer; rows -1: a real number; cols 0: any row of 4, 5 or 8
};

constexpr Key kKeys[] = {
    {"image_width", 0, 0}, {"image_height", 0, 0},
    {"M1", 3, 3},          {"D1", 1, 0},
    {"M2", 3, 3},          {"D2", 1, 0},
    {"R", 3, 3},           {"T", 3, 1},
    {"E", 3, 3},           {"F", 3, 3},
    {"R1", 3, 3},          {"R2", 3, 3},
    {"P1", 3, 4},          {"P2", 3, 4},
    {"Q", 4, 4},           {"rms_left", -1, 0},
    {"rms_right", -1, 0},  {"rms_stereo", -1, 0},
};

bool Check(const cv::FileStorage& storage, const Key& key) {
  const cv::FileNode node = storage[key.name];
  if (node.empty()) return std::printf("%s: missing\n", key.name), false;
  if (key.rows == 0) return node.isInt() && static_cast<int>(node) > 0;
  if (key.rows == -1) return node.isReal() && static_cast<double>(node) >= 0.0;
  cv::Mat m;
  node >> m;
  if (m.type() != CV_64FC1) return std::printf("%s: not 64-bit floats\n", key.name), false;
  if (key.cols == 0) {
    return m.rows == 1 && (m.cols == 4 || m.cols == 5 || m.cols == 8);
  }
  if (m.rows != key.rows || m.cols != key.cols) {
    return std::printf("%s: %d x %d\n", key.name, m.rows, m.cols), false;
  }
  return cv::checkRange(m);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: calibration_yaml_check FILE\n");
    return 2;
  }
  cv::FileStorage storage(argv[1], cv::FileStorage::READ);
  if (!storage.isOpened()) {
    std::printf("%s: cannot be opened\n", argv[1]);
    return 1;
  }
  int failed = 0, passed = 0;
  for (const Key& key : kKeys) {
    if (Check(storage, key)) {
      ++passed;
    } else {
      ++failed;
      std::printf("%s: wrong or missing\n", key.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
