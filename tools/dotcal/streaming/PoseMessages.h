#pragma once

#include <igtlStatusMessage.h>
#include <igtlTransformMessage.h>

#include <string>
#include <vector>

#include "workflows/ToolTracker.h"

namespace dotcal {

// The two devices a tool streams, named in the FromToTo convention of navigation software:
// "PointerToTracker" (the tool's frame) and "PointerTipToTracker" (the same rotation about the
// tip), or "...ToReference" when the poses are in a reference frame. The tool's name begins the
// names with its first letter in capitals.
struct ToolDevices {
  std::string tool, tip;
};

// Throws UsageError when a name is longer than OpenIGTLink's 20-byte device names (it would be
// cut short, and two tools could then share a name) or when two tools give the same names.
std::vector<ToolDevices> NameToolDevices(const std::vector<std::string>& tools, bool reference);

// The OpenIGTLink messages of one frame: per tool, an OK pose as two TRANSFORM messages (4 x 4
// pose, translation in millimetres), any other status as two STATUS messages of the same device
// names, so that a client sees each device once per frame and never a stale pose. Every message
// carries the frame's time as its timestamp.
class PoseMessages {
 public:
  // `devices`: each tool's names, in the order of the poses; `mmPerUnit`: millimetres per unit of
  // the poses' lengths (1 for a calibration in mm).
  PoseMessages(std::vector<ToolDevices> devices, double mmPerUnit);

  // The packed bytes of the frame's messages, tool by tool: TRANSFORM or STATUS for the tool,
  // then for its tip. `time`: seconds from the start of the series (the rows' time).
  std::string Frame(double time, const std::vector<ToolPose>& poses);

 private:
  void AppendTransform(std::string& bytes, const std::string& device, const cv::Matx33d& R,
                       const cv::Point3d& translation);
  void AppendStatus(std::string& bytes, const std::string& device, TrackStatus status);

  std::vector<ToolDevices> devices_;
  double mmPerUnit_;
  unsigned int seconds_ = 0, fraction_ = 0;  // the frame's timestamp, 32.32 fixed point
  igtl::TransformMessage::Pointer transform_;
  igtl::StatusMessage::Pointer status_;
};

// Millimetres per unit for "mm", "cm", "m" and "in"; throws WorkFailed for another unit.
double MillimetresPerUnit(const std::string& unit);

// The rotation matrix of a unit quaternion (w, x, y, z).
cv::Matx33d RotationFromQuaternion(const cv::Vec4d& q);

}  // namespace dotcal
