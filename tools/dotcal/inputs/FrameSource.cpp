#include "inputs/FrameSource.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "CommandError.h"
#include "inputs/ImageFiles.h"
#include "inputs/ImageSeries.h"

namespace dotcal {
namespace {

constexpr std::array<const char*, 9> kVideoExtensions = {".mkv", ".avi", ".mp4",  ".mov", ".webm",
                                                         ".m4v", ".mpg", ".mpeg", ".ts"};

bool IsVideoName(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kVideoExtensions.begin(), kVideoExtensions.end(), extension) !=
         kVideoExtensions.end();
}

// The frame as 8-bit grey with packed rows.
cv::Mat Grey(const cv::Mat& frame) {
  cv::Mat grey;
  if (frame.channels() == 3) {
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  } else if (frame.channels() == 4) {
    cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
  } else {
    grey = frame.isContinuous() ? frame : frame.clone();
  }
  if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U);
  return grey;
}

void CheckSize(const cv::Mat& image, cv::Size expected, const std::string& name,
               const std::string& what) {
  if (expected.area() > 0 && image.size() != expected) {
    throw WorkFailed(name + ": the frame is " + SizeText(image.size()) + " pixels, but " + what +
                     " is for " + SizeText(expected));
  }
}

// Image files: read one at a time, so that a long sequence never sits in memory.
class ImageFileSource : public FrameSource {
 public:
  ImageFileSource(std::vector<std::string> files, double rate, int bits, cv::Size expected,
                  const std::string& what)
      : files_(std::move(files)), rate_(rate) {
    std::vector<std::string> readable;
    try {
      series_ = ImageSeries::Scan(files_, bits, expected, what);
      return;
    } catch (const WorkFailed&) {
      // Some file does not fit: find the ones that do not decode, which the tracking reports
      // frame by frame; a series that still does not fit together fails below.
    }
    for (const std::string& file : files_) {
      try {
        ReadGreyImage(file);
        readable.push_back(file);
      } catch (const WorkFailed&) {
      }
    }
    if (readable.empty()) throw WorkFailed("none of the " + Describe() + " can be read");
    series_ = ImageSeries::Scan(readable, bits, expected, what);
  }

  bool Next(Frame& frame) override {
    if (next_ >= files_.size()) return false;
    frame = Frame();
    frame.name = files_[next_];
    frame.time = static_cast<double>(next_) / rate_;
    ++next_;
    try {
      frame.image = series_.Load(frame.name);
    } catch (const std::exception& e) {
      frame.error = e.what();
    }
    return true;
  }
  long long Remaining() const override { return static_cast<long long>(files_.size() - next_); }
  long long CountRest() override {
    const long long rest = Remaining();
    next_ = files_.size();
    return rest;
  }
  std::string Describe() const override { return std::to_string(files_.size()) + " image files"; }

 private:
  std::vector<std::string> files_;
  double rate_;
  ImageSeries series_;
  std::size_t next_ = 0;
};

// A video file or a camera, through OpenCV's videoio.
class CaptureSource : public FrameSource {
 public:
  CaptureSource(cv::VideoCapture capture, std::string description, bool camera, cv::Size expected,
                std::string what)
      : capture_(std::move(capture)),
        description_(std::move(description)),
        camera_(camera),
        expected_(expected),
        what_(std::move(what)) {}

  bool Next(Frame& frame) override {
    cv::Mat raw;
    if (!capture_.read(raw) || raw.empty()) return false;
    frame = Frame();
    frame.name = description_ + " frame " + std::to_string(index_++);
    // A video's stream times start at 0; a camera's are the driver's clock, so its first frame
    // becomes time 0.
    const double seconds = capture_.get(cv::CAP_PROP_POS_MSEC) / 1000.0;
    if (index_ == 1) start_ = camera_ ? seconds : 0.0;
    frame.time = seconds - start_;
    frame.image = Grey(raw);
    CheckSize(frame.image, expected_, frame.name, what_);
    return true;
  }
  long long Remaining() const override { return -1; }
  long long CountRest() override {
    if (camera_) return -1;
    long long rest = 0;
    while (capture_.grab()) ++rest;
    return rest;
  }
  std::string Describe() const override { return description_; }

 private:
  cv::VideoCapture capture_;
  std::string description_;
  bool camera_;
  cv::Size expected_;
  std::string what_;
  long long index_ = 0;
  double start_ = 0.0;  // the time of the first frame, seconds
};

std::unique_ptr<FrameSource> OpenCamera(const std::string& name, cv::Size expected,
                                        const std::string& what) {
  cv::VideoCapture capture;
  const std::string prefix = "v4l2:";
  if (name.rfind(prefix, 0) == 0) {
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > 4 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c); })) {
      throw UsageError("camera '" + name + "': v4l2: takes a device number, e.g. v4l2:0");
    }
    capture.open(std::stoi(digits), cv::CAP_V4L2);
  } else {
    capture.open(name, cv::CAP_V4L2);
  }
  if (!capture.isOpened()) {
    throw WorkFailed("camera " + name +
                     " cannot be opened (V4L2): no such device, no access, or it is in use");
  }
  if (expected.area() > 0) {
    // Ask for the calibration's size; the frames are checked against it all the same.
    capture.set(cv::CAP_PROP_FRAME_WIDTH, expected.width);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, expected.height);
  }
  return std::make_unique<CaptureSource>(std::move(capture), "camera " + name, true, expected,
                                         what);
}

std::unique_ptr<FrameSource> OpenVideo(const std::string& path, cv::Size expected,
                                       const std::string& what) {
  if (!std::filesystem::is_regular_file(path)) throw UsageError(path + ": no such video file");
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  if (!capture.isOpened()) {
    throw WorkFailed(path + ": cannot be read as a video (OpenCV's FFmpeg backend)");
  }
  return std::make_unique<CaptureSource>(std::move(capture), "video " + path, false, expected,
                                         what);
}

}  // namespace

bool IsCameraName(const std::string& text) {
  return text.rfind("v4l2:", 0) == 0 || text.rfind("/dev/", 0) == 0;
}

std::unique_ptr<FrameSource> OpenFrameSource(const std::vector<std::string>& source,
                                             const std::string& option, double rate, int bits,
                                             cv::Size expected, const std::string& what) {
  if (source.size() == 1 && IsCameraName(source.front())) {
    return OpenCamera(source.front(), expected, what);
  }
  if (source.size() == 1 && IsVideoName(source.front())) {
    return OpenVideo(source.front(), expected, what);
  }
  return std::make_unique<ImageFileSource>(ExpandPatterns(source, option), rate, bits, expected,
                                           what);
}

}  // namespace dotcal
