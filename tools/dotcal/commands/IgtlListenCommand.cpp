#include <igtl_header.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CommandError.h"
#include "Commands.h"
#include "streaming/IgtlAddress.h"
#include "streaming/IncomingMessages.h"
#include "streaming/MessageText.h"

namespace dotcal {
namespace {

constexpr const char* kWhat = "igtl-listen";
// The largest TRANSFORM or STATUS body shown: a TRANSFORM's is 48 bytes and a STATUS's some
// hundreds; a larger one is a broken or hostile server, and its body is skipped unread.
constexpr std::uint64_t kLargestShownBody = 1 << 20;

// Closes the socket when the command leaves.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

// Connects to the first of the host's addresses that takes the connection.
int Connect(const IgtlAddress& address) {
  std::string reason;
  for (const SocketAddress& a : ResolveIgtlAddress(address, kWhat)) {
    const int fd = socket(a.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0) return fd;
    reason = std::strerror(errno);
    close(fd);
  }
  throw WorkFailed("cannot connect to " + address.Text() + ": " + reason);
}

// Reads `size` bytes into `into` (or drops them when it is null). Returns false when the
// connection ended before the first byte and `mayEnd`; throws WorkFailed when it ended elsewhere
// or broke.
bool Read(int fd, std::uint64_t size, std::string* into, bool mayEnd, long long messages) {
  char buffer[4096];
  std::uint64_t done = 0;
  if (into) into->clear();
  while (done < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 4096));
    const ssize_t got = recv(fd, buffer, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      throw WorkFailed("the connection broke after " + std::to_string(messages) +
                       " messages: " + std::strerror(errno));
    }
    if (got == 0) {
      if (done == 0 && mayEnd) return false;
      throw WorkFailed("the connection ended inside a message, after " + std::to_string(messages) +
                       " whole messages");
    }
    if (into) into->append(buffer, static_cast<std::size_t>(got));
    done += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

void RunIgtlListen(const IgtlListenOptions& options, std::ostream& out, std::ostream& err) {
  if (options.count < 0) throw UsageError("--count takes a number of messages, 0 or more");
  const IgtlAddress address = ParseIgtlAddress(options.address, kWhat, "127.0.0.1");
  const Socket socket(Connect(address));
  err << "dotcal igtl-listen: connected to " << address.Text() << "\n";
  err.flush();
  long long messages = 0;
  ReceivedMessage message;
  while (options.count == 0 || messages < options.count) {
    if (!Read(socket.Fd(), IGTL_HEADER_SIZE, &message.header, true, messages)) break;
    igtl_header header;
    std::memcpy(&header, message.header.data(), IGTL_HEADER_SIZE);
    igtl_header_convert_byte_order(&header);
    const std::string fault = IgtlHeaderFault(header);
    if (!fault.empty()) {
      throw WorkFailed("the server sent what is not OpenIGTLink (" + fault + ") after " +
                       std::to_string(messages) + " messages");
    }
    const std::string type(header.name, strnlen(header.name, IGTL_HEADER_TYPE_SIZE));
    const bool shown =
        (type == "TRANSFORM" || type == "STATUS") && header.body_size <= kLargestShownBody;
    message.bodySize = header.body_size;
    Read(socket.Fd(), header.body_size, shown ? &message.body : nullptr, false, messages);
    if (!shown) message.body.clear();
    out << MessageText(message) << "\n";
    out.flush();
    ++messages;
  }
  err << "dotcal igtl-listen: "
      << (options.count > 0 && messages == options.count ? "stopped" : "the server closed")
      << " after " << messages << " messages\n";
}

}  // namespace dotcal
