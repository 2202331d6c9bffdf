// Our test server against the station's link: login, allocations under load,
// faults, and a server killed in the middle of a load.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sequencer/step_context.h"
#include "server/test_server_link.h"
#include "steps/steps.h"
#include "testserver/server.h"

namespace {

const ServerLogin kLogin{"TKTestQ5", 0.65, 5890, 0x3C61E92F};

std::string TempDb() {
  char pattern[] = "/tmp/tksrvXXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  return std::string(pattern) + "/server.db";
}

void PointLinkAt(int port) {
  std::string address = "127.0.0.1:" + std::to_string(port);
  setenv("TKTEST_SERVER", address.c_str(), 1);
  setenv("TKTEST_SERVER_TIMEOUT_MS", "20000", 1);  // nothing waits for ever
}

struct RunningServer {
  explicit RunningServer(ServerOptions options) : server(PrepareOptions(options)) {
    std::string error;
    EXPECT_EQ(server.Start(&error), 0) << error;
    PointLinkAt(server.port());
  }
  static ServerOptions PrepareOptions(ServerOptions options) {
    options.port = 0;
    if (options.db == ServerOptions().db) options.db = TempDb();
    return options;
  }
  TestServer server;
};

// A raw client for the lines the station never sends.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  ~RawClient() { close(fd_); }
  void Send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  // One reply line, or "" when the server closed the connection.
  std::string Line() {
    std::string line;
    char c;
    while (recv(fd_, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') return line;
    }
    return line;
  }
  std::string Ask(const std::string& line) {
    Send(line + "\r\n");
    return Line();
  }

 private:
  int fd_ = -1;
};

const char kGoodLogin[] = "ID TKTestQ5 0.65 TKTJ:00001702 PW:3C61E92F";

TEST(TestServer, StationConnectStepAndRequestsAreStored) {
  RunningServer running(ServerOptions{});
  StepContext context;
  StepConnectToServer(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "Connected to Server");
  TestServerLink& link = *context.server;
  uint64_t serial = 0, mac = 0;
  ASSERT_EQ(link.RequestSerialNumber(&serial), 0);
  EXPECT_EQ(serial, 470010002u);
  ASSERT_EQ(link.RequestMac(&mac), 0);
  EXPECT_EQ(mac, 0x0A7CE3002001u);
  const char* texts[] = {"Open Tavrick: Passed", "Serial Number: Passed"};
  EXPECT_EQ(link.SendTestResults(texts, 2, serial), 0);
  char name[] = "Vs Gain\r\n";
  char meter[] = "Meter Name: HP34401A";
  std::vector<CalPoint> points(kCalPointCount, CalPoint{name, 1.5});
  points[1] = {meter, 0};
  EXPECT_EQ(link.SendCalPoints(points.data(), serial), 0);
  DeviceInfo info;
  ASSERT_TRUE(running.server.store().Device(serial, &info));
  EXPECT_EQ(info.serial, serial);
  ASSERT_EQ(info.macs.size(), 1u);
  EXPECT_EQ(info.macs[0], mac);  // the MAC belongs to the device of its connection
  ASSERT_EQ(info.results.size(), 1u);
  EXPECT_NE(info.results[0].find("00001702 test {Open Tavrick: Passed;Serial Number: Passed}"), std::string::npos);
  ASSERT_EQ(info.calPoints.size(), 43u);
  EXPECT_EQ(info.calPoints[0], "Vs Gain:1.500000000");
  EXPECT_EQ(info.calPoints[1], "Meter Name: HP34401A");
  delete context.server;

  // A MAC asked for before any serial number belongs to the device whose
  // identifier the connection reports next.
  TestServerLink other;
  ASSERT_EQ(other.Connect(kLogin), 0);
  ASSERT_EQ(other.RequestMac(&mac), 0);
  EXPECT_EQ(mac, 0x0A7CE3002002u);
  EXPECT_EQ(other.SendQuickTestResults(texts, 1, 0x1234), 0);
  ASSERT_TRUE(running.server.store().Device(0x1234, &info));
  ASSERT_EQ(info.macs.size(), 1u);
  EXPECT_EQ(info.macs[0], mac);
}

TEST(TestServer, WrongLoginIsRefusedAndNothingElseServed) {
  ServerOptions options;
  options.stations[0x00001702] = 0x11111111;  // this station has another password
  options.stations[0x00002000] = 0x3C61E92F;
  RunningServer running(options);
  StepContext context;
  StepConnectToServer(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Connection Error (401)");
  delete context.server;
  RawClient client(running.server.port());
  client.Send(std::string(kGoodLogin) + "\r\nserial\r\n");
  EXPECT_EQ(client.Line(), "401\r\n");
  EXPECT_EQ(client.Line(), "");  // closed: the serial request was not served
  EXPECT_TRUE(running.server.store().AllSerials().empty());
  RawClient other(running.server.port());
  EXPECT_EQ(other.Ask("ID TKTestQ5 0.65 TKTJ:00002000 PW:3C61E92F"), "200\r\n");
}

TEST(TestServer, FaultyLinesGetTheirStatusAndOthersAreServed) {
  RunningServer running(ServerOptions{});
  RawClient bad(running.server.port());
  EXPECT_EQ(bad.Ask("serial"), "403\r\n");  // before login
  EXPECT_EQ(bad.Ask("test 0x000000001c03c892 {x}"), "403\r\n");
  EXPECT_EQ(bad.Ask(kGoodLogin), "200\r\n");
  EXPECT_EQ(bad.Ask("hello"), "404\r\n");
  EXPECT_EQ(bad.Ask("test 0x1c03c892 {x}"), "400\r\n");  // identifier not 16 digits
  EXPECT_EQ(bad.Ask("test 0x000000001c03c892 x"), "400\r\n");
  EXPECT_EQ(bad.Ask("serial 5"), "400\r\n");
  // An endless line: the refusal comes while it is still being sent.
  bad.Send(std::string(kMaxLineLength + 100, 'A'));
  EXPECT_EQ(bad.Line(), "413\r\n");
  // Meanwhile another station is served.
  TestServerLink link;
  ASSERT_EQ(link.Connect(kLogin), 0);
  uint64_t serial = 0;
  EXPECT_EQ(link.RequestSerialNumber(&serial), 0);
  EXPECT_EQ(serial, 470010002u);
  bad.Send(std::string(50000, 'B'));
  bad.Send("\r\n");
  // After the end of the refused line the connection serves again.
  EXPECT_EQ(bad.Ask("serial"), "200 0x1C03C893\r\n");
}

TEST(TestServer, ExhaustedRangesHaveTheirOwnStatus) {
  ServerOptions options;
  options.serials = {10, 12};
  options.macs = {0xAA, 0xAA};
  RunningServer running(options);
  TestServerLink link;
  ASSERT_EQ(link.Connect(kLogin), 0);
  uint64_t value = 0;
  for (uint64_t expected = 10; expected <= 12; ++expected) {
    ASSERT_EQ(link.RequestSerialNumber(&value), 0);
    EXPECT_EQ(value, expected);
  }
  value = 7;
  EXPECT_EQ(link.RequestSerialNumber(&value), kStatusExhausted);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(link.RequestMac(&value), 0);
  EXPECT_EQ(value, 0xAAu);
  EXPECT_EQ(link.RequestMac(&value), kStatusExhausted);
  EXPECT_EQ(link.RequestSerialNumber(&value), kStatusExhausted);  // still connected and refusing
}

TEST(TestServer, SixteenStationsGetDistinctSerials) {
  RunningServer running(ServerOptions{});
  constexpr int kStations = 16, kEach = 200;
  std::vector<std::vector<uint64_t>> got(kStations);
  std::vector<int> failures(kStations, 0);
  std::vector<std::thread> threads;
  for (int s = 0; s < kStations; ++s) {
    threads.emplace_back([&, s] {
      TestServerLink link;
      if (link.Connect(kLogin) != 0) {
        failures[s] = kEach;
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        uint64_t serial = 0;
        if (link.RequestSerialNumber(&serial) == 0) got[s].push_back(serial);
        else ++failures[s];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (int s = 0; s < kStations; ++s) {
    EXPECT_EQ(failures[s], 0);
    distinct.insert(got[s].begin(), got[s].end());
  }
  EXPECT_EQ(distinct.size(), 3200u);
  EXPECT_EQ(*distinct.begin(), 470010002u);
  EXPECT_EQ(*distinct.rbegin(), 470010002u + 3199);
}

// The server as a process of its own, so that it can be killed.
struct ServerProcess {
  pid_t pid = -1;
  int port = 0;
  explicit ServerProcess(const std::string& db) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    pid = fork();
    if (pid == 0) {
      dup2(pipeFds[1], 1);
      close(pipeFds[0]);
      std::string program = std::string(TKTEST_BIN_DIR) + "/testserver/tktest-server";
      execl(program.c_str(), program.c_str(), "serve", "--listen", "127.0.0.1:0", "--db", db.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    std::string line;
    char c;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
    close(pipeFds[0]);
    size_t colon = line.rfind(':');
    EXPECT_NE(colon, std::string::npos) << line;
    if (colon != std::string::npos) port = atoi(line.c_str() + colon + 1);
  }
  int Signal(int signal) {
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }
};

struct Acknowledged {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint64_t> serials;  // acknowledged serial numbers
  std::vector<uint64_t> results;  // devices whose result line was acknowledged
};

// 16 stations: each asks for a serial number and reports a result line for it,
// until it has done `each` or the server goes away.
void Load(int each, Acknowledged* acked) {
  std::vector<std::thread> threads;
  for (int s = 0; s < 16; ++s) {
    threads.emplace_back([=] {
      TestServerLink link;
      if (link.Connect(kLogin) != 0) return;
      for (int i = 0; i < each; ++i) {
        uint64_t serial = 0;
        if (link.RequestSerialNumber(&serial) != 0) return;
        {
          std::lock_guard<std::mutex> lock(acked->mutex);
          acked->serials.push_back(serial);
        }
        acked->changed.notify_all();
        std::string text = "Serial Number: Passed " + std::to_string(serial);
        const char* texts[] = {text.c_str()};
        if (link.SendQuickTestResults(texts, 1, serial) != 0) return;
        std::lock_guard<std::mutex> lock(acked->mutex);
        acked->results.push_back(serial);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(TestServer, KilledMidLoadLosesNothingAcknowledged) {
  std::string db = TempDb();
  Acknowledged acked;
  {
    ServerProcess first(db);
    ASSERT_GT(first.port, 0);
    PointLinkAt(first.port);
    std::thread load([&] { Load(200, &acked); });
    {
      std::unique_lock<std::mutex> lock(acked.mutex);
      acked.changed.wait(lock, [&] { return acked.serials.size() >= 400; });
    }
    int status = first.Signal(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status));
    load.join();
  }
  size_t beforeRestart = acked.serials.size();
  EXPECT_LT(beforeRestart, 3200u);  // the kill really came in the middle
  {
    ServerProcess second(db);
    ASSERT_GT(second.port, 0);
    PointLinkAt(second.port);
    Load(20, &acked);
    int status = second.Signal(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(acked.serials.size(), beforeRestart + 16 * 20);
  std::set<uint64_t> distinct(acked.serials.begin(), acked.serials.end());
  EXPECT_EQ(distinct.size(), acked.serials.size());  // never handed out twice
  Store store;
  ASSERT_EQ(store.Open(db), 0);
  std::vector<uint64_t> stored = store.AllSerials();
  std::set<uint64_t> storedSet(stored.begin(), stored.end());
  for (uint64_t serial : acked.serials) EXPECT_TRUE(storedSet.count(serial)) << serial;
  for (uint64_t device : acked.results) {
    DeviceInfo info;
    ASSERT_TRUE(store.Device(device, &info));
    ASSERT_EQ(info.results.size(), 1u) << device;
    EXPECT_NE(info.results[0].find("qtest {Serial Number: Passed " + std::to_string(device) + "}"),
              std::string::npos);
  }
  // The show command reads the same file.
  ASSERT_FALSE(acked.results.empty());
  std::string command = std::string(TKTEST_BIN_DIR) + "/testserver/tktest-server show " +
                        std::to_string(acked.results[0]) + " --db " + db + " --json";
  FILE* show = popen(command.c_str(), "r");
  ASSERT_NE(show, nullptr);
  std::string output;
  char chunk[512];
  while (fgets(chunk, sizeof(chunk), show) != nullptr) output += chunk;
  EXPECT_EQ(pclose(show), 0);
  EXPECT_NE(output.find("\"serial\":" + std::to_string(acked.results[0]) + ","), std::string::npos) << output;
  EXPECT_NE(output.find("Serial Number: Passed " + std::to_string(acked.results[0])), std::string::npos);
}

}  // namespace
