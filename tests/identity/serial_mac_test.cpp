// "Serial Number" and "Ethernet MAC" against the virtual device, with our
// test server in-process for the assignments.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/test_server_link.h"
#include "steps/steps.h"
#include "support/bench_fixture.h"
#include "testserver/server.h"

namespace {

constexpr uint32_t kStationMode = 0x000711E1;
constexpr uint32_t kSerialRecord = 0x3C3000;
constexpr uint32_t kMacRecord = 0x3C3014;

std::vector<std::string> Options(std::initializer_list<const char*> list) {
  std::vector<std::string> options;
  for (const char* o : list)
    if (o != nullptr) options.push_back(o);
  return options;
}

std::string TempDb() {
  char pattern[] = "/tmp/tkidXXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  return std::string(pattern) + "/server.db";
}

class IdentityStepTest : public BenchTest {
 protected:
  void TearDown() override {
    delete context_.server;
    context_.server = nullptr;
    if (server_) server_->Stop();
    server_.reset();
    BenchTest::TearDown();
  }

  // Our test server on an ephemeral port, and the connect step against it.
  void ConnectToServer(Range serials = {470010002, 480010000},
                       Range macs = {0x0A7CE3002001ull, 0x0A7CE3FFFFFFull}) {
    ServerOptions options;
    options.port = 0;
    options.db = TempDb();
    options.serials = serials;
    options.macs = macs;
    server_ = std::make_unique<TestServer>(options);
    std::string error;
    ASSERT_EQ(server_->Start(&error), 0) << error;
    std::string address = "127.0.0.1:" + std::to_string(server_->port());
    setenv("TKTEST_SERVER", address.c_str(), 1);
    setenv("TKTEST_SERVER_TIMEOUT_MS", "20000", 1);
    StepConnectToServer(&context_);
    ASSERT_EQ(context_.EL, kLevelPassed) << context_.Msg;
  }

  // A link that never connected (the connect step failed).
  void UnconnectedLink() { context_.server = new TestServerLink(); }

  StepContext& Context(uint32_t mode = kStationMode) {
    context_.handle = Handle();
    context_.mode = mode;
    return context_;
  }

  // Restarts the device and lets the restart time pass on the virtual clock.
  void RestartDevice() {
    TheBench().Restart();
    // The restart completes at the first sleep after its time is up.
    for (int i = 0; i < 100 && TheBench().Restarting(); ++i) Clock().SleepMs(100);
    ASSERT_FALSE(TheBench().Restarting());
    // Under the virtual clock the restart ends within microseconds, while
    // the bench's accept thread may still hold the old listening socket in
    // its poll (up to 20 ms), so re-listening can fail with EADDRINUSE.
    // Listen again until the USB endpoint is back (bounded).
    for (int i = 0; i < 200 && !TheBench().Server().Listening(Interface::kUsb); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      TheBench().Server().Reappear();
    }
    ASSERT_TRUE(TheBench().Server().Listening(Interface::kUsb));
  }

  StepContext context_;
  std::unique_ptr<TestServer> server_;
};

std::vector<uint8_t> SerialRecordBytes(uint32_t serial) {
  return {0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0, static_cast<uint8_t>(serial), static_cast<uint8_t>(serial >> 8),
          static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 24)};
}

// ---- Serial Number: the branches that need no server answer ----

struct SerialCase {
  std::vector<std::string> options;
  uint32_t mode;
  bool unconnectedLink;
  ResultLevel level;
  const char* message;
  const char* markers;
  uint64_t serialNumber;
};

class SerialBranchTest : public IdentityStepTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialBranchTest, ReportsTheBranch) {
  const SerialCase& c = GetParam();
  ASSERT_TRUE(StartBench(c.options));
  if (c.unconnectedLink) UnconnectedLink();
  std::vector<uint8_t> recordBefore = FlashBytes(kSerialRecord, 12);
  StepContext& context = Context(c.mode);
  StepSerialNumber(&context);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
  EXPECT_EQ(Console(), c.markers);
  EXPECT_EQ(context.serialNumber, c.serialNumber);
  // None of these branches writes the record.
  EXPECT_EQ(FlashBytes(kSerialRecord, 12), recordBefore);
  EXPECT_EQ(Device().FlashWrites(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialBranchTest,
    ::testing::Values(
        // A programmed device: record and device agree.
        SerialCase{{}, kStationMode, false, kLevelPassed, "Serial Number: 470010002", "SN DB: 1 2 3 4 6",
                   470010002},
        SerialCase{Options({"identity.serial=470010001"}), kStationMode, false, kLevelPassed,
                   "Serial Number: 470010001", "SN DB: 1 2 3 4 6", 470010001},
        // Record written, device not restarted into it.
        SerialCase{Options({"identity.serial_record=470010002", "identity.serial=470010000"}), kStationMode,
                   false, kLevelFatal, "Power cycle the Q5 and try again.", "SN DB: 1 2 3 4 5", 470010000},
        SerialCase{Options({"identity.serial_record=erased", "identity.serial=470010002"}), kStationMode, false,
                   kLevelFatal, "Power cycle the Q5 and try again. 2470010002", "SN DB: 1 2 3 4 16", 470010002},
        SerialCase{Options({"identity.unprogrammed=1"}), kStationMode & ~0x40u, false, kLevelWarning,
                   "Default Serial: 470010000", "SN DB: 1 2 3 4 7", 470010000},
        // A record that holds the default serial counts as not the device's own.
        SerialCase{Options({"identity.serial=470010000"}), kStationMode & ~0x40u, false, kLevelWarning,
                   "Default Serial: 470010000", "SN DB: 1 2 3 4 7", 470010000},
        SerialCase{Options({"identity.unprogrammed=1"}), kStationMode & ~0x10000u, false, kLevelFatal,
                   "Must Report to Serialize", "SN DB: 1 2 3 4 8", 470010000},
        // The server cannot be asked: the 0 that is left fails the range check.
        SerialCase{Options({"identity.unprogrammed=1"}), kStationMode, true, kLevelFatal, "SN System Failure: 0",
                   "SN DB: 1 2 3 4 9 10 15", 470010000},
        SerialCase{Options({"identity.unprogrammed=1"}), kStationMode, false, kLevelFatal, "SN System Failure: 0",
                   "SN DB: 1 2 3 4 9 10 15", 470010000},
        SerialCase{Options({"fault.error=60028:2301"}), kStationMode, false, kLevelFatal, "Comm Error: (2301)",
                   "SN DB: 1 2 3", 0},
        // A record that cannot be read is not judged as erased (which would
        // hand this programmed device a second serial number).
        SerialCase{Options({"fault.error=61812:2302"}), kStationMode, false, kLevelFatal, "Comm Error: (2302)",
                   "SN DB: 1", 0}));

// ---- Serial Number with our server ----

TEST_F(IdentityStepTest, FreshDeviceGetsItsSerialFromTheServer) {
  ASSERT_TRUE(StartBench({"identity.unprogrammed=1"}));
  ConnectToServer();
  ClearConsole();
  StepContext& context = Context();
  StepSerialNumber(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "New Serial: 470010002");
  EXPECT_EQ(context.serialNumber, 470010002u);
  EXPECT_EQ(Console(), "SN DB: 1 2 3 4 9 10 11 12 14");
  EXPECT_EQ(FlashBytes(kSerialRecord, 12), SerialRecordBytes(470010002));
  // Bytes around the record are left erased.
  EXPECT_EQ(FlashBytes(kSerialRecord + 12, 8), std::vector<uint8_t>(8, 0xFF));
  // The device runs with its old serial until it restarts.
  EXPECT_EQ(Device().GetU32(60028), 470010000u);

  // Run again before a restart: the record and the device disagree.
  ClearConsole();
  StepSerialNumber(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Power cycle the Q5 and try again.");
  EXPECT_EQ(Console(), "SN DB: 1 2 3 4 5");

  RestartDevice();
  EXPECT_EQ(Device().GetU32(60028), 470010002u);
  ClearConsole();
  StepSerialNumber(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "Serial Number: 470010002");
  EXPECT_EQ(Console(), "SN DB: 1 2 3 4 6");
}

TEST_F(IdentityStepTest, ServerSerialOutsideTheBlockIsRefused) {
  for (uint64_t bad : {470010001ull, 480010001ull}) {
    SCOPED_TRACE(bad);
    ASSERT_TRUE(StartBench({"identity.unprogrammed=1"}));
    ConnectToServer({bad, bad});
    ClearConsole();
    StepContext& context = Context();
    StepSerialNumber(&context);
    EXPECT_EQ(context.EL, kLevelFatal);
    EXPECT_EQ(std::string(context.Msg), "SN System Failure: " + std::to_string(bad));
    EXPECT_EQ(Console(), "SN DB: 1 2 3 4 9 10 15");
    EXPECT_EQ(FlashBytes(kSerialRecord, 12), std::vector<uint8_t>(12, 0xFF));
    TearDown();
  }
}

TEST_F(IdentityStepTest, SerialRecordWriteFailureIsReported) {
  ASSERT_TRUE(StartBench({"identity.unprogrammed=1", "fault.error=61830:2303"}));
  ConnectToServer();
  ClearConsole();
  StepContext& context = Context();
  StepSerialNumber(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Failed to write SN (2303)");
  EXPECT_EQ(Console(), "SN DB: 1 2 3 4 9 10 11 12 13");
  EXPECT_EQ(context.serialNumber, 470010000u);
}

// ---- Ethernet MAC ----

struct MacCase {
  std::vector<std::string> options;
  uint32_t mode;
  bool unconnectedLink;
  ResultLevel level;
  const char* message;
};

class MacBranchTest : public IdentityStepTest, public ::testing::WithParamInterface<MacCase> {};

TEST_P(MacBranchTest, ReportsTheBranch) {
  const MacCase& c = GetParam();
  ASSERT_TRUE(StartBench(c.options));
  if (c.unconnectedLink) UnconnectedLink();
  std::vector<uint8_t> recordBefore = FlashBytes(kMacRecord, 8);
  StepContext& context = Context(c.mode);
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
  EXPECT_EQ(FlashBytes(kMacRecord, 8), recordBefore);
  EXPECT_EQ(Device().FlashWrites(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MacBranchTest,
    ::testing::Values(
        MacCase{{}, kStationMode, false, kLevelPassed, "MAC: 0A.7C.E3.00.20.02"},
        MacCase{Options({"identity.mac=0A7CE3002001"}), kStationMode, false, kLevelPassed,
                "MAC: 0A.7C.E3.00.20.01"},
        MacCase{Options({"identity.mac=0AFFFFFFFFFF"}), kStationMode, false, kLevelPassed,
                "MAC: 0A.FF.FF.FF.FF.FF"},
        MacCase{Options({"identity.mac=000000000000"}), kStationMode, false, kLevelFatal,
                "MAC system failure: 00.00.00.00.00.00"},
        MacCase{Options({"identity.mac=0A7CE3001FFF"}), kStationMode, false, kLevelFatal,
                "MAC system failure: 0A.7C.E3.00.1F.FF"},
        MacCase{Options({"identity.mac=FFFFFFFFFFFF"}), kStationMode, false, kLevelFatal,
                "MAC system failure: FF.FF.FF.FF.FF.FF"},
        MacCase{Options({"identity.unprogrammed=1"}), kStationMode & ~0x100u, false, kLevelWarning,
                "Default MAC: 0A.7C.E3.00.20.00"},
        MacCase{Options({"identity.unprogrammed=1"}), kStationMode & ~0x10000u, false, kLevelFatal,
                "Must Report to Update MAC"},
        MacCase{Options({"identity.unprogrammed=1"}), kStationMode, true, kLevelFatal,
                "Failed to get MAC from TKTS"},
        MacCase{Options({"identity.unprogrammed=1"}), kStationMode, false, kLevelFatal,
                "Failed to get MAC from TKTS"},
        MacCase{Options({"fault.error=60022:2304"}), kStationMode, false, kLevelFatal, "Comm Error: (2304)"}));

TEST_F(IdentityStepTest, FreshDeviceGetsSerialAndMacFromTheServerAndRunsWithThemAfterRestart) {
  ASSERT_TRUE(StartBench({"identity.unprogrammed=1"}));
  ConnectToServer();
  StepContext& context = Context();
  StepSerialNumber(&context);
  ASSERT_EQ(context.EL, kLevelPassed) << context.Msg;
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "MAC Written: 0A.7C.E3.00.20.01");
  EXPECT_EQ(FlashBytes(kMacRecord, 8), (std::vector<uint8_t>{0, 0, 0x0A, 0x7C, 0xE3, 0x00, 0x20, 0x01}));
  // The MAC record shares the page with the serial record, which stays.
  EXPECT_EQ(FlashBytes(kSerialRecord, 12), SerialRecordBytes(470010002));

  // Before a restart the device still shows its default MAC, so a second
  // run asks the server again and writes the next MAC; the device takes the
  // last one written.
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "MAC Written: 0A.7C.E3.00.20.02");

  RestartDevice();
  StepSerialNumber(&context);
  EXPECT_STREQ(context.Msg, "Serial Number: 470010002");
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "MAC: 0A.7C.E3.00.20.02");
}

TEST_F(IdentityStepTest, ServerMacOutsideTheBlockIsWrittenAsGiven) {
  ASSERT_TRUE(StartBench({"identity.unprogrammed=1"}));
  ConnectToServer({470010002, 480010000}, {0x001122334455ull, 0x001122334455ull});
  StepContext& context = Context();
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "MAC Written: 00.11.22.33.44.55");
  EXPECT_EQ(FlashBytes(kMacRecord, 8), (std::vector<uint8_t>{0, 0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

TEST_F(IdentityStepTest, MacRecordWriteFailureIsReported) {
  ASSERT_TRUE(StartBench({"identity.unprogrammed=1", "fault.error=61830:2305"}));
  ConnectToServer();
  StepContext& context = Context();
  StepEthernetMac(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Write Failed: 0A.7C.E3.00.20.01");
}

}  // namespace
