#include "native64/ImageProcessorSettings.h"

namespace Oskelo::CV::Native64 {

ImageProcessorSettings::ImageProcessorSettings()
    : imageType(0),
      contourMethod(1),  // CHAIN_APPROX_NONE: contour lengths in boundary pixels
      contourMode(2),    // RETR_CCOMP: a box and its holes
      reserved0(0),
      thresholdState(3),
      threshold(0),
      meanGrey(128),
      referenceGrey(128),
      reserved1(0),
      stateCounter(10),
      columnOffset(27),
      imageRect(0, 0, 1248, 1082),
      roiMargin(30),
      refineMargin(0),
      refinePower(2),
      fixedRoi(false),
      fixedThreshold(false),
      reservedFlag0(false),
      debug(false),
      gridColumns(0),
      gridRows(0),
      reservedFlag1(false),
      gridMap(),
      dotSpacing(16.0),
      dotDiameter(8.0),
      sizeScale(1.0),
      dotCount(7) {}

ImageProcessorSettings::ImageProcessorSettings(const ImageProcessorSettings& other) = default;
ImageProcessorSettings& ImageProcessorSettings::operator=(const ImageProcessorSettings& other) =
    default;
ImageProcessorSettings::~ImageProcessorSettings() = default;

}  // namespace Oskelo::CV::Native64
