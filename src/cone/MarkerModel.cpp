#include "cone/Kabsch.h"
#include "native64/ToolPivot.h"

namespace Oskelo::CV::Native64 {

// One round of generalised Procrustes analysis: each frame registered onto the first (Kabsch),
// then the registered frames averaged marker by marker.
std::vector<cv::Point3d> MeanMarkerModel(const std::vector<std::vector<cv::Point3d>>& frames) {
  if (frames.empty()) CV_Error(cv::Error::StsBadSize, "MeanMarkerModel: no frames");
  const std::size_t markers = frames[0].size();
  if (markers < 3) {
    CV_Error(
        cv::Error::StsBadSize,
        cv::format("MeanMarkerModel: %zu markers per frame; a model needs at least 3", markers));
  }
  for (std::size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].size() != markers) {
      CV_Error(cv::Error::StsUnmatchedSizes,
               cv::format("MeanMarkerModel: frame %zu holds %zu markers, frame 0 %zu", i,
                          frames[i].size(), markers));
    }
  }

  std::vector<cv::Vec3d> sum(markers, cv::Vec3d(0.0, 0.0, 0.0));
  for (const std::vector<cv::Point3d>& frame : frames) {
    const detail::RigidPose onFirst = detail::RegisterRigid(frame, frames[0]);
    for (std::size_t m = 0; m < markers; ++m) sum[m] += onFirst.R * cv::Vec3d(frame[m]) + onFirst.t;
  }
  std::vector<cv::Point3d> model;
  model.reserve(markers);
  const double count = static_cast<double>(frames.size());
  for (const cv::Vec3d& s : sum) model.push_back(cv::Point3d(s / count));
  return model;
}

}  // namespace Oskelo::CV::Native64
