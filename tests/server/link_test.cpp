// Test server link: reply parser, wire lines byte for byte, close handling.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "server/test_server_link.h"
#include "steps/steps.h"
#include "sequencer/step_context.h"

namespace {

struct ParserCase {
  const char* reply;
  int code;        // code RequestSerialNumber returns
  uint64_t value;  // value it returns (0 when not success)
};

TEST(ReplyParser, TableOfEdgeCases) {
  const ParserCase cases[] = {
      {"200 0x1C03C892\r\n", 0, 0x1C03C892},
      {"200 1C03C892\r\n", 0, 0x1C03C892},
      {"200 0X1c03c892\r\n", 0, 0x1C03C892},
      {"200 1c03c892\r\n", 0, 0x1C03C892},
      {"200\r\n", 0, 0},
      {"404 0x1234 0x55\r\n", 404, 0},
      {"ERR 0x12\r\n", 10, 0},
      {"200 0x123456789ABCDEF012\r\n", 0, 0x3456789ABCDEF012ull},  // low 64 bits
      {"200 \t0xAB\n", 0, 0xAB},
      {"200 0xAB\nJUNK 5\r\n", 0, 0xAB},
  };
  for (const ParserCase& c : cases) {
    ServerReply reply;
    ParseReplyLine(c.reply, strlen(c.reply), reply);
    int32_t status = static_cast<int32_t>(reply[0]);
    int code = status == 200 ? 0 : status == 0 ? 10 : status;
    EXPECT_EQ(code, c.code) << c.reply;
    if (code == 0) {
      EXPECT_EQ(reply[1], c.value) << c.reply;
    }
  }
}

TEST(ReplyParser, TwelveValuesFillNineSlots) {
  const char* line = "200 1 2 3 4 5 6 7 8 9 A B C\r\n";
  ServerReply reply;
  ParseReplyLine(line, strlen(line), reply);
  EXPECT_EQ(reply[0], 200u);
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(reply[i], static_cast<uint64_t>(i));
}

TEST(ReplyParser, LfAloneEndsValueAndStopsParsing) {
  const char* line = "200 0x10\n0x20 0x30";
  ServerReply reply;
  ParseReplyLine(line, strlen(line), reply);
  EXPECT_EQ(reply[1], 0x10u);
  EXPECT_EQ(reply[2], 0u);
  uint64_t value = 0;
  EXPECT_EQ(ParseHexToken("  0x1F\r\n", &value), 6);
  EXPECT_EQ(value, 0x1Fu);
  EXPECT_EQ(ParseHexToken("1G2", &value), 3);  // an odd character counts as 0
  EXPECT_EQ(value, 0x102u);
}

// One-connection fake server: records every line it receives and answers
// each with the next scripted reply (split in two segments); closes when the
// script runs out.
class FakeServer {
 public:
  explicit FakeServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    timeval timeout{20, 0};  // a test that never connects still ends
    setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string env = "127.0.0.1:" + std::to_string(port_);
    setenv("TKTEST_SERVER", env.c_str(), 1);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeServer() {
    thread_.join();
    close(listener_);
  }
  std::vector<std::string> lines;

 private:
  void Run() {
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout_, sizeof(timeout_));
    std::string pending;
    size_t next = 0;
    char buffer[20000];
    while (next < replies_.size()) {
      ssize_t got = recv(connection, buffer, sizeof(buffer), 0);
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      size_t end;
      while (next < replies_.size() && (end = pending.find("\r\n")) != std::string::npos) {
        lines.push_back(pending.substr(0, end + 2));
        pending.erase(0, end + 2);
        const std::string& reply = replies_[next++];
        size_t half = reply.size() / 2;
        send(connection, reply.data(), half, MSG_NOSIGNAL);
        usleep(2000);  // lets the first part arrive as a segment of its own
        send(connection, reply.data() + half, reply.size() - half, MSG_NOSIGNAL);
      }
    }
    // Close in answer to the next request (or the client's close): the
    // request is read first, so the close arrives as an orderly end, not a reset.
    if (pending.empty()) recv(connection, buffer, sizeof(buffer), 0);
    close(connection);
  }
  std::vector<std::string> replies_;
  int listener_ = -1;
  int port_ = 0;
  timeval timeout_{20, 0};
  std::thread thread_;
};

class CaptureConsole : public ConsoleSink {
 public:
  void Write(const char* text, size_t length) override { output.append(text, length); }
  std::string output;
};

const ServerLogin kLogin{"TKTestQ5", 0.65, 5890, 0x3C61E92F};

TEST(ServerLines, ByteForByte) {
  std::vector<std::string> replies(6, "200\r\n");
  replies[1] = "200 0x1C03C892\r\n";
  replies[2] = "200 0a7ce3002001\r\n";
  std::vector<std::string> lines;
  {
    FakeServer server(replies);
    TestServerLink link;
    ASSERT_EQ(link.Connect(kLogin), 0);
    uint64_t serial = 0, mac = 0;
    EXPECT_EQ(link.RequestSerialNumber(&serial), 0);
    EXPECT_EQ(serial, 0x1C03C892u);
    EXPECT_EQ(link.RequestMac(&mac), 0);
    EXPECT_EQ(mac, 0x0A7CE3002001u);
    CaptureConsole console;
    SetConsoleSink(&console);
    EXPECT_EQ(link.SendTestResults(nullptr, 0, 470010002), 0);
    SetConsoleSink(nullptr);
    EXPECT_EQ(console.output, "TX length: 28\r\n");
    const char* texts[] = {"A: Passed", "B: Error"};
    EXPECT_EQ(link.SendQuickTestResults(texts, 2, 0x0102030405060708ull), 0);
    std::vector<std::string> names(kCalPointCount);
    CalPoint points[kCalPointCount];
    for (int i = 0; i < kCalPointCount; ++i) {
      names[i] = "P" + std::to_string(i);
      points[i] = {names[i].data(), i * 0.5};
    }
    char first[] = "Gain\r\nrest";
    char meter[] = "Meter Name: HP34401A";
    points[0] = {first, 1.25};
    points[1] = {meter, 7.0};
    EXPECT_EQ(link.SendCalPoints(points, 470010002), 0);
    EXPECT_STREQ(first, "Gain");  // cut in the caller's text
    lines = server.lines;
  }
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "ID TKTestQ5 0.65 TKTJ:00001702 PW:3C61E92F\r\n");
  EXPECT_EQ(lines[1], "serial\r\n");
  EXPECT_EQ(lines[2], "mac\r\n");
  EXPECT_EQ(lines[3], "test 0x000000001c03c892 {}\r\n");
  EXPECT_EQ(lines[4], "qtest 0x0102030405060708 {A: Passed;B: Error}\r\n");
  std::string cal = "cal 0x000000001c03c892 {Gain:1.250000000;Meter Name: HP34401A";
  for (int i = 2; i < kCalPointCount; ++i) {
    char point[64];
    snprintf(point, sizeof(point), ";P%d:%.09f", i, i * 0.5);
    cal += point;
  }
  cal += "}\r\n";
  EXPECT_EQ(lines[5], cal);
}

TEST(ServerLines, TooLongLineIsRefusedBeforeSending) {
  std::vector<std::string> lines;
  {
    FakeServer server({"200\r\n", "200\r\n"});
    TestServerLink link;
    ASSERT_EQ(link.Connect(kLogin), 0);
    std::string big(4090, 'x');
    const char* texts[] = {big.c_str()};
    EXPECT_EQ(link.SendQuickTestResults(texts, 1, 1), kLinkLineTooLong);
    EXPECT_EQ(link.SendQuickTestResults(texts, 0, 1), 0);  // the link still works
    lines = server.lines;
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "qtest 0x0000000000000001 {}\r\n");
}

TEST(ServerLink, ClosedConnectionGivesCodeThenThree) {
  FakeServer server({"200\r\n"});  // answers the login, then closes
  StepContext context;
  StepConnectToServer(&context);
  ASSERT_NE(context.server, nullptr);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "Connected to Server");
  uint64_t serial = 99;
  EXPECT_EQ(context.server->RequestSerialNumber(&serial), 10);  // closed: error code 0, no status
  EXPECT_EQ(serial, 99u);
  EXPECT_FALSE(context.server->HasSocket());
  EXPECT_EQ(context.server->RequestMac(&serial), 3);
  EXPECT_EQ(context.server->SendTestResults(nullptr, 0, 1), 3);
  delete context.server;
}

TEST(ServerLink, LoginRefusedAndNoServer) {
  {
    FakeServer server({"401\r\n"});
    StepContext context;
    StepConnectToServer(&context);
    EXPECT_EQ(context.EL, kLevelFatal);
    EXPECT_STREQ(context.Msg, "Connection Error (401)");
    EXPECT_FALSE(context.server->HasSocket());
    delete context.server;
  }
  // Nobody listens on the port of a closed listener.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  std::string env = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  close(probe);
  setenv("TKTEST_SERVER", env.c_str(), 1);
  TestServerLink link;
  EXPECT_EQ(link.Connect(kLogin), 3);
  uint64_t serial = 0;
  EXPECT_NE(link.RequestSerialNumber(&serial), 0);  // receive on the unconnected socket fails
  EXPECT_EQ(link.RequestSerialNumber(&serial), 3);
}

TEST(ServerLink, SilentServerTimesOut) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);  // the kernel accepts; nobody ever answers
  std::string env = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  setenv("TKTEST_SERVER", env.c_str(), 1);
  setenv("TKTEST_SERVER_TIMEOUT_MS", "200", 1);
  TestServerLink link;
  EXPECT_EQ(link.Connect(kLogin), kLinkTimeout);
  EXPECT_FALSE(link.HasSocket());
  unsetenv("TKTEST_SERVER_TIMEOUT_MS");
  close(listener);
}

}  // namespace
