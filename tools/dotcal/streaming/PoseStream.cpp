#include "streaming/PoseStream.h"

namespace dotcal {
namespace {

constexpr const char* kOption = "--igtl-server";
// A server takes connections from this machine alone unless a host is named.
constexpr const char* kDefaultHost = "127.0.0.1";

std::string DeviceList(const std::vector<ToolDevices>& devices) {
  std::string list;
  for (const ToolDevices& d : devices) list += (list.empty() ? "" : ", ") + d.tool + ", " + d.tip;
  return list;
}

}  // namespace

PoseStream::PoseStream(const std::string& address, const std::vector<std::string>& tools,
                       bool reference, double mmPerUnit, std::ostream& err)
    : err_(err),
      messages_(NameToolDevices(tools, reference), mmPerUnit),
      server_(ParseIgtlAddress(address, kOption, kDefaultHost), kOption) {
  err_ << "dotcal track: OpenIGTLink server on " << server_.Address() << " sending "
       << DeviceList(NameToolDevices(tools, reference)) << "\n";
  err_.flush();
}

bool PoseStream::WaitForClients(std::size_t count, const std::function<bool()>& stop) {
  if (count == 0) return true;
  err_ << "dotcal track: waiting for " << count << " OpenIGTLink client" << (count == 1 ? "" : "s")
       << " before the first frame\n";
  err_.flush();
  return server_.WaitForClients(count, stop, [this](const std::string& note) {
    err_ << "dotcal track: " << note << "\n";
    err_.flush();
  });
}

void PoseStream::Publish(double time, const std::vector<ToolPose>& poses) {
  server_.Publish(messages_.Frame(time, poses));
  PrintNotes();
}

void PoseStream::Finish() {
  server_.Finish();
  PrintNotes();
}

void PoseStream::PrintNotes() {
  const std::vector<std::string> notes = server_.TakeNotes();
  for (const std::string& note : notes) err_ << "dotcal track: " << note << "\n";
  if (!notes.empty()) err_.flush();
}

}  // namespace dotcal
