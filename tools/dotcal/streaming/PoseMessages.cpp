#include "streaming/PoseMessages.h"

#include <igtl_header.h>

#include <cctype>
#include <cmath>
#include <set>

#include "CommandError.h"

namespace dotcal {
namespace {

std::string Capitalised(std::string name) {
  if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name;
}

// The status code a client sees for a pose that is not OK, and why.
struct StatusText {
  int code;
  const char* reason;
};

StatusText Explain(TrackStatus status) {
  switch (status) {
    case TrackStatus::kMissing:
      return {igtl::StatusMessage::STATUS_NOT_FOUND, "the tool was not found in both images"};
    case TrackStatus::kOutOfOrder:
      return {igtl::StatusMessage::STATUS_UNKNOWN_ERROR,
              "the dots do not keep the tool's marker distances"};
    case TrackStatus::kHighResidual:
      return {igtl::StatusMessage::STATUS_UNKNOWN_ERROR,
              "the markers fit the tool's model worse than --max-residual allows"};
    case TrackStatus::kOk:
      break;
  }
  return {igtl::StatusMessage::STATUS_OK, "tracked"};
}

}  // namespace

std::vector<ToolDevices> NameToolDevices(const std::vector<std::string>& tools, bool reference) {
  const std::string to = reference ? "ToReference" : "ToTracker";
  std::vector<ToolDevices> devices;
  std::set<std::string> taken;
  for (const std::string& tool : tools) {
    const ToolDevices names{Capitalised(tool) + to, Capitalised(tool) + "Tip" + to};
    if (names.tip.size() > IGTL_HEADER_NAME_SIZE) {
      throw UsageError("the tool name '" + tool + "' makes the OpenIGTLink device name '" +
                       names.tip + "', longer than the protocol's " +
                       std::to_string(IGTL_HEADER_NAME_SIZE) + " characters; give the tool a " +
                       "shorter name in its file");
    }
    if (!taken.insert(names.tool).second) {
      throw UsageError("two tools would stream as '" + names.tool + "'; give them other names");
    }
    devices.push_back(names);
  }
  return devices;
}

double MillimetresPerUnit(const std::string& unit) {
  if (unit == "mm" || unit.empty()) return 1.0;
  if (unit == "cm") return 10.0;
  if (unit == "m") return 1000.0;
  if (unit == "in") return 25.4;
  throw WorkFailed("the unit '" + unit + "' is not mm, cm, m or in");
}

cv::Matx33d RotationFromQuaternion(const cv::Vec4d& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

PoseMessages::PoseMessages(std::vector<ToolDevices> devices, double mmPerUnit)
    : devices_(std::move(devices)),
      mmPerUnit_(mmPerUnit),
      transform_(igtl::TransformMessage::New()),
      status_(igtl::StatusMessage::New()) {}

std::string PoseMessages::Frame(double time, const std::vector<ToolPose>& poses) {
  // OpenIGTLink's timestamp: whole seconds, then the fraction in units of 2^-32 s.
  const double t = std::isfinite(time) && time > 0.0 ? time : 0.0;
  const double whole = std::floor(t);
  const double fraction = std::round((t - whole) * 4294967296.0);
  seconds_ = static_cast<unsigned int>(whole) + (fraction >= 4294967296.0 ? 1u : 0u);
  fraction_ = fraction >= 4294967296.0 ? 0u : static_cast<unsigned int>(fraction);

  std::string bytes;
  for (std::size_t i = 0; i < poses.size() && i < devices_.size(); ++i) {
    const ToolPose& pose = poses[i];
    if (pose.status == TrackStatus::kOk) {
      const cv::Matx33d R = RotationFromQuaternion(pose.rotation);
      AppendTransform(bytes, devices_[i].tool, R, pose.position);
      AppendTransform(bytes, devices_[i].tip, R, pose.tip);
    } else {
      AppendStatus(bytes, devices_[i].tool, pose.status);
      AppendStatus(bytes, devices_[i].tip, pose.status);
    }
  }
  return bytes;
}

void PoseMessages::AppendTransform(std::string& bytes, const std::string& device,
                                   const cv::Matx33d& R, const cv::Point3d& translation) {
  igtl::Matrix4x4 m;
  const double p[3] = {translation.x, translation.y, translation.z};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[r][c] = static_cast<float>(R(r, c));
    m[r][3] = static_cast<float>(p[r] * mmPerUnit_);
    m[3][r] = 0.0f;
  }
  m[3][3] = 1.0f;
  transform_->SetDeviceName(device.c_str());
  transform_->SetTimeStamp(seconds_, fraction_);
  transform_->SetMatrix(m);
  transform_->Pack();
  bytes.append(static_cast<const char*>(transform_->GetPackPointer()),
               static_cast<std::size_t>(transform_->GetPackSize()));
}

void PoseMessages::AppendStatus(std::string& bytes, const std::string& device, TrackStatus status) {
  const StatusText text = Explain(status);
  status_->SetDeviceName(device.c_str());
  status_->SetTimeStamp(seconds_, fraction_);
  status_->SetCode(text.code);
  status_->SetSubCode(0);
  status_->SetErrorName(StatusName(status));
  status_->SetStatusString(text.reason);
  status_->Pack();
  bytes.append(static_cast<const char*>(status_->GetPackPointer()),
               static_cast<std::size_t>(status_->GetPackSize()));
}

}  // namespace dotcal
