#pragma once

#include <igtl_header.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace dotcal {

// Why `header` (in host byte order) is not an OpenIGTLink header, as a phrase, or "" when it is
// one: protocol version 1 to 3 (2 adds nothing to the header, 3 an extended header inside the
// body), a message type of printable characters.
std::string IgtlHeaderFault(const igtl_header& header);

// Follows what a client sends to the tracking server, which answers no queries: it checks each
// OpenIGTLink header (protocol version 1 to 3, a type name of printable characters) and skips
// the body it announces, without keeping it. Clients such as 3D Slicer may send STATUS or GET_
// messages; those are fine. Anything else is not OpenIGTLink, and the client is dropped.
class IncomingMessages {
 public:
  // Takes the next `size` bytes of the stream. Returns false, with Fault() saying why, at the
  // first header that is not OpenIGTLink; every later call then returns false too.
  bool Take(const char* data, std::size_t size);

  const std::string& Fault() const { return fault_; }
  std::uint64_t Messages() const { return messages_; }  // whole headers taken

 private:
  bool CheckHeader();

  unsigned char header_[IGTL_HEADER_SIZE] = {};
  std::size_t headerBytes_ = 0;  // bytes of the header being read
  std::uint64_t bodyLeft_ = 0;   // bytes of the current body still to skip
  std::uint64_t messages_ = 0;
  std::string fault_;
};

}  // namespace dotcal
