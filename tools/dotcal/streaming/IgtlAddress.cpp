#include "streaming/IgtlAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "CommandError.h"

namespace dotcal {
namespace {

int ParsePort(const std::string& text, const std::string& option) {
  const bool digits =
      !text.empty() && text.size() <= 5 &&
      std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
  const int port = digits ? std::stoi(text) : -1;
  if (port < 0 || port > 65535) {
    throw UsageError(option + ": the port '" + text + "' is not a number from 0 to 65535");
  }
  return port;
}

// A host name (RFC 1123: letters, digits, '-' and '.'), an IPv4 address or an IPv6 address.
void CheckHost(const std::string& host, bool bracketed, const std::string& option) {
  const std::string what = option + ": '" + host + "' is not ";
  if (bracketed) {
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) throw UsageError(what + "an IPv6 address");
    return;
  }
  const bool nameCharacters =
      !host.empty() && host.size() <= 253 && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
      });
  if (!nameCharacters) throw UsageError(what + "a host name or address");
  const bool dotted = std::all_of(host.begin(), host.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
  });
  in_addr v4{};
  if (dotted && inet_pton(AF_INET, host.c_str(), &v4) != 1) {
    throw UsageError(what + "an IPv4 address");
  }
}

}  // namespace

std::string IgtlAddress::Text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

IgtlAddress ParseIgtlAddress(const std::string& text, const std::string& option,
                             const std::string& defaultHost) {
  IgtlAddress address;
  address.host = defaultHost;
  std::string host, port;
  bool bracketed = false;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) throw UsageError(option + ": '" + text + "' lacks its ']'");
    host = text.substr(1, close - 1);
    bracketed = true;
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') throw UsageError(option + ": ':' must follow ']' in " + text);
      port = text.substr(close + 2);
      if (port.empty()) throw UsageError(option + ": '" + text + "' names no port after ':'");
    }
  } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty() || host.empty()) {
      throw UsageError(option + ": '" + text + "' is not [HOST:]PORT");
    }
  } else if (!text.empty() && std::isdigit(static_cast<unsigned char>(text.front()))) {
    // Digits alone are a port; "127.0.0.1" alone is a host.
    const bool onlyDigits =
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    (onlyDigits ? port : host) = text;
  } else {
    host = text;
  }
  if (!host.empty() || bracketed) {
    CheckHost(host, bracketed, option);
    address.host = host;
  }
  if (!port.empty()) address.port = ParsePort(port, option);
  return address;
}

std::vector<SocketAddress> ResolveIgtlAddress(const IgtlAddress& address,
                                              const std::string& option) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  const int status = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    throw UsageError(option + ": the host '" + address.host + "' is not known (" +
                     gai_strerror(status) + ")");
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  std::vector<SocketAddress> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress resolved;
    std::copy_n(reinterpret_cast<const unsigned char*>(a->ai_addr), a->ai_addrlen,
                reinterpret_cast<unsigned char*>(&resolved.storage));
    resolved.length = a->ai_addrlen;
    resolved.family = a->ai_family;
    addresses.push_back(resolved);
  }
  return addresses;
}

std::string SocketAddressText(const sockaddr_storage& storage) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (storage.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    port = ntohs(v6.sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
  inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
  port = ntohs(v4.sin_port);
  return std::string(host) + ":" + std::to_string(port);
}

}  // namespace dotcal
