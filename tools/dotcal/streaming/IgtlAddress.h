#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

namespace dotcal {

// The port IANA registered for OpenIGTLink, which 3D Slicer's OpenIGTLinkIF connects to first.
constexpr int kIgtlDefaultPort = 18944;

// A host and port as the command line gives them: "[HOST:]PORT", "HOST" (the default port) or
// "[IPV6]:PORT". HOST is an IPv4 address, an IPv6 address in brackets, or a host name (letters,
// digits, '-' and '.'); PORT is 0 to 65535, where 0 asks a server for any free port.
struct IgtlAddress {
  std::string host;
  int port = kIgtlDefaultPort;

  std::string Text() const;  // "127.0.0.1:18944", "[::1]:18944"
};

// Parses `text` for `option` (named in messages); a missing host is `defaultHost`. Throws
// UsageError for a port that is not a number from 0 to 65535 and for a host that cannot be one:
// characters no host name holds, or four dotted numbers that are not an IPv4 address. The
// syntax is checked without a name lookup.
IgtlAddress ParseIgtlAddress(const std::string& text, const std::string& option,
                             const std::string& defaultHost);

// A socket address to bind or connect to.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
};

// Looks the host up (getaddrinfo; numeric addresses need no lookup) and returns its addresses,
// in the resolver's order (a name such as localhost may have an IPv6 and an IPv4 one). Throws
// UsageError, naming `option`, when the host is not known.
std::vector<SocketAddress> ResolveIgtlAddress(const IgtlAddress& address,
                                              const std::string& option);

// The numeric "host:port" of a connected peer or a bound socket.
std::string SocketAddressText(const sockaddr_storage& storage);

}  // namespace dotcal
