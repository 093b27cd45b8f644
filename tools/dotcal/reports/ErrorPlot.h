#pragma once

#include <opencv2/core.hpp>

#include "reports/ViewErrors.h"

namespace dotcal {

// A bar chart of the per-view reprojection errors: two bars per view (left and right camera),
// a pixel scale on the left, the view's pair number below. A colour image, ready for a PNG.
cv::Mat PlotViewErrors(const ViewErrors& errors);

}  // namespace dotcal
