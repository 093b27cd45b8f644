#include <cstdio>

#include "native64/Utils.h"

namespace Oskelo::CV::Native64::Utils {
namespace {

// Appends one value in "%f" form; snprintf tells the length, so any value fits.
void AppendValue(std::string& text, double value) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
  if (length < static_cast<int>(sizeof buffer)) {
    text.append(buffer, static_cast<std::size_t>(length));
    return;
  }
  std::string wide(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(wide.data(), wide.size(), "%f", value);
  text.append(wide.data(), static_cast<std::size_t>(length));
}

template <typename T>
void AppendRows(const cv::Mat& matrix, std::string& text) {
  const int valuesPerRow = matrix.cols * matrix.channels();
  for (int r = 0; r < matrix.rows; ++r) {
    const T* row = matrix.ptr<T>(r);
    for (int i = 0; i < valuesPerRow; ++i) {
      if (i > 0) text += ", ";
      AppendValue(text, static_cast<double>(row[i]));
    }
    text += '\n';
  }
}

}  // namespace

void MatToString(const cv::Mat& matrix, std::string& text) {
  std::string composed = "\n";
  const int type = matrix.type();
  // The element type decides what is written: one-channel integers of 8 and 16 bits, and floats
  // of any channel count; 32-bit integers and multi-channel integers write nothing.
  switch (type) {
    case CV_8UC1: AppendRows<unsigned char>(matrix, composed); break;
    case CV_8SC1: AppendRows<signed char>(matrix, composed); break;
    case CV_16UC1: AppendRows<unsigned short>(matrix, composed); break;
    case CV_16SC1: AppendRows<short>(matrix, composed); break;
    default:
      if (matrix.depth() == CV_32F) {
        AppendRows<float>(matrix, composed);
      } else if (matrix.depth() == CV_16F) {
        // Read as the 2-byte floats they are; reading them as 4-byte floats would run past the
        // matrix.
        AppendRows<cv::float16_t>(matrix, composed);
      } else if (matrix.depth() == CV_64F) {
        AppendRows<double>(matrix, composed);
      }
      break;
  }
  text = std::move(composed);
}

}  // namespace Oskelo::CV::Native64::Utils
