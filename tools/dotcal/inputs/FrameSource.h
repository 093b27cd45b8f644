#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace dotcal {

// One frame of a camera's sequence as the trackers see it.
struct Frame {
  cv::Mat image;      // 8-bit grey with packed rows; empty when the frame could not be read
  double time = 0.0;  // seconds from the start of the source
  std::string name;   // the file, or the frame's place in the source, for messages
  std::string error;  // why the frame could not be read (empty when it was)
};

// The frames of one camera, in order: image files, a video file or a live camera.
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // The next frame; false at the end of the source. A frame that does not decode is returned
  // with an empty image and its error, and the source goes on.
  virtual bool Next(Frame& frame) = 0;
  // Frames still to come, when known without reading them (image files); -1 otherwise.
  virtual long long Remaining() const = 0;
  // Reads (and drops) every frame still to come and returns how many there were; -1 for a
  // camera, which has no end.
  virtual long long CountRest() = 0;
  // "camera v4l2:0", "video take.mkv", "40 image files" for messages.
  virtual std::string Describe() const = 0;
};

// Opens a frame source named on the command line by `option`:
// - "v4l2:N" or a device path under /dev (e.g. /dev/video0): a camera through OpenCV's V4L2
//   backend; time from the driver's frame timestamps (CAP_PROP_POS_MSEC), the first frame at 0;
// - one file with a video extension (.mkv, .avi, .mp4, .mov, .webm, .m4v, .mpg, .mpeg, .ts): a
//   video through OpenCV's FFmpeg backend; time from the stream's timestamps (CAP_PROP_POS_MSEC);
// - otherwise image files and patterns (ExpandPatterns, sorted by name); frame i at time
//   i / rate; 16-bit images take ImageSeries' rule for `bits` (0: auto) over the series.
// Colour frames are converted to grey (cv::COLOR_BGR2GRAY); for frames whose three channels are
// equal, as a grey video decoded to BGR, that gives the stored grey exactly, since the conversion's
// fixed-point weights sum to one. Every frame must have `expected` size (the calibration's, named
// by `what`). Throws UsageError for a pattern that matches nothing or a missing file, WorkFailed
// for a camera or video that cannot be opened and for images that do not fit together.
std::unique_ptr<FrameSource> OpenFrameSource(const std::vector<std::string>& source,
                                             const std::string& option, double rate, int bits,
                                             cv::Size expected, const std::string& what);

// Whether the text names a camera ("v4l2:N" or a path under /dev/).
bool IsCameraName(const std::string& text);

}  // namespace dotcal
