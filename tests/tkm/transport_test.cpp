// The device library over Modbus TCP: reply checks against a scripted peer,
// open and handles, reconnection and the stream against the virtual bench.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "device/feedback.h"
#include "device/registers.h"
#include "support/bench_fixture.h"
#include "support/fake_peer.h"
#include "tkm/tkm.h"

namespace {

// An ephemeral port with nothing listening on it.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TKM_REPLY_TIMEOUT_MS", "200", 1);
    setenv("TKM_RECONNECT_MS", "0", 1);
  }
  void TearDown() override {
    if (handle_ > 0) TKM_Close(handle_);
    unsetenv("TKM_REPLY_TIMEOUT_MS");
    unsetenv("TKM_RECONNECT_MS");
  }
  int Open(FakePeer& peer) {
    setenv("TKM_USB_ENDPOINT", peer.Endpoint().c_str(), 1);
    return TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle_);
  }
  // One 16-bit read of register 7 through the library; the value or -code.
  int ReadOne() {
    FeedbackOp op;
    MakeReadOp(&op, 7, 1, kTypeU16);
    op.u16Values[0] = 0xBEEF;
    int code = FeedbackTransaction(handle_, 1, &op);
    if (code != 0) {
      EXPECT_EQ(op.u16Values[0], 0xBEEF) << "a failed exchange must not touch the read";
      return -code;
    }
    return op.u16Values[0];
  }
  int handle_ = 0;
};

TEST_F(PeerTest, RepliesThatFailACheckAreErrorsNeverData) {
  struct Case {
    const char* what;
    std::function<Bytes(const Bytes&)> reply;
    int code;
  };
  const Case cases[] = {
      {"short reply", [](const Bytes& r) { return FakePeer::Reply(r, {0x01}); }, TKM_ERR_BAD_LENGTH},
      {"long reply", [](const Bytes& r) { return FakePeer::Reply(r, {0x01, 0x02, 0x03, 0x04}); }, TKM_ERR_BAD_LENGTH},
      {"wrong transaction id",
       [](const Bytes& r) {
         Bytes b = FakePeer::Reply(r, {0x00, 0x2A});
         b[1] ^= 0x55;
         return b;
       },
       TKM_ERR_BAD_TRANSACTION},
      {"protocol id not 0",
       [](const Bytes& r) {
         Bytes b = FakePeer::Reply(r, {0x00, 0x2A});
         b[3] = 1;
         return b;
       },
       TKM_ERR_BAD_PROTOCOL},
      {"wrong function code", [](const Bytes& r) { return FakePeer::Reply(r, {0x00, 0x2A}, 0x03); }, TKM_ERR_BAD_FUNCTION},
      {"device error reply", [](const Bytes& r) { return FakePeer::Reply(r, {0x09, 0x36}, 0xCC); }, 2358},
      {"standard exception", [](const Bytes& r) { return FakePeer::Reply(r, {0x02}, 0xCC); }, TKM_ERR_MODBUS_EXCEPTION + 2},
      {"error reply without a code", [](const Bytes& r) { return FakePeer::Reply(r, {0x00, 0x00}, 0xCC); },
       TKM_ERR_EMPTY_ERROR_REPLY},
      {"length field below 2",
       [](const Bytes& r) {
         Bytes b = FakePeer::Reply(r, {});
         b[5] = 1;
         return Bytes(b.begin(), b.begin() + 7);
       },
       TKM_ERR_BAD_LENGTH},
  };
  for (const Case& c : cases) {
    // A good reply first, so each bad one arrives on a used connection.
    int n = 0;
    FakePeer peer([&](const Bytes& r) {
      return PeerAnswer{n++ == 0 ? FakePeer::Reply(r, {0x00, 0x2A}) : c.reply(r), false};
    });
    ASSERT_EQ(Open(peer), 0) << c.what;
    EXPECT_EQ(ReadOne(), 42) << c.what;
    EXPECT_EQ(ReadOne(), -c.code) << c.what;
    TKM_Close(handle_);
    handle_ = 0;
  }
}

TEST_F(PeerTest, TransactionIdentifiersChangeAndTheFrameIsSentAsItStands) {
  FakePeer peer([](const Bytes& r) { return PeerAnswer{FakePeer::Reply(r, {0x00, 0x05}), false}; });
  ASSERT_EQ(Open(peer), 0);
  EXPECT_EQ(ReadOne(), 5);
  EXPECT_EQ(ReadOne(), 5);
  auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(Bytes(requests[0].begin(), requests[0].begin() + 2), Bytes(requests[1].begin(), requests[1].begin() + 2));
  EXPECT_EQ(Bytes(requests[0].begin() + 2, requests[0].end()),
            (Bytes{0x00, 0x00, 0x00, 0x06, 0x00, 0x4C, 0x00, 0x00, 0x07, 0x01}));
}

TEST_F(PeerTest, ASilentDeviceTimesOutAndTheNextCallReconnects) {
  int n = 0;
  FakePeer peer([&n](const Bytes& r) {
    return PeerAnswer{n++ == 0 ? Bytes{} : FakePeer::Reply(r, {0x00, 0x09}), false};
  });
  ASSERT_EQ(Open(peer), 0);
  EXPECT_EQ(ReadOne(), -TKM_ERR_TIMEOUT);
  // The timed-out connection is not reused (a late reply would be taken for
  // the next request's): the next call connects again.
  EXPECT_EQ(ReadOne(), 9);
}

TEST_F(PeerTest, AConnectionClosedMidReplyIsLost) {
  FakePeer peer([](const Bytes& r) {
    Bytes b = FakePeer::Reply(r, {0x00, 0x09});
    return PeerAnswer{Bytes(b.begin(), b.begin() + 8), true};
  });
  ASSERT_EQ(Open(peer), 0);
  EXPECT_EQ(ReadOne(), -TKM_ERR_CONNECTION_LOST);
}

TEST_F(PeerTest, NothingListeningGives1227) {
  std::string endpoint = "127.0.0.1:" + std::to_string(ClosedPort());
  setenv("TKM_USB_ENDPOINT", endpoint.c_str(), 1);
  int handle = 77;
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle), TKM_NO_DEVICE);
  EXPECT_EQ(handle, 0);
  setenv("TKM_TCP_PORT", std::to_string(ClosedPort()).c_str(), 1);
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.1", &handle), TKM_NO_DEVICE);
  unsetenv("TKM_TCP_PORT");
}

TEST_F(PeerTest, OpenArgumentsAndHandles) {
  FakePeer peer([](const Bytes& r) { return PeerAnswer{FakePeer::Reply(r, {0x00, 0x01}), false}; });
  int h = 0;
  setenv("TKM_TCP_PORT", std::to_string(peer.Port()).c_str(), 1);
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "10.0.0.300", &h), TKM_ERR_BAD_ADDRESS);
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "", &h), TKM_ERR_BAD_ADDRESS);
  EXPECT_EQ(TKM_OpenS("TKM_dtU3", "TKM_ctTCP", "127.0.0.1", &h), TKM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctSerial", "127.0.0.1", &h), TKM_ERR_BAD_ARGUMENT);
  // The address as it comes from a configuration line.
  int first = 0, second = 0;
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", " 127.0.0.1\r\n", &first), 0);
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.1", &second), 0);
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
  EXPECT_LE(first, 64);
  double value = 0;
  EXPECT_EQ(TKM_eReadAddress(first, 7, 1, &value), TKM_ERR_BAD_LENGTH);  // the peer sends 2 bytes, 4 asked
  EXPECT_EQ(TKM_Close(first), 0);
  EXPECT_EQ(TKM_Close(first), TKM_ERR_UNKNOWN_HANDLE);
  EXPECT_EQ(TKM_eReadAddress(first, 7, 1, &value), TKM_ERR_UNKNOWN_HANDLE);
  EXPECT_EQ(TKM_eStreamStop(second), 0);  // not streaming: harmless
  int dev = 0, lib = 0;
  double data[4];
  EXPECT_EQ(TKM_eStreamRead(second, data, &dev, &lib), TKM_ERR_NOT_STREAMING);
  EXPECT_EQ(TKM_Close(second), 0);
  unsetenv("TKM_TCP_PORT");
  double version = 0;
  EXPECT_EQ(TKM_ReadLibraryConfigS("TKM_LIBRARY_VERSION", &version), 0);
  EXPECT_DOUBLE_EQ(version, TKM_LIBRARY_VERSION_NUMBER);
}

// Against the virtual bench.
class LibraryBenchTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"device.bare=1"}; }
};

TEST_F(LibraryBenchTest, ReadAddressGivesTheRegisterPairAsUnsigned32) {
  ASSERT_TRUE(StartBench());
  Device().SetU32(49100, 0xC0A80164);
  double value = 0;
  ASSERT_EQ(TKM_eReadAddress(Handle(), 49100, 1, &value), 0);
  EXPECT_EQ(value, 3232235876.0);
  uint32_t u = 0;
  ASSERT_EQ(ReadU32Register(Handle(), 49100, &u), 0);
  EXPECT_EQ(u, 0xC0A80164u);
}

TEST_F(LibraryBenchTest, TheSameHandleWorksAgainAfterTheDeviceRestarts) {
  ASSERT_TRUE(StartBench({"device.restart_ms=3000"}));
  ASSERT_EQ(WriteU16Register(Handle(), 3000, 11), 0);
  int64_t before = Clock().SleptMs();
  TheBench().Restart();
  EXPECT_TRUE(TheBench().Restarting());
  EXPECT_FALSE(TheBench().Server().Listening(Interface::kUsb));
  ASSERT_EQ(WriteU16Register(Handle(), 3000, 12), 0);
  EXPECT_EQ(Device().GetU16(3000), 12);
  EXPECT_FALSE(TheBench().Restarting());
  // The library waited on the program clock for the restart to end.
  EXPECT_GE(Clock().SleptMs() - before, 3000);
}

TEST_F(LibraryBenchTest, ARestartCausedByARequestIsSurvived) {
  // The device restarts right after answering its second exchange.
  ASSERT_TRUE(StartBench({"fault.restart_after=2", "device.restart_ms=1500"}));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(WriteU16Register(Handle(), 3000, static_cast<uint16_t>(i)), 0) << i;
  EXPECT_EQ(Device().GetU16(3000), 4);
}

TEST_F(LibraryBenchTest, DroppedConnectionsAreRemadeOnTheNextCall) {
  ASSERT_TRUE(StartBench({"fault.drop_after=3"}));
  float value = 0;
  Device().SetFloat(20, 2.5f);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(ReadFloatRegister(Handle(), 20, &value), 0) << i;
    EXPECT_EQ(value, 2.5f);
  }
  EXPECT_EQ(Exchanges(), 20u);  // every request served exactly once
}

TEST_F(LibraryBenchTest, AVanishedDeviceGives1227WithinTheReconnectTime) {
  ASSERT_TRUE(StartBench({"fault.vanish_after=2"}));
  ASSERT_EQ(WriteU16Register(Handle(), 3000, 1), 0);
  ASSERT_EQ(WriteU16Register(Handle(), 3000, 2), 0);
  int64_t before = Clock().SleptMs();
  EXPECT_EQ(WriteU16Register(Handle(), 3000, 3), TKM_NO_DEVICE);
  EXPECT_GE(Clock().SleptMs() - before, 10000);  // the default reconnect time
  EXPECT_LE(Clock().SleptMs() - before, 11000);
  EXPECT_EQ(Device().GetU16(3000), 2);
}

TEST_F(LibraryBenchTest, StreamReadsPacedScansInterleaved) {
  ASSERT_TRUE(StartBench());
  const int addresses[4] = {0, 2, 4, 30};
  Device().SetFloat(0, 3.75f);
  Device().SetFloat(2, 0.625f);
  Device().SetFloat(4, -1.0f);
  Device().SetFloat(30, 8.5f);
  double rate = 1000.0;
  ASSERT_EQ(TKM_eStreamStart(Handle(), 100, 4, addresses, &rate), 0);
  EXPECT_EQ(rate, 1000.0);
  std::vector<double> data(400, 0);
  int dev = -1, lib = -1;
  uint64_t before = Exchanges();
  int64_t start = Clock().NowMs();
  ASSERT_EQ(TKM_eStreamRead(Handle(), data.data(), &dev, &lib), 0);
  EXPECT_EQ(Exchanges() - before, 100u);  // one request per scan
  EXPECT_GE(Clock().NowMs() - start, 99);  // paced at 1 ms per scan
  EXPECT_LE(Clock().NowMs() - start, 101);
  EXPECT_EQ(dev, 0);
  EXPECT_EQ(lib, 0);
  for (int scan = 0; scan < 100; ++scan) {
    EXPECT_EQ(data[scan * 4 + 0], 3.75);
    EXPECT_EQ(data[scan * 4 + 1], 0.625);
    EXPECT_EQ(data[scan * 4 + 2], -1.0);
    EXPECT_EQ(data[scan * 4 + 3], 8.5);
  }
  EXPECT_EQ(TKM_eStreamStop(Handle()), 0);
  EXPECT_EQ(TKM_eStreamRead(Handle(), data.data(), &dev, &lib), TKM_ERR_NOT_STREAMING);

  rate = 50000.0;
  EXPECT_EQ(TKM_eStreamStart(Handle(), 10, 4, addresses, &rate), TKM_STREAM_RATE_LOWERED);
  EXPECT_LT(rate, 50000.0);
  EXPECT_GT(rate, 0.0);
  EXPECT_EQ(TKM_eStreamStop(Handle()), 0);
}

}  // namespace
