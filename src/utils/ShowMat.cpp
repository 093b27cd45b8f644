#include <opencv2/highgui.hpp>

#include "native64/Utils.h"
#include "utils/Display.h"

namespace Oskelo::CV::Native64::Utils {

void ShowMat(const cv::Mat& matrix) {
  // A host running headless must not stall on a debugging aid.
  if (!detail::DisplayAvailable()) return;
  cv::namedWindow("Kiv", cv::WINDOW_AUTOSIZE);
  cv::imshow("Kiv", matrix);
  cv::waitKey(0);
}

}  // namespace Oskelo::CV::Native64::Utils
