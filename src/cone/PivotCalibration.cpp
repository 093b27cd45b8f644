#include "cone/SphereFits.h"
#include "native64/Cone.h"

namespace Oskelo::CV::Native64 {

// Pivot calibration: every marker of a tool pivoted about its tip moves on a sphere about the tip,
// so the mean of the markers' sphere centres estimates the tip. The tracks are checked before the
// first fit, so a refused track leaves the object as it was.
void Cone::Calibrate() {
  for (const std::vector<cv::Point3_<double>>& track : markerTracks) {
    detail::RequireSphereFitInput(fitMethod, track.size());
  }

  cv::Point3_<double> sum(0.0, 0.0, 0.0);
  for (std::vector<cv::Point3_<double>>& track : markerTracks) {
    cv::Point3_<double> center;
    double radius = 0.0;
    FitSphere(track, center, radius);
    sum += center;
  }
  // No tracks: 0/0 makes the pivot NaN.
  const double markers = static_cast<double>(static_cast<int>(markerTracks.size()));
  Calibrate(sum / markers);
}

void Cone::Calibrate(cv::Point3_<double> pivotPoint) {
  for (std::size_t i = 0; i < markerTracks.size(); ++i) {
    if (markerTracks[i].empty()) {
      CV_Error(cv::Error::StsBadSize, cv::format("Calibrate: the track of marker %zu is empty", i));
    }
  }
  pivot = pivotPoint;
  markerOffsets.clear();
  for (const std::vector<cv::Point3_<double>>& track : markerTracks) {
    markerOffsets.push_back(track[0] - pivot);
  }
}

}  // namespace Oskelo::CV::Native64
