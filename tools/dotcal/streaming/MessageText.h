#pragma once

#include <cstdint>
#include <string>

namespace dotcal {

// A message as it came over the connection: its header's bytes (IGTL_HEADER_SIZE) and its body,
// both as sent (network byte order). The body is kept for TRANSFORM and STATUS messages only.
struct ReceivedMessage {
  std::string header, body;
  std::uint64_t bodySize = 0;  // the body's size as the header gives it
};

// One line of `dotcal igtl-listen` for a received message: its type, device name and timestamp
// (seconds, to the microsecond), then its values:
//   TRANSFORM: the 12 numbers of the pose's upper three rows, row by row (r11 r12 r13 tx r21 ...);
//   STATUS: the code, the subcode, the error name and the status string in quotes;
//   other types: the body's size in bytes.
// The body is unpacked by OpenIGTLink with its CRC checked; one that fails says so instead of
// its values.
std::string MessageText(const ReceivedMessage& message);

}  // namespace dotcal
