#include "streaming/IncomingMessages.h"

#include <algorithm>
#include <cstring>

namespace dotcal {
namespace {

// The protocol versions a header may carry: 1 and 2 share the header; 3 adds an extended header
// and metadata inside the body, which is skipped whole as well.
constexpr int kFirstVersion = 1;
constexpr int kLastVersion = 3;

}  // namespace

std::string IgtlHeaderFault(const igtl_header& header) {
  if (header.version < kFirstVersion || header.version > kLastVersion) {
    return "a header of protocol version " + std::to_string(header.version) + ", not 1 to 3";
  }
  const char* end = std::find(header.name, header.name + IGTL_HEADER_TYPE_SIZE, '\0');
  const bool printable = end != header.name &&
                         std::all_of(header.name, end, [](char c) { return c > ' ' && c < 0x7f; });
  if (!printable) return "a header whose message type is not a name of printable characters";
  return "";
}

bool IncomingMessages::Take(const char* data, std::size_t size) {
  if (!fault_.empty()) return false;
  while (size > 0) {
    if (bodyLeft_ > 0) {
      const std::size_t skip = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, size));
      bodyLeft_ -= skip;
      data += skip;
      size -= skip;
      continue;
    }
    const std::size_t take = std::min(size, IGTL_HEADER_SIZE - headerBytes_);
    std::memcpy(header_ + headerBytes_, data, take);
    headerBytes_ += take;
    data += take;
    size -= take;
    if (headerBytes_ < IGTL_HEADER_SIZE) break;
    headerBytes_ = 0;
    if (!CheckHeader()) return false;
  }
  return true;
}

bool IncomingMessages::CheckHeader() {
  igtl_header header;
  std::memcpy(&header, header_, IGTL_HEADER_SIZE);
  igtl_header_convert_byte_order(&header);
  fault_ = IgtlHeaderFault(header);
  if (!fault_.empty()) return false;
  bodyLeft_ = header.body_size;
  ++messages_;
  return true;
}

}  // namespace dotcal
