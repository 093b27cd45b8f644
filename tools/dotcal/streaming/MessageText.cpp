#include "streaming/MessageText.h"

#include <igtlMessageHeader.h>
#include <igtlStatusMessage.h>
#include <igtlTransformMessage.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dotcal {
namespace {

// A float as the shortest text that reads back as the same float (9 significant digits).
void AppendNumber(std::string& line, double value) {
  char text[32];
  std::snprintf(text, sizeof text, " %.9g", value);
  line += text;
}

// `message`'s body unpacked into `body` (a message of the header's type), CRC checked.
bool UnpackBody(const igtl::MessageHeader::Pointer& header, const std::string& bytes,
                igtl::MessageBase* body) {
  body->SetMessageHeader(header);
  body->AllocatePack();
  if (static_cast<std::size_t>(body->GetPackBodySize()) != bytes.size()) return false;
  std::memcpy(body->GetPackBodyPointer(), bytes.data(), bytes.size());
  return (body->Unpack(1) & igtl::MessageBase::UNPACK_BODY) != 0;
}

std::string TransformValues(const igtl::MessageHeader::Pointer& header, const std::string& body) {
  const igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
  if (!UnpackBody(header, body, transform)) return "";
  igtl::Matrix4x4 m;
  transform->GetMatrix(m);
  std::string values;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) AppendNumber(values, m[r][c]);
  return values;
}

std::string StatusValues(const igtl::MessageHeader::Pointer& header, const std::string& body) {
  const igtl::StatusMessage::Pointer status = igtl::StatusMessage::New();
  if (!UnpackBody(header, body, status)) return "";
  return " " + std::to_string(status->GetCode()) + " " + std::to_string(status->GetSubCode()) +
         " " + status->GetErrorName() + " \"" + status->GetStatusString() + "\"";
}

}  // namespace

std::string MessageText(const ReceivedMessage& message) {
  const igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
  header->InitPack();
  std::memcpy(header->GetPackPointer(), message.header.data(),
              std::min<std::size_t>(message.header.size(), header->GetPackSize()));
  header->Unpack();
  const std::string type = header->GetDeviceType();
  unsigned int seconds = 0, fraction = 0;
  header->GetTimeStamp(&seconds, &fraction);
  char time[48];
  // 32.32 fixed point: the fraction is in units of 2^-32 s.
  std::snprintf(time, sizeof time, " %.6f", seconds + fraction / 4294967296.0);
  std::string line = type + " " + header->GetDeviceName() + time;
  if (type != "TRANSFORM" && type != "STATUS") {
    return line + " (" + std::to_string(message.bodySize) + " bytes)";
  }
  const std::string values = type == "TRANSFORM" ? TransformValues(header, message.body)
                                                 : StatusValues(header, message.body);
  if (values.empty()) return line + " (the body does not unpack or fails its CRC check)";
  return line + values;
}

}  // namespace dotcal
