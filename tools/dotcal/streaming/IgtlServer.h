#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "streaming/IgtlAddress.h"

namespace dotcal {

// What the server does with its clients, chosen for navigation clients that follow a tracker
// live: a client that falls behind gets no growing backlog of old poses.
struct IgtlServerOptions {
  // How long a frame may wait unsent for a client before the client is dropped, seconds. A
  // client a second behind no longer follows the tools live; a reader that pauses for a moment
  // (a busy display, a garbage collection) catches up well within it.
  double maxLagSeconds = 1.0;
  // Frames a client may have waiting unsent before it is dropped, whatever their age: a bound of
  // the memory a client can hold (frames are shared between clients; 1024 frames of two tools
  // are 430 kB). At camera rates up to 1000 frames per second the lag above comes first.
  std::size_t maxQueuedFrames = 1024;
  // Kernel send buffer per client, bytes (the kernel doubles it). A small buffer keeps what waits
  // in the kernel, which the queue cannot see, to some tens of frames; 4 KiB still carries
  // several hundred kB/s on a 10 ms network, some ten times what 100 frames per second of two
  // tools need.
  int sendBufferBytes = 4096;
  // How long Finish waits for the clients to take what is queued and close, seconds.
  double finishSeconds = 2.0;
};

// An OpenIGTLink server for a stream of frames: it listens on an address, accepts any number of
// clients, and sends each one every frame published after it connected. One sender thread runs
// a poll loop over non-blocking sockets: it accepts clients, writes their queued frames, and reads
// what they send (IncomingMessages). Publish only appends a shared buffer to each client's queue,
// so a slow or stalled client never holds up the caller; a client whose queue exceeds
// maxQueuedFrames is dropped, one that closes or sends what is not OpenIGTLink is forgotten, and
// the others go on. What happens to clients is told through notes ("client ... connected").
class IgtlServer {
 public:
  // Binds and listens. Throws WorkFailed, naming the address and the system's reason, when the
  // address cannot be bound (a port in use, an address not of this machine).
  IgtlServer(const IgtlAddress& address, const std::string& option,
             IgtlServerOptions options = IgtlServerOptions());
  ~IgtlServer();  // closes every connection at once, without waiting
  IgtlServer(const IgtlServer&) = delete;
  IgtlServer& operator=(const IgtlServer&) = delete;

  // The bound address, with the port the system chose when port 0 was asked for.
  const std::string& Address() const { return address_; }

  // Waits until `count` clients are connected; returns false when `stop` said true first
  // (checked every 100 ms). `note` is called with each note meanwhile, on the caller's thread.
  bool WaitForClients(std::size_t count, const std::function<bool()>& stop,
                      const std::function<void(const std::string&)>& note);

  // Queues one frame's bytes for every connected client.
  void Publish(std::string frame);

  // The notes since the last call, oldest first.
  std::vector<std::string> TakeNotes();

  std::size_t Clients() const;

  // Lets the clients take what is queued for them (up to finishSeconds), closes every connection
  // and stops the thread. Later calls do nothing.
  void Finish();

 private:
  struct Client;
  void Run();
  void Accept();
  void Serve(Client& client, short events);
  void Write(Client& client);
  void Read(Client& client);
  void Drop(Client& client, const std::string& why);
  void Note(const std::string& text);  // with mutex_ held
  void Wake();
  void Stop(bool flush);

  IgtlServerOptions options_;
  std::string address_;
  int listen_ = -1;  // the listening socket
  int wake_ = -1;    // an eventfd that wakes the poll loop
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a client connected or left
  std::list<std::unique_ptr<Client>> clients_;
  std::vector<std::string> notes_;
  bool finishing_ = false;  // Finish was called: flush and close
  bool flush_ = true;       // whether finishing waits for the queues
  std::thread thread_;
};

}  // namespace dotcal
