#include "streaming/IgtlServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "CommandError.h"
#include "streaming/IncomingMessages.h"

namespace dotcal {
namespace {

using Clock = std::chrono::steady_clock;

// Connections that may wait in the kernel for the sender thread to accept them.
constexpr int kListenBacklog = 16;
// Bytes read from a client at a time.
constexpr std::size_t kReadChunk = 4096;

std::string SystemError() { return std::strerror(errno); }

}  // namespace

struct IgtlServer::Client {
  int fd = -1;
  std::string peer;  // "127.0.0.1:53422", for notes
  struct Queued {
    std::shared_ptr<const std::string> bytes;
    Clock::time_point at;  // when it was published
  };
  std::deque<Queued> queue;
  std::size_t sent = 0;  // bytes of queue.front() already sent
  IncomingMessages incoming;
  std::string overflow;  // set by Publish when the queue was full: why to drop the client
  bool closing = false;  // our side is shut down; waiting for the client to close
  bool gone = false;     // closed; removed at the top of the loop
};

IgtlServer::IgtlServer(const IgtlAddress& address, const std::string& option,
                       IgtlServerOptions options)
    : options_(options) {
  const SocketAddress resolved = ResolveIgtlAddress(address, option).front();
  const std::string where = option + ": cannot listen on " + address.Text() + ": ";
  listen_ = socket(resolved.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_ < 0) throw WorkFailed(where + SystemError());
  // A port left in TIME_WAIT by the last run can be bound again; a port that another server
  // listens on still cannot.
  const int yes = 1;
  setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(listen_, reinterpret_cast<const sockaddr*>(&resolved.storage), resolved.length) != 0 ||
      ::listen(listen_, kListenBacklog) != 0) {
    const int error = errno;
    close(listen_);
    throw WorkFailed(
        where + std::strerror(error) +
        (error == EADDRINUSE ? " (another program serves that port; choose another)" : ""));
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &length);
  address_ = SocketAddressText(bound);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    const std::string reason = SystemError();
    close(listen_);
    throw WorkFailed(where + reason);
  }
  thread_ = std::thread(&IgtlServer::Run, this);
}

IgtlServer::~IgtlServer() {
  Stop(false);
  if (listen_ >= 0) close(listen_);
  if (wake_ >= 0) close(wake_);
}

void IgtlServer::Finish() { Stop(true); }

void IgtlServer::Stop(bool flush) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    finishing_ = true;
    flush_ = flush;
  }
  Wake();
  thread_.join();
}

void IgtlServer::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the loop, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

void IgtlServer::Note(const std::string& text) {
  notes_.push_back(text);
  changed_.notify_all();
}

std::vector<std::string> IgtlServer::TakeNotes() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> notes;
  notes.swap(notes_);
  return notes;
}

std::size_t IgtlServer::Clients() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (const auto& client : clients_) count += !client->gone && client->overflow.empty();
  return count;
}

bool IgtlServer::WaitForClients(std::size_t count, const std::function<bool()>& stop,
                                const std::function<void(const std::string&)>& note) {
  for (;;) {
    std::vector<std::string> notes;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !notes_.empty(); });
      notes.swap(notes_);
    }
    for (const std::string& text : notes) note(text);
    if (Clients() >= count) return true;
    if (stop()) return false;
  }
}

void IgtlServer::Publish(std::string frame) {
  const auto shared = std::make_shared<const std::string>(std::move(frame));
  const Clock::time_point now = Clock::now();
  const std::string why = " (it stopped reading, or reads too slowly)";
  // The sender polls every client with a frame waiting for room to write it, so it needs waking
  // only for a queue that was empty: a syscall saved on most frames when clients lag a little.
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& client : clients_) {
      if (client->gone || client->closing || !client->overflow.empty()) continue;
      if (!client->queue.empty()) {
        const double lag = std::chrono::duration<double>(now - client->queue.front().at).count();
        if (lag > options_.maxLagSeconds) {
          char seconds[32];
          std::snprintf(seconds, sizeof seconds, "%.1f", lag);
          client->overflow =
              "dropped: a frame waited " + std::string(seconds) + " s for it unsent" + why;
          continue;
        }
        if (client->queue.size() >= options_.maxQueuedFrames) {
          client->overflow = "dropped: " + std::to_string(client->queue.size()) +
                             " frames waited for it unsent" + why;
          continue;
        }
      }
      wake = wake || client->queue.empty();
      client->queue.push_back({shared, now});
    }
  }
  if (wake) Wake();
}

void IgtlServer::Run() {
  std::vector<pollfd> fds;
  std::vector<Client*> polled;
  Clock::time_point deadline{};
  bool deadlineSet = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    for (const auto& client : clients_) {
      if (!client->gone && !client->overflow.empty()) Drop(*client, client->overflow);
    }
    clients_.remove_if([](const std::unique_ptr<Client>& client) { return client->gone; });
    int timeoutMs = -1;
    if (finishing_) {
      if (!deadlineSet) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options_.finishSeconds));
        deadlineSet = true;
      }
      for (const auto& client : clients_) {
        if (!client->closing && (!flush_ || client->queue.empty())) {
          shutdown(client->fd, SHUT_WR);  // the client reads to the end, then sees it
          client->closing = true;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (clients_.empty() || !flush_ || left.count() <= 0) break;
      timeoutMs = static_cast<int>(left.count()) + 1;
    }
    fds.assign({{wake_, POLLIN, 0}});
    if (!finishing_) fds.push_back({listen_, POLLIN, 0});
    polled.clear();
    for (const auto& client : clients_) {
      const bool pending = !client->queue.empty() && !client->closing;
      fds.push_back({client->fd, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0});
      polled.push_back(client.get());
    }
    lock.unlock();
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    lock.lock();
    if (ready < 0 && errno != EINTR) {
      Note("OpenIGTLink server stopped: poll failed: " + SystemError());
      break;
    }
    if (ready <= 0) continue;
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
    }
    const std::size_t first = finishing_ ? 1 : 2;
    if (!finishing_ && fds[1].revents != 0) Accept();
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (fds[first + i].revents != 0) Serve(*polled[i], fds[first + i].revents);
    }
  }
  for (const auto& client : clients_) {
    if (client->gone) continue;
    const std::size_t unsent = client->queue.size();
    if (unsent > 0 && flush_) {
      Drop(*client, "closed with " + std::to_string(unsent) + " frames unsent");
    } else {
      close(client->fd);
      client->gone = true;
    }
  }
  clients_.clear();
  changed_.notify_all();
}

void IgtlServer::Accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd =
        accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        Note("OpenIGTLink: a client could not be accepted: " + SystemError());
      }
      return;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options_.sendBufferBytes,
               sizeof options_.sendBufferBytes);
    const int yes = 1;  // each frame goes out as it is written, not held for more
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->peer = SocketAddressText(peer);
    clients_.push_back(std::move(client));
    std::size_t connected = 0;
    for (const auto& c : clients_) connected += !c->gone;
    Note("OpenIGTLink client " + clients_.back()->peer + " connected (" +
         std::to_string(connected) + " connected)");
  }
}

void IgtlServer::Serve(Client& client, short events) {
  if (client.gone) return;
  if (events & (POLLIN | POLLHUP | POLLERR)) Read(client);
  if (!client.gone && (events & POLLOUT)) Write(client);
}

void IgtlServer::Read(Client& client) {
  char buffer[kReadChunk];
  for (;;) {
    const ssize_t got = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      if (!client.incoming.Take(buffer, static_cast<std::size_t>(got))) {
        Drop(client, "dropped: it sent what is not OpenIGTLink (" + client.incoming.Fault() + ")");
        return;
      }
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got < 0 && errno == EINTR) continue;
    if (client.closing && got == 0) {
      close(client.fd);  // closed after taking everything: nothing to say
      client.gone = true;
      changed_.notify_all();
      return;
    }
    Drop(client, got == 0 ? "disconnected" : "disconnected: " + SystemError());
    return;
  }
}

void IgtlServer::Write(Client& client) {
  while (!client.queue.empty()) {
    const std::string& frame = *client.queue.front().bytes;
    const ssize_t sent = send(client.fd, frame.data() + client.sent, frame.size() - client.sent,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR) continue;
      Drop(client, "disconnected: " + SystemError());
      return;
    }
    client.sent += static_cast<std::size_t>(sent);
    if (client.sent == frame.size()) {
      client.queue.pop_front();
      client.sent = 0;
    }
  }
}

void IgtlServer::Drop(Client& client, const std::string& why) {
  close(client.fd);
  client.gone = true;
  client.queue.clear();
  std::size_t connected = 0;
  for (const auto& c : clients_) connected += !c->gone;
  Note("OpenIGTLink client " + client.peer + " " + why + " (" + std::to_string(connected) +
       " connected)");
}

}  // namespace dotcal
