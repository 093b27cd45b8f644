// The OpenIGTLink side of `dotcal track`: addresses, the messages of a frame, what the listener
// prints, the check of what clients send, and the server with clients that read, stall, leave or
// send garbage. The server runs in this process on a loopback port the system chooses.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <thread>

#include "CommandError.h"
#include "igtl_client.h"
#include "streaming/IgtlAddress.h"
#include "streaming/IgtlServer.h"
#include "streaming/IncomingMessages.h"
#include "streaming/MessageText.h"
#include "streaming/PoseMessages.h"

namespace {

using namespace dotcal;

TEST(IgtlAddress, ReadsEveryFormAndRefusesWhatIsNoAddress) {
  struct Case {
    const char* text;
    const char* host;
    int port;
  };
  for (const Case& c :
       {Case{"5000", "127.0.0.1", 5000}, Case{"localhost:0", "localhost", 0},
        Case{"10.1.2.3", "10.1.2.3", kIgtlDefaultPort},
        Case{"tracker-1.lab", "tracker-1.lab", kIgtlDefaultPort}, Case{"[::1]:65535", "::1", 65535},
        Case{"[::1]", "::1", kIgtlDefaultPort}}) {
    const IgtlAddress a = ParseIgtlAddress(c.text, "--x", "127.0.0.1");
    EXPECT_EQ(a.host, c.host) << c.text;
    EXPECT_EQ(a.port, c.port) << c.text;
  }
  EXPECT_EQ(ParseIgtlAddress("[::1]:7", "--x", "h").Text(), "[::1]:7");
  for (const char* bad : {"65536", "host:-1", "host:", ":5000", "300.1.2.3", "1.2.3.4.5",
                          "bad_host!", "two words", "[::1", "[::1]x", "[1.2.3.4]:5", "h:12a"}) {
    EXPECT_THROW(ParseIgtlAddress(bad, "--x", "127.0.0.1"), UsageError) << bad;
  }
  try {
    ParseIgtlAddress("300.1.2.3", "--igtl-server", "127.0.0.1");
  } catch (const UsageError& e) {
    EXPECT_STREQ(e.what(), "--igtl-server: '300.1.2.3' is not an IPv4 address");
  }
}

TEST(ToolDevices, FollowTheFromToToNamesWithinTheProtocolsLength) {
  const std::vector<ToolDevices> devices = NameToolDevices({"pointer", "probe"}, false);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].tool, "PointerToTracker");
  EXPECT_EQ(devices[0].tip, "PointerTipToTracker");
  EXPECT_EQ(NameToolDevices({"probe"}, true)[0].tip, "ProbeTipToReference");
  // 20 bytes fit: "Abcdefghi" + "TipToTracker" is 21.
  EXPECT_NO_THROW(NameToolDevices({"abcdefgh"}, false));
  EXPECT_THROW(NameToolDevices({"abcdefghi"}, false), UsageError);
  // Names that differ only in the first letter's case would share the devices.
  EXPECT_THROW(NameToolDevices({"probe", "Probe"}, false), UsageError);
}

// A pose turned about an oblique axis, away from the origin.
ToolPose OkPose() {
  ToolPose pose;
  pose.status = TrackStatus::kOk;
  cv::Matx33d R;
  cv::Rodrigues(cv::Vec3d(0.3, -0.5, 1.1), R);
  pose.rotation = QuaternionFromRotation(R);
  pose.position = {12.5, -40.25, 81.0};
  pose.tip = {2.0, -3.0, 97.5};
  return pose;
}

// Splits packed bytes into messages, as a client receives them.
std::vector<ReceivedMessage> SplitMessages(const std::string& bytes) {
  std::vector<ReceivedMessage> messages;
  std::size_t at = 0;
  while (at + IGTL_HEADER_SIZE <= bytes.size()) {
    igtl_header header;
    std::memcpy(&header, bytes.data() + at, IGTL_HEADER_SIZE);
    igtl_header_convert_byte_order(&header);
    ReceivedMessage m;
    m.header = bytes.substr(at, IGTL_HEADER_SIZE);
    m.body = bytes.substr(at + IGTL_HEADER_SIZE, header.body_size);
    m.bodySize = header.body_size;
    messages.push_back(m);
    at += IGTL_HEADER_SIZE + header.body_size;
  }
  EXPECT_EQ(at, bytes.size());
  return messages;
}

std::vector<double> Numbers(const std::string& line, std::size_t skip) {
  std::istringstream words(line);
  std::string word;
  std::vector<double> numbers;
  for (std::size_t i = 0; words >> word; ++i) {
    if (i >= skip) numbers.push_back(std::stod(word));
  }
  return numbers;
}

TEST(PoseMessages, SendAnOkPoseAsTransformsInMillimetresAndAnyOtherAsStatus) {
  // A calibration in cm: the messages carry 10 times the lengths.
  PoseMessages messages(NameToolDevices({"pointer", "probe"}, false), 10.0);
  ToolPose missing;
  missing.status = TrackStatus::kMissing;
  const ToolPose ok = OkPose();
  const std::vector<ReceivedMessage> frame = SplitMessages(messages.Frame(1.5, {ok, missing}));
  ASSERT_EQ(frame.size(), 4u);
  const cv::Matx33d R = RotationFromQuaternion(ok.rotation);
  const char* devices[] = {"PointerToTracker", "PointerTipToTracker", "ProbeToTracker",
                           "ProbeTipToTracker"};
  for (int k = 0; k < 4; ++k) {
    const std::string line = MessageText(frame[k]);
    const std::string start = std::string(k < 2 ? "TRANSFORM " : "STATUS ") + devices[k] +
                              " 1.500000";  // 1.5 s is exact in 32.32 fixed point
    EXPECT_EQ(line.substr(0, start.size()), start) << line;
    if (k >= 2) {
      EXPECT_EQ(line.substr(start.size()),
                " 4 0 MISSING \"the tool was not found in both images\"");
      continue;
    }
    // The float's rounding: 1 ulp at 1 is 1.2e-7, at 1000 mm 6e-5 mm.
    const std::vector<double> values = Numbers(line, 3);
    ASSERT_EQ(values.size(), 12u) << line;
    const cv::Point3d t = 10.0 * (k == 0 ? ok.position : ok.tip);
    const double translation[] = {t.x, t.y, t.z};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(values[4 * r + c], R(r, c), 2e-7);
      EXPECT_NEAR(values[4 * r + 3], translation[r], 1e-4);
    }
  }
  // The first frame's time is 0, not a missing timestamp filled in with the clock.
  const std::vector<ReceivedMessage> first = SplitMessages(messages.Frame(0.0, {ok, ok}));
  EXPECT_EQ(MessageText(first[0]).substr(0, 26), "TRANSFORM PointerToTracker");
  EXPECT_NE(MessageText(first[0]).find(" 0.000000 "), std::string::npos);

  // One changed byte of a body fails the CRC check, and the line says so.
  ReceivedMessage broken = frame[0];
  broken.body[5] ^= 0x01;
  EXPECT_NE(MessageText(broken).find("fails its CRC check"), std::string::npos);
}

TEST(IncomingMessages, SkipsWhatClientsSendAndStopsAtGarbage) {
  PoseMessages messages(NameToolDevices({"pointer"}, false), 1.0);
  ToolPose lost;
  lost.status = TrackStatus::kOutOfOrder;
  // Two STATUS messages, given a byte at a time: headers and bodies split anywhere.
  const std::string bytes = messages.Frame(0.25, {lost});
  IncomingMessages incoming;
  for (char c : bytes) ASSERT_TRUE(incoming.Take(&c, 1));
  EXPECT_EQ(incoming.Messages(), 2u);
  // The body is skipped unread: bytes inside it that would be no header pass, and the next
  // header is looked for where the body ends.
  igtl_header header;
  std::memcpy(&header, bytes.data(), IGTL_HEADER_SIZE);
  igtl_header_convert_byte_order(&header);
  const std::string withBody =
      bytes.substr(0, IGTL_HEADER_SIZE) + std::string(header.body_size, 'x') + bytes;
  IncomingMessages skipping;
  EXPECT_TRUE(skipping.Take(withBody.data(), withBody.size()));
  EXPECT_EQ(skipping.Messages(), 3u);
  EXPECT_FALSE(skipping.Take("x", 1) && skipping.Take(std::string(60, 'x').data(), 60));

  const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n" + std::string(40, ' ');
  IncomingMessages garbage;
  EXPECT_FALSE(garbage.Take(http.data(), http.size()));
  EXPECT_NE(garbage.Fault().find("protocol version 18245"), std::string::npos) << garbage.Fault();
  EXPECT_FALSE(garbage.Take(bytes.data(), bytes.size()));  // stays refused

  std::string noType = bytes.substr(0, IGTL_HEADER_SIZE);
  noType[2] = '\0';  // an empty type name
  IncomingMessages unnamed;
  EXPECT_FALSE(unnamed.Take(noType.data(), noType.size()));
  EXPECT_NE(unnamed.Fault().find("message type"), std::string::npos);
}

// A quarter of a second's lag drops a client here, to keep the tests short.
IgtlServerOptions QuickOptions() {
  IgtlServerOptions options;
  options.maxLagSeconds = 0.25;
  return options;
}

// The server on a free loopback port, with frames of one tool.
class IgtlServerTest : public ::testing::Test {
 protected:
  explicit IgtlServerTest(IgtlServerOptions options = QuickOptions())
      : server_(ParseIgtlAddress("127.0.0.1:0", "--igtl-server", ""), "--igtl-server", options) {
    port_ = std::stoi(server_.Address().substr(server_.Address().rfind(':') + 1));
  }

  std::string FrameBytes(int k) { return messages_.Frame(k / 30.0, {OkPose()}); }

  // Waits (at most 10 s) until the server has `count` clients.
  void AwaitClients(std::size_t count) {
    ASSERT_TRUE(server_.WaitForClients(
        count,
        [start = std::chrono::steady_clock::now()] {
          return std::chrono::steady_clock::now() - start > std::chrono::seconds(10);
        },
        [](const std::string&) {}));
  }

  // Waits (at most 10 s) for a new note that holds `text`; returns the notes taken meanwhile.
  // Every note is kept in notes_ as well.
  std::string AwaitNote(const std::string& text) {
    std::string taken;
    const auto start = std::chrono::steady_clock::now();
    while (taken.find(text) == std::string::npos &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
      for (const std::string& note : server_.TakeNotes()) taken += note + "\n";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    notes_ += taken;
    return taken;
  }

  PoseMessages messages_{NameToolDevices({"pointer"}, false), 1.0};
  IgtlServer server_;
  int port_ = 0;
  std::string notes_;
};

TEST_F(IgtlServerTest, EveryReadingClientGetsEveryFrameWhileAStalledOneIsDropped) {
  igtl::ClientSocket::Pointer a = ConnectIgtl(port_), b = ConnectIgtl(port_);
  ASSERT_TRUE(a && b);
  const int stalled = ConnectStalledClient(port_);
  EXPECT_GE(stalled, 0);
  AwaitClients(3);
  std::vector<IgtlReceived> gotA, gotB;
  std::thread readA([&] { gotA = ReceiveAllIgtl(a); }), readB([&] { gotB = ReceiveAllIgtl(b); });
  // A frame a millisecond until the stalled client is dropped (the kernel holds some 20 frames
  // of 212 bytes for it, then its queue ages), and as many again after it.
  int frames = 0;
  const auto start = std::chrono::steady_clock::now();
  while (server_.Clients() == 3 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    server_.Publish(FrameBytes(frames++));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (const int end = 2 * frames; frames < end;) server_.Publish(FrameBytes(frames++));
  const std::string notes = AwaitNote("dropped");
  EXPECT_NE(notes.find("dropped: a frame waited 0.3 s for it unsent"), std::string::npos) << notes;
  EXPECT_EQ(server_.Clients(), 2u);
  const std::size_t kFrames = static_cast<std::size_t>(frames);
  server_.Finish();
  readA.join();
  readB.join();
  close(stalled);
  for (const std::vector<IgtlReceived>* got : {&gotA, &gotB}) {
    ASSERT_EQ(got->size(), 2u * kFrames);
    for (std::size_t i = 0; i < got->size(); ++i) {
      const IgtlReceived& m = (*got)[i];
      ASSERT_TRUE(m.crcOk) << i;
      EXPECT_EQ(m.device, i % 2 == 0 ? "PointerToTracker" : "PointerTipToTracker") << i;
      // 2^-32 s steps: the 32.32 timestamp of k / 30 s is within 1e-9 s of it.
      EXPECT_NEAR(m.time, static_cast<double>(i / 2) / 30.0, 1e-9) << i;
    }
  }
}

TEST_F(IgtlServerTest, ClientsThatLeaveOrSendGarbageAreForgottenAndTheOthersServed) {
  igtl::ClientSocket::Pointer stays = ConnectIgtl(port_), leaves = ConnectIgtl(port_);
  ASSERT_TRUE(stays && leaves);
  AwaitClients(2);
  server_.Publish(FrameBytes(0));
  IgtlReceived first;
  ASSERT_TRUE(ReceiveIgtl(leaves, first));
  leaves->CloseSocket();
  EXPECT_NE(AwaitNote("disconnected").find("disconnected (1 connected)"), std::string::npos);

  // A client that speaks HTTP: dropped at its first header.
  igtl::ClientSocket::Pointer garbage = ConnectIgtl(port_);
  ASSERT_TRUE(garbage);
  AwaitClients(2);
  const std::string http = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n" + std::string(30, '\n');
  garbage->Send(http.data(), static_cast<int>(http.size()));
  const std::string notes = AwaitNote("not OpenIGTLink");
  EXPECT_NE(notes.find("dropped: it sent what is not OpenIGTLink (a header of protocol version"),
            std::string::npos)
      << notes;
  IgtlReceived none;
  EXPECT_FALSE(ReceiveIgtl(garbage, none));  // the server closed it

  // A client that sends proper OpenIGTLink (3D Slicer sends STATUS and queries) stays.
  igtl::ClientSocket::Pointer talks = ConnectIgtl(port_);
  ASSERT_TRUE(talks);
  AwaitClients(2);
  const std::string status = messages_.Frame(0.0, {ToolPose()});
  talks->Send(status.data(), static_cast<int>(status.size()));
  std::vector<IgtlReceived> gotStays, gotTalks;
  std::thread readStays([&] { gotStays = ReceiveAllIgtl(stays); });
  std::thread readTalks([&] { gotTalks = ReceiveAllIgtl(talks); });
  for (int k = 1; k < 5; ++k) server_.Publish(FrameBytes(k));
  server_.Finish();
  readStays.join();
  readTalks.join();
  EXPECT_EQ(gotStays.size(), 10u);  // frames 0 to 4, two transforms each
  EXPECT_EQ(gotTalks.size(), 8u);
  for (const std::string& note : server_.TakeNotes()) notes_ += note + "\n";
  // Only the garbage client was dropped, and only the one that left disconnected.
  EXPECT_EQ(notes_.find("dropped"), notes_.rfind("dropped")) << notes_;
  EXPECT_EQ(notes_.find("disconnected"), notes_.rfind("disconnected")) << notes_;
}

// A server that bounds each client's queue to 16 frames, whatever their age.
class IgtlShortQueueTest : public IgtlServerTest {
 protected:
  static IgtlServerOptions ShortQueue() {
    IgtlServerOptions options;
    options.maxQueuedFrames = 16;
    return options;
  }
  IgtlShortQueueTest() : IgtlServerTest(ShortQueue()) {}
};

TEST_F(IgtlShortQueueTest, AClientWithAFullQueueIsDroppedBeforeItsFramesAge) {
  igtl::ClientSocket::Pointer reads = ConnectIgtl(port_);
  ASSERT_TRUE(reads);
  const int stalled = ConnectStalledClient(port_);
  EXPECT_GE(stalled, 0);
  AwaitClients(2);
  std::vector<IgtlReceived> got;
  std::thread reader([&] { got = ReceiveAllIgtl(reads); });
  // Far more frames than the stalled client's kernel buffers and queue hold. The reader's
  // buffers take every frame at once: its queue fills only if the sender thread stalls for 16
  // frames, 32 ms.
  constexpr int kFrames = 400;
  for (int k = 0; k < kFrames; ++k) {
    server_.Publish(FrameBytes(k));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  server_.Finish();
  reader.join();
  close(stalled);
  const std::string notes = AwaitNote("dropped");
  EXPECT_NE(notes.find("dropped: 16 frames waited for it unsent"), std::string::npos) << notes;
  EXPECT_EQ(got.size(), 2u * kFrames);
}

TEST(IgtlServer, APortInUseIsNamedWithTheReason) {
  IgtlServer first(ParseIgtlAddress("127.0.0.1:0", "--igtl-server", ""), "--igtl-server");
  const std::string address = first.Address();
  try {
    IgtlServer second(ParseIgtlAddress(address, "--igtl-server", ""), "--igtl-server");
    FAIL() << "a second server on " << address;
  } catch (const WorkFailed& e) {
    EXPECT_EQ(std::string(e.what()), "--igtl-server: cannot listen on " + address +
                                         ": Address already in use (another program serves "
                                         "that port; choose another)");
  }
}

}  // namespace
