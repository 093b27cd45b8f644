// `dotcal track --igtl-server` and `dotcal igtl-listen` run as a user runs them, on the moving
// frames of the series that the dotcal_render, dotcal_calibrate and dotcal_pivot_tool tests
// wrote: clients made with the OpenIGTLink library against the rows the same run wrote, a client
// that stops reading, one that sends garbage, the listener, and the answers to bad addresses.
// Every connection is to the loopback address.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <sstream>
#include <thread>

#include "igtl_client.h"
#include "run_dotcal.h"
#include "scratch_folder.h"

extern char** environ;

namespace {

const std::string kSeries = DOTCAL_SERIES;
const std::string kScratch = DOTCAL_SCRATCH;
const std::string kCalib = kSeries + "/calib.yml";
const std::string kPointer = kSeries + "/pointer.yml";
const std::string kProbe = kSeries + "/probe.yml";
const std::string kLeft = kSeries + "/moving/left_*.png";
const std::string kRight = kSeries + "/moving/right_*.png";

// `dotcal track` started in the background, its standard error in a file.
class Tracking {
 public:
  Tracking(const std::string& folder, std::vector<std::string> arguments) : err_(folder + "/err") {
    arguments.insert(arguments.begin(), DOTCAL_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(posix_spawn(&pid_, DOTCAL_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Tracking() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The port the server says it listens on; 0 when it said none within 60 s.
  int Port() {
    const std::string said = "OpenIGTLink server on 127.0.0.1:";
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
      const std::string text = ReadText(err_);
      const std::size_t at = text.find(said);
      const std::size_t end = text.find(' ', at + said.size());
      if (at != std::string::npos && end != std::string::npos) {
        return std::stoi(text.substr(at + said.size(), end - at - said.size()));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  // The exit status (-1 when it did not exit).
  int Wait() {
    int status = 0;
    const pid_t pid = pid_;
    pid_ = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Err() const { return ReadText(err_); }

 private:
  std::string err_;
  pid_t pid_ = 0;
};

struct Row {
  int frame = 0;
  double time = 0.0;
  std::string tool, status;
  double values[10] = {};  // tip, position, quaternion
};

std::vector<Row> ParseRows(const std::string& csv) {
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);  // the header
  std::vector<Row> rows;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    Row row;
    row.frame = std::stoi(f[0]);
    row.time = std::stod(f[1]);
    row.tool = f[2];
    row.status = f[3];
    for (int i = 0; i < 10 && row.status == "OK"; ++i) row.values[i] = std::stod(f[4 + i]);
    rows.push_back(row);
  }
  return rows;
}

cv::Matx33d Rotation(const double* q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

// The rows as lengths of 4 decimals (5e-5 mm) and quaternions of 8; a float holds a length near
// 1000 mm to 3e-5 mm and a rotation term to 6e-8: the two roundings stay within these bounds.
constexpr double kLengthTolMm = 1e-4;
constexpr double kRotationTol = 1e-6;

// Checks that `got` holds, message for message, the rows' transforms: the tool's and the tip's.
void ExpectRowsStreamed(const std::vector<Row>& rows, const std::vector<IgtlReceived>& got,
                        const std::string& who) {
  ASSERT_EQ(got.size(), 2 * rows.size()) << who;
  double last = -1.0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::string name = std::string(1, std::toupper(row.tool[0])) + row.tool.substr(1);
    const cv::Matx33d R = Rotation(row.values + 6);
    for (int k = 0; k < 2; ++k) {
      const IgtlReceived& m = got[2 * i + k];
      const std::string where = who + ", row " + std::to_string(i);
      EXPECT_EQ(m.type, "TRANSFORM") << where;
      EXPECT_EQ(m.device, name + (k == 0 ? "ToTracker" : "TipToTracker")) << where;
      EXPECT_TRUE(m.crcOk) << where;
      // The rows give the time to the millisecond.
      EXPECT_NEAR(m.time, row.time, 5e-4) << where;
      EXPECT_GE(m.time, last) << where;
      last = m.time;
      const double* t = row.values + (k == 0 ? 3 : 0);
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.matrix[r][c], R(r, c), kRotationTol) << where;
        EXPECT_NEAR(m.matrix[r][3], t[r], kLengthTolMm) << where;
      }
    }
  }
}

TEST(DotcalIgtl, TwoClientsReceiveEveryRowWhileAStalledAndAGarbageClientAreDropped) {
  const std::string folder = ScratchFolder(kScratch);
  // The moving frames four times over (128 frames, some 4 s): long enough for the stalled
  // client's kernel buffers (some 10 frames) to fill and its queue to wait for more than the
  // second that drops a client.
  std::vector<std::string> arguments = {"track",
                                        "--calib",
                                        kCalib,
                                        "--tool",
                                        kPointer,
                                        "--tool",
                                        kProbe,
                                        "--out",
                                        folder + "/rows.csv",
                                        "--igtl-server",
                                        "127.0.0.1:0",
                                        "--igtl-wait-clients",
                                        "3",
                                        "--left"};
  for (int i = 0; i < 4; ++i) arguments.push_back(kLeft);
  arguments.push_back("--right");
  for (int i = 0; i < 4; ++i) arguments.push_back(kRight);
  Tracking track(folder, arguments);
  const int port = track.Port();
  ASSERT_GT(port, 0) << track.Err();
  igtl::ClientSocket::Pointer a = ConnectIgtl(port), b = ConnectIgtl(port);
  ASSERT_TRUE(a && b);
  std::vector<IgtlReceived> gotA, gotB;
  std::thread readA([&] { gotA = ReceiveAllIgtl(a); }), readB([&] { gotB = ReceiveAllIgtl(b); });
  const int stalled = ConnectStalledClient(port);
  EXPECT_GE(stalled, 0);
  // A client that sends HTTP instead of OpenIGTLink, once the frames flow.
  igtl::ClientSocket::Pointer garbage = ConnectIgtl(port);
  ASSERT_TRUE(garbage);
  const std::string http = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n" + std::string(30, '\n');
  garbage->Send(http.data(), static_cast<int>(http.size()));

  EXPECT_EQ(track.Wait(), 0) << track.Err();
  readA.join();
  readB.join();
  close(stalled);
  const std::string err = track.Err();
  EXPECT_NE(err.find("dropped: a frame waited"), std::string::npos) << err;
  EXPECT_NE(err.find("dropped: it sent what is not OpenIGTLink"), std::string::npos) << err;
  const std::vector<Row> rows = ParseRows(ReadText(folder + "/rows.csv"));
  ASSERT_EQ(rows.size(), 2u * 128);
  for (const Row& row : rows) ASSERT_EQ(row.status, "OK") << "frame " << row.frame;
  ExpectRowsStreamed(rows, gotA, "client A");
  ExpectRowsStreamed(rows, gotB, "client B");
}

TEST(DotcalIgtl, TheListenerPrintsEveryMessageAndALostToolAsStatus) {
  const std::string folder = ScratchFolder(kScratch);
  // Four frames, the third unreadable: its tools are MISSING. The left frames are copied beside
  // the broken one, since image files are taken in the order of their names.
  std::vector<std::string> left, right;
  for (int i = 0; i < 4; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/left_%03d.png", i);
    left.push_back(folder + name);
    if (i == 2) {
      std::ofstream(left.back()) << "\x89PNG\r\n\x1a\n truncated";
    } else {
      std::filesystem::copy_file(kSeries + "/moving" + name, left.back());
    }
    std::snprintf(name, sizeof name, "/moving/right_%03d.png", i);
    right.push_back(kSeries + name);
  }
  std::vector<std::string> arguments = {"track",
                                        "--calib",
                                        kCalib,
                                        "--tool",
                                        kPointer,
                                        "--out",
                                        folder + "/rows.csv",
                                        "--igtl-server",
                                        "127.0.0.1:0",
                                        "--igtl-wait-clients",
                                        "1",
                                        "--left"};
  arguments.insert(arguments.end(), left.begin(), left.end());
  arguments.push_back("--right");
  arguments.insert(arguments.end(), right.begin(), right.end());
  Tracking track(folder, arguments);
  const int port = track.Port();
  ASSERT_GT(port, 0) << track.Err();
  const DotcalRun listen = RunDotcal(DOTCAL_PROGRAM, {"igtl-listen", std::to_string(port)}, folder);
  EXPECT_EQ(track.Wait(), 1) << track.Err();  // a frame could not be read
  EXPECT_EQ(listen.status, 0) << listen.err;
  EXPECT_NE(listen.err.find("the server closed after 8 messages"), std::string::npos) << listen.err;
  const std::vector<Row> rows = ParseRows(ReadText(folder + "/rows.csv"));
  ASSERT_EQ(rows.size(), 4u);
  std::istringstream lines(listen.out);
  std::string line;
  for (const Row& row : rows) {
    for (const char* device : {"PointerToTracker", "PointerTipToTracker"}) {
      ASSERT_TRUE(std::getline(lines, line));
      const std::string start =
          std::string(row.status == "OK" ? "TRANSFORM " : "STATUS ") + device + " ";
      EXPECT_EQ(line.substr(0, start.size()), start) << line;
      // The listener prints the time to the microsecond, the rows to the millisecond.
      std::istringstream rest(line.substr(start.size()));
      double time = -1.0;
      rest >> time;
      EXPECT_NEAR(time, row.time, 5e-4) << line;
      if (row.status != "OK") {
        EXPECT_EQ(line.substr(line.find(' ', start.size()) + 1),
                  "4 0 MISSING \"the tool was not found in both images\"");
        continue;
      }
      double m[12];
      for (double& v : m) ASSERT_TRUE(rest >> v) << line;
      const double* t = row.values + (std::string(device) == "PointerToTracker" ? 3 : 0);
      for (int r = 0; r < 3; ++r) EXPECT_NEAR(m[4 * r + 3], t[r], kLengthTolMm) << line;
      EXPECT_NEAR(m[0], Rotation(row.values + 6)(0, 0), kRotationTol) << line;
    }
  }
  EXPECT_EQ(rows[2].status, "MISSING");
  EXPECT_FALSE(std::getline(lines, line));

  // --count leaves after that many messages, whatever the server sends.
  Tracking again(folder, arguments);
  const int port2 = again.Port();
  ASSERT_GT(port2, 0);
  const DotcalRun two =
      RunDotcal(DOTCAL_PROGRAM,
                {"igtl-listen", "127.0.0.1:" + std::to_string(port2), "--count", "2"}, folder);
  EXPECT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(std::count(two.out.begin(), two.out.end(), '\n'), 2);
  EXPECT_EQ(again.Wait(), 1);
}

TEST(DotcalIgtl, BadAddressesAndAPortInUseAreNamed) {
  const std::string folder = ScratchFolder(kScratch);
  const auto track = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"track",
                                          "--calib",
                                          kCalib,
                                          "--tool",
                                          kPointer,
                                          "--left",
                                          kSeries + "/moving/left_000.png",
                                          "--right",
                                          kSeries + "/moving/right_000.png"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunDotcal(DOTCAL_PROGRAM, arguments, folder);
  };
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  for (const Case& c :
       {Case{{"--igtl-server", "300.1.2.3:5000"},
             "--igtl-server: '300.1.2.3' is not an IPv4 address"},
        Case{{"--igtl-server", "my host:5000"}, "'my host' is not a host name or address"},
        Case{{"--igtl-server", "127.0.0.1:99999"},
             "the port '99999' is not a number from 0 to 65535"},
        Case{{"--igtl-wait-clients", "1"}, "--igtl-wait-clients needs --igtl-server"}}) {
    const DotcalRun run = track(c.extra);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << "no rows before the server is up";
  }

  // A port that another server holds.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string taken = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  DotcalRun run = track({"--igtl-server", taken});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot listen on " + taken + ": Address already in use"),
            std::string::npos)
      << run.err;

  // The listener: nobody there, and a server that speaks another protocol.
  close(holder);
  run = RunDotcal(DOTCAL_PROGRAM, {"igtl-listen", taken}, folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot connect to " + taken + ": Connection refused"), std::string::npos)
      << run.err;
  run = RunDotcal(DOTCAL_PROGRAM, {"igtl-listen", "bad_host!:1"}, folder);
  EXPECT_EQ(run.status, 2);
}

}  // namespace
