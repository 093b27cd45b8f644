#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "streaming/IgtlServer.h"
#include "streaming/PoseMessages.h"
#include "workflows/ToolTracker.h"

namespace dotcal {

// `dotcal track --igtl-server`: every frame's poses as OpenIGTLink messages (PoseMessages) to the
// clients of a server (IgtlServer), with what happens to the clients told on `err` between
// frames, so that these notes never cut into a row or a warning.
class PoseStream {
 public:
  // `address`: "[HOST:]PORT" of --igtl-server (host default 127.0.0.1); `tools`: the tools' names
  // in the order of the poses; `reference`: the poses are in a reference frame; `mmPerUnit`:
  // millimetres per unit of the poses. Throws UsageError for a bad address or tool names that do
  // not make device names, WorkFailed when the address cannot be bound.
  PoseStream(const std::string& address, const std::vector<std::string>& tools, bool reference,
             double mmPerUnit, std::ostream& err);

  // Waits for `count` clients before the first frame; false when `stop` said true first.
  bool WaitForClients(std::size_t count, const std::function<bool()>& stop);

  // Sends one frame's poses to every client. `time`: the frame's time, seconds.
  void Publish(double time, const std::vector<ToolPose>& poses);

  // Lets the clients take what is queued, closes the connections and prints the last notes.
  void Finish();

 private:
  void PrintNotes();

  std::ostream& err_;
  PoseMessages messages_;
  IgtlServer server_;
};

}  // namespace dotcal
