#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "native64/ExportedTypes.h"
#include "native64/Native64Export.h"

// Small services shared by the library and its hosts: timing, distances, matrix text, and a
// debugging display.
namespace Oskelo::CV::Native64::Utils {

// Measures wall time between Start and Stop on a monotonic counter of nanoseconds.
class NATIVE64_API Stopwatch {
 public:
  // Both counter values start at 0, so GetElapsedTime is 0.0 until Start or Stop is called.
  Stopwatch();
  Stopwatch& operator=(const Stopwatch& other) = default;

  void Start();  // takes the start count
  void Stop();   // takes the stop count

  // Seconds from the last Start to the last Stop. Negative if Start came after the last Stop
  // (or Stop was never called).
  double GetElapsedTime() const;

 private:
  double LIToSecs(const std::int64_t& count) const;

  std::int64_t startCount;  // counter value of the last Start, in counts
  std::int64_t stopCount;   // counter value of the last Stop, in counts
  std::int64_t frequency;   // counts per second of the counter (1e9: nanoseconds)
};

// Euclidean distance of two points.
NATIVE64_API void GeoDist(const cv::Point3_<double>& a, const cv::Point3_<double>& b,
                          double& distance);

// Distances of a[i] and b[i] for every element of a; `distances` is cleared first. Throws
// cv::Exception when b holds fewer points than a.
NATIVE64_API void GeoDist(const std::vector<cv::Point3_<double>>& a,
                          const std::vector<cv::Point3_<double>>& b,
                          std::vector<double>& distances);

// Writes the matrix as text: a leading newline, then one line per row with the row's values
// (all channels of each column, in memory order) printed as "%f" and joined by ", ".
// 8- and 16-bit one-channel integers, 16-, 32- and 64-bit floats of any channel count are written;
// for other element types the text is "\n". The text grows to whatever length the matrix needs.
NATIVE64_API void MatToString(const cv::Mat& matrix, std::string& text);

// Shows the matrix in the window "Kiv" and waits for a key press. Without a display (neither
// DISPLAY nor WAYLAND_DISPLAY set) it shows nothing and returns at once.
NATIVE64_API void ShowMat(const cv::Mat& matrix);

}  // namespace Oskelo::CV::Native64::Utils
