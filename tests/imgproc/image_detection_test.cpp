// Detection from images that carry their own layout. A packed frame of another width than 1248 is
// read up to its last byte and no further, and every result and every setting comes out exactly
// as the raw entry point gives them on the same pixels read without leading bytes, for continuous
// images and for views into larger ones.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <opencv2/imgproc.hpp>
#include <set>

#include "imgproc/image_views.h"
#include "imgproc/settings_record.h"
#include "native64/Calibration.h"
#include "native64/ImageDetection.h"
#include "synth/Renderer.h"
#include "synth/Scenes.h"

namespace {

using namespace Oskelo::CV::Native64;
using Points = std::vector<cv::Point2d>;

// A host camera whose rows are not 1248 pixels wide, so that the default column offset applies.
constexpr int kHostWidth = 1280, kHostHeight = 964;

synth::Camera Camera(int width, int height, double focalPx) {
  synth::Camera camera;
  camera.imageSize = {width, height};
  camera.K = cv::Matx33d(focalPx, 0, (width - 1) / 2.0, 0, focalPx, (height - 1) / 2.0, 0, 0, 1);
  return camera;
}

// The plate 950 mm before the host camera (focal length 1500 px): its box images about
// 450 x 640 px, inside the outline window of the plate's nominal geometry.
cv::Mat HostPlate(cv::Point2d at, double tiltXDeg, std::uint64_t seed) {
  const synth::Camera camera = Camera(kHostWidth, kHostHeight, 1500.0);
  const synth::PlacedTarget plate =
      synth::PlaceInView(synth::Target::CalibrationPlate(), camera, at, 950.0, tiltXDeg, -8.0, 4.0);
  synth::RenderSettings render;
  render.seed = seed;
  return synth::Render(camera, {plate}, render).image;
}

// A packed copy of an image whose last byte ends a readable page, followed by a page that may not
// be read: a read past the frame is a segmentation fault.
class GuardedFrame {
 public:
  explicit GuardedFrame(const cv::Mat& image) : rows_(image.rows), cols_(image.cols) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = static_cast<std::size_t>(rows_) * cols_;
    const std::size_t readable = (bytes + page - 1) / page * page;
    length_ = readable + page;
    void* mapping =
        mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    CV_Assert(mapping != MAP_FAILED);
    mapping_ = static_cast<unsigned char*>(mapping);
    CV_Assert(mprotect(mapping_ + readable, page, PROT_NONE) == 0);
    data_ = mapping_ + readable - bytes;
    for (int r = 0; r < rows_; ++r) std::memcpy(data_ + r * cols_, image.ptr(r), cols_);
  }
  GuardedFrame(const GuardedFrame&) = delete;
  GuardedFrame& operator=(const GuardedFrame&) = delete;
  ~GuardedFrame() { munmap(mapping_, length_); }

  const unsigned char* data() const { return data_; }
  cv::Mat Image() const { return cv::Mat(rows_, cols_, CV_8UC1, data_); }

 private:
  int rows_, cols_;
  std::size_t length_ = 0;
  unsigned char* mapping_ = nullptr;
  unsigned char* data_ = nullptr;
};

TEST(ImageDetection, PackedFrameOfAnotherWidthIsReadNoFurtherThanItsLastByte) {
  const GuardedFrame left(HostPlate({640, 482}, 10.0, 1)), right(HostPlate({600, 470}, -6.0, 2));
  const Calibration defaults;
  ASSERT_EQ(defaults.settings->columnOffset, kDefaultColumnOffset);
  const cv::Rect hostImage(0, 0, kHostWidth, kHostHeight);

  // Pair extraction: the raw host states its size and that its rows have no leading bytes.
  Calibration raw, safe;
  raw.settings->imageRect = hostImage;
  raw.settings->columnOffset = 0;
  ASSERT_TRUE(raw.ExtractPair(left.data(), right.data()));
  ASSERT_TRUE(ExtractPairFromImages(safe, left.Image(), right.Image()));
  ASSERT_EQ(raw.leftTargets[0].size(), 117u);
  EXPECT_EQ(safe.leftTargets, raw.leftTargets);
  EXPECT_EQ(safe.rightTargets, raw.rightTargets);
  ExpectSameRecordAsRaw(*safe.settings, *raw.settings, kDefaultColumnOffset);

  // Short form from the defaults: the first call misses at threshold 0 and takes the frame's
  // mean grey level, which lies between the dots and the plate, so a later call finds it.
  ImageProcessor rawShort, safeShort;
  *rawShort.settings = *safeShort.settings = *defaults.settings;
  rawShort.settings->imageRect = hostImage;
  rawShort.settings->columnOffset = 0;
  // Long form: the raw host passes noColumnOffset instead, keeping columnOffset 27.
  ImageProcessor rawLong, safeLong;
  *rawLong.settings = *safeLong.settings = *defaults.settings;
  rawLong.settings->imageRect = hostImage;
  cv::Rect rawRoi = hostImage, rawTargetRect = hostImage;
  cv::Rect safeRoi = hostImage, safeTargetRect = hostImage;

  int shortFound = 0, longFound = 0;
  for (const GuardedFrame* frame : {&left, &right, &left, &right}) {
    Points rawTargets, safeTargets;
    const bool rawShortFound = rawShort.FindTargets(frame->data(), rawTargets);
    ASSERT_EQ(FindTargetsInImage(safeShort, frame->Image(), safeTargets), rawShortFound);
    EXPECT_EQ(safeTargets, rawTargets);
    ExpectSameRecordAsRaw(*safeShort.settings, *rawShort.settings, kDefaultColumnOffset);
    shortFound += rawShortFound ? 1 : 0;

    const bool rawLongFound =
        rawLong.FindTargets(frame->data(), rawTargets, rawRoi, rawTargetRect, {}, true);
    ASSERT_EQ(
        FindTargetsInImage(safeLong, frame->Image(), safeTargets, safeRoi, safeTargetRect, {}),
        rawLongFound);
    EXPECT_EQ(safeTargets, rawTargets);
    EXPECT_EQ(safeRoi, rawRoi);
    EXPECT_EQ(safeTargetRect, rawTargetRect);
    ExpectSameRecord(*safeLong.settings, *rawLong.settings);
    longFound += rawLongFound ? 1 : 0;
  }
  EXPECT_GE(shortFound, 2);  // every call after the first
  EXPECT_GE(longFound, 2);
}

// A 7-dot tracker crossing a 320 x 240 image (focal length 400 px, 250 mm away: a box of about
// 128 x 77 px), lost in one blank frame and then followed again, so that tracking, both retries
// (four calls each) and the whole-frame search all run.
std::vector<cv::Mat> TrackerSequence() {
  constexpr int kWidth = 320, kHeight = 240, kFrames = 16, kBlankFrame = 4;
  const synth::Camera camera = Camera(kWidth, kHeight, 400.0);
  std::vector<cv::Mat> frames;
  for (int i = 0; i < kFrames; ++i) {
    if (i == kBlankFrame) {
      frames.emplace_back(kHeight, kWidth, CV_8UC1, cv::Scalar(20));
      continue;
    }
    const synth::PlacedTarget placed =
        synth::PlaceInView(synth::Target::Tracker(), camera, {80.0 + 10 * i, 100.0 + 3 * i}, 250.0,
                           2.0 * i, -10.0 + i, 3.0 * i);
    synth::RenderSettings render;
    render.seed = 100 + i;
    frames.push_back(synth::Render(camera, {placed}, render).image);
  }
  return frames;
}

TEST(ImageDetection, GivesTheRawResultsOnContinuousImagesAndViewsOverATrackingSequence) {
  const std::vector<cv::Mat> sequence = TrackerSequence();
  const cv::Rect wholeImage(0, 0, sequence[0].cols, sequence[0].rows);
  for (const bool asView : {false, true}) {
    SCOPED_TRACE(asView ? "view into a larger image" : "continuous image");
    ImageProcessor raw, safe, rawShort, safeShort;
    auto& s = *raw.settings;
    s.gridColumns = 4;
    s.gridRows = 2;
    s.thresholdState = 2;                // the first threshold is Otsu's
    s.imageRect = cv::Rect(5, 3, 1, 1);  // an origin for the centres; the size is the image's
    *safe.settings = *rawShort.settings = *safeShort.settings = s;
    raw.settings->imageRect.width = rawShort.settings->imageRect.width = wholeImage.width;
    raw.settings->imageRect.height = rawShort.settings->imageRect.height = wholeImage.height;
    rawShort.settings->columnOffset = 0;
    cv::Rect rawRoi = wholeImage, rawTargetRect = wholeImage;
    cv::Rect safeRoi = wholeImage, safeTargetRect = wholeImage;

    std::set<int> statesAfterACall;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
      SCOPED_TRACE(i);
      const cv::Mat packed = sequence[i].clone();
      const cv::Mat image = asView ? AsViewIntoLarger(sequence[i], i) : packed;
      ASSERT_EQ(image.isContinuous(), !asView);

      Points rawTargets, safeTargets;
      const bool rawFound =
          raw.FindTargets(packed.data, rawTargets, rawRoi, rawTargetRect, {}, true);
      ASSERT_EQ(FindTargetsInImage(safe, image, safeTargets, safeRoi, safeTargetRect, {}),
                rawFound);
      EXPECT_EQ(safeTargets, rawTargets);
      EXPECT_EQ(safeRoi, rawRoi);
      EXPECT_EQ(safeTargetRect, rawTargetRect);
      ExpectSameRecord(*safe.settings, *raw.settings);
      statesAfterACall.insert(raw.settings->thresholdState);

      const bool rawShortFound = rawShort.FindTargets(packed.data, rawTargets);
      ASSERT_EQ(FindTargetsInImage(safeShort, image, safeTargets), rawShortFound);
      EXPECT_EQ(safeTargets, rawTargets);
      ExpectSameRecordAsRaw(*safeShort.settings, *rawShort.settings, kDefaultColumnOffset);
    }
    // The comparison covered tracking, both retries and the whole-frame search.
    EXPECT_EQ(statesAfterACall, (std::set<int>{0, 1, 2, 3}));
  }
}

}  // namespace
