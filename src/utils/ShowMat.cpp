#include <cstdlib>

#include <opencv2/highgui.hpp>

#include "Utils.h"

namespace Oskelo::CV::Native64::Utils {
namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

}  // namespace

void ShowMat(const cv::Mat& matrix) {
  // Without a display the GUI toolkit cannot open a window, and waitKey would wait for a key that
  // never comes; a host running headless must not stall on a debugging aid.
  if (!HasDisplay()) return;
  cv::namedWindow("Kiv", cv::WINDOW_AUTOSIZE);
  cv::imshow("Kiv", matrix);
  cv::waitKey(0);
}

}  // namespace Oskelo::CV::Native64::Utils
