#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "native64/Calibration.h"
#include "native64/ExportedTypes.h"
#include "native64/ImageProcessor.h"
#include "native64/Native64Export.h"

// Detection and pair extraction from images that carry their own size and row step. The raw entry
// points (ImageProcessor::FindTargets, Calibration::ExtractPair) take a bare pointer and read the
// buffer's layout from the settings record: imageRect.height rows of imageRect.width bytes, each
// row preceded by columnOffset bytes that are not image whenever the width is not 1248 (default
// 27). A host with packed rows that only sets imageRect to its camera's size therefore has its
// buffer read with 27 more bytes per row than it holds: the rows come out skewed and the last ones
// lie past the buffer's end. These entry points take the layout from the image instead, so they
// cannot read outside it: hosts and bindings that hold their frames as cv::Mat should call them.
//
// For the call each sets imageRect's width and height to the image's size (the origin x, y stays
// as the host set it, and the size stays after the call: ComputeStereoCalibration reads it) and
// reads the image as it lies in memory, without leading bytes and with its own row step. The
// settings that describe a raw buffer are neither read nor changed: columnOffset is not applied,
// and imageType gives way to the image's own type, which must be CV_8UC1. Apart from that the
// results, and every change to the settings record, are exactly those of the raw entry point on a
// packed copy of the image read without leading bytes (columnOffset 0, or noColumnOffset true).
namespace Oskelo::CV::Native64 {

// Short form of ImageProcessor::FindTargets on `image`: an 8-bit one-channel matrix (CV_8UC1) of
// any size, continuous or a view into a larger image. Throws cv::Exception, before anything is
// changed, for an empty image, another type or more than two dimensions; otherwise refuses what
// the raw entry point refuses.
NATIVE64_API bool FindTargetsInImage(ImageProcessor& detector, const cv::Mat& image,
                                     std::vector<cv::Point_<double>>& targets);

// Long form of ImageProcessor::FindTargets on `image` (the tracking form: `roi` and `targetRect`
// carry the search region from call to call), with the checks of the short form.
NATIVE64_API bool FindTargetsInImage(ImageProcessor& detector, const cv::Mat& image,
                                     std::vector<cv::Point_<double>>& targets,
                                     cv::Rect_<int>& roi, cv::Rect_<int>& targetRect,
                                     const std::vector<cv::Rect_<int>>& exclusions);

// Calibration::ExtractPair on two images of one stereo pair, each checked as above; they must
// have the same size (one detector serves both cameras). Throws cv::Exception, before anything
// is changed or appended, when they do not.
NATIVE64_API bool ExtractPairFromImages(Calibration& calibration, const cv::Mat& left,
                                        const cv::Mat& right);

// The threshold sweep of ExtractPairFromImages for one still image: detects in the forced
// whole-frame state at the thresholds 20, 25, ..., 215 (or once with the settings as they are,
// when fixedThreshold is set) and again at the middle successful threshold. True, with that final
// detection's ordered targets, when some threshold shows the target; `threshold`, when given,
// receives the threshold of the final detection. False leaves `targets` as it was. Checks the image
// as FindTargetsInImage does. Detections of one frame share its measurements, as the pair
// extraction's do, so the sweep costs far less than 40 separate calls.
NATIVE64_API bool FindTargetsBySweep(ImageProcessor& detector, const cv::Mat& image,
                                     std::vector<cv::Point_<double>>& targets,
                                     int* threshold = nullptr);

}  // namespace Oskelo::CV::Native64
