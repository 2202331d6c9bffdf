// "WiFi Test" against the virtual bench: association, the WiFi connection,
// versions, DHCP and the failures.
#include <string>

#include "network/network_fixture.h"
#include "steps/steps.h"
#include "steps/wifi_test.h"
#include "tkm/tkm.h"

namespace {

class WifiStepTest : public NetworkTest {};

// 8 s after the settings, one poll (association takes 3 s), 1 s before the
// open, 100 ms after the reads, 1 s before the close.
constexpr int64_t kPassingRunMs = 8000 + 1000 + 1000 + 100 + 1000;

TEST_F(WifiStepTest, StandardDevicePassesWithoutTouchingTheDevice) {
  ASSERT_TRUE(StartBench());
  LoadConfig();
  StepContext context = UsbContext(false);
  uint64_t before = Exchanges(Interface::kUsb);
  EXPECT_EQ(StepWifiTest(&context), 0);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "WiFi is Pro only.");
  EXPECT_EQ(Exchanges(Interface::kUsb), before);
  EXPECT_EQ(Exchanges(Interface::kWifi), 0u);
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(Clock().SleptMs(), 0);
}

TEST_F(WifiStepTest, ProDeviceAssociatesConnectsOverWifiAndCloses) {
  ASSERT_TRUE(StartBench());
  LoadConfig();
  RecordWrites(49400, 49400);
  StepContext context = UsbContext();
  EXPECT_EQ(StepWifiTest(&context), 0);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "WiFi Good. Ver: 3.13");
  EXPECT_EQ(Console(), "WiFi Step 1 2 3 . 4 5 6 7 8\r\n");
  EXPECT_EQ(Clock().SleptMs(), kPassingRunMs);
  EXPECT_EQ(Exchanges(Interface::kWifi), 1u);  // the three reads, in one request
  EXPECT_EQ(Exchanges(Interface::kEthernet), 0u);
  EXPECT_EQ(WritesOf(49400).size(), 1u);  // one attempt

  // The settings as written, name and password with their line feed.
  EXPECT_EQ(StoredBytes(49325, 25), std::string("TKBench\n") + std::string(42, '\0'));
  EXPECT_EQ(StoredBytes(49350, 25), std::string("q5-bench-pass\n") + std::string(36, '\0'));
  EXPECT_EQ(Device().GetU32(49250), 0x7F000003u);
  EXPECT_EQ(Device().GetU32(49252), 0xFFFFFF00u);
  EXPECT_EQ(Device().GetU32(49254), 0x7F000001u);
  EXPECT_EQ(Device().GetU16(49260), 0);
  EXPECT_EQ(Device().GetU32(49400), 1u);

  // The WiFi handle is closed and the USB handle still works.
  ASSERT_GT(context.wifiHandle, 0);
  ASSERT_NE(context.wifiHandle, Handle());
  double value = 0;
  EXPECT_EQ(TKM_eReadAddress(context.wifiHandle, 49600, 1, &value), TKM_ERR_UNKNOWN_HANDLE);
  EXPECT_EQ(TKM_eReadAddress(Handle(), 49600, 1, &value), 0);
  EXPECT_EQ(value, 10);
}

struct VersionCase {
  const char* version;
  ResultLevel level;
  const char* msg;
};

TEST_F(WifiStepTest, ModuleVersionLimitIsInclusive) {
  for (VersionCase c : {VersionCase{"3.1199", kLevelPassed, "WiFi Good. Ver: 3.12"},
                        VersionCase{"3.1198", kLevelFatal, "WiFi Ver too low: 3.12"},
                        VersionCase{"2.5", kLevelFatal, "WiFi Ver too low: 2.50"}}) {
    SCOPED_TRACE(c.version);
    ASSERT_TRUE(StartBench({std::string("net.wifi_version=") + c.version}));
    ClearConsole();
    LoadConfig();
    StepContext context = UsbContext();
    StepWifiTest(&context);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
    if (c.level != kLevelPassed) {
      // Stopped before any setting was written.
      EXPECT_EQ(Console(), "");
      EXPECT_EQ(StoredBytes(49325, 1), std::string(2, '\0'));
      EXPECT_EQ(Device().GetU32(49400), 0u);
    }
    TearDown();
    SetUp();
  }
}

TEST_F(WifiStepTest, StatusTwoNineZeroTwoDoesNotStopThePolls) {
  // The module reports 2902 while it associates and 2900 after 12 s: the
  // polls at 9, 10 and 11 s read 2902, the one at 12 s reads 2900.
  ASSERT_TRUE(StartBench({"net.pending_status=2902", "net.associate_ms=12000"}));
  LoadConfig();
  RecordReads(49450);
  RecordWrites(49400, 49400);
  StepContext context = UsbContext();
  EXPECT_EQ(StepWifiTest(&context), 0);
  EXPECT_STREQ(context.Msg, "WiFi Good. Ver: 3.13");
  EXPECT_EQ(Reads().size(), 4u);
  EXPECT_EQ(WritesOf(49400).size(), 1u);
  EXPECT_EQ(Clock().SleptMs(), kPassingRunMs + 3000);
}

struct AssociationCase {
  std::vector<std::string> options;
  const char* msg;
  const char* console;
};

TEST_F(WifiStepTest, NoAssociationAfterFiveAttempts) {
  for (const AssociationCase& c :
       {AssociationCase{{"net.pass=other"}, "Failed to Associate: 2902", "WiFi Step 1 1 1 1 1"},
        AssociationCase{{"net.wifi_never=1"}, "Failed to Associate: 2901", "WiFi Step 1 1 1 1 1 2"}}) {
    SCOPED_TRACE(c.msg);
    ASSERT_TRUE(StartBench(c.options));
    ClearConsole();
    LoadConfig();
    RecordReads(49450);
    RecordWrites(49400, 49400);
    StepContext context = UsbContext();
    int64_t start = Clock().SleptMs();
    EXPECT_EQ(StepWifiTest(&context), 1);
    EXPECT_EQ(context.EL, kLevelFatal);
    EXPECT_STREQ(context.Msg, c.msg);
    EXPECT_EQ(Console(), c.console);
    EXPECT_EQ(Reads().size(), 150u);           // 30 polls in each of 5 attempts
    EXPECT_EQ(WritesOf(49400).size(), 5u);  // the settings, once per attempt
    EXPECT_EQ(Clock().SleptMs() - start, 5 * (8000 + 30 * 1000));
    EXPECT_EQ(Exchanges(Interface::kWifi), 0u);
    TearDown();
    SetUp();
  }
}

TEST_F(WifiStepTest, DhcpAddressIsReadBeforeEveryTry) {
  // The configured address has no device behind it; with DHCP on the step
  // must use the one the device reports at 49200 (127.0.0.3, the WiFi
  // interface).
  ASSERT_TRUE(StartBench());
  LoadConfig({{"Wireless_DHCP", "1"}, {"Wireless_IP", "127.0.0.9"}});
  RecordReads(49200);
  StepContext context = UsbContext();
  EXPECT_EQ(StepWifiTest(&context), 0);
  EXPECT_STREQ(context.Msg, "WiFi Good. Ver: 3.13");
  EXPECT_EQ(Reads().size(), 1u);
  EXPECT_EQ(Device().GetU16(49260), 1);
  EXPECT_EQ(Device().GetU32(49250), 0x7F000009u);
}

struct OpenCase {
  std::vector<std::string> options;
  std::map<std::string, std::string> config;
  size_t dhcpReads;
};

TEST_F(WifiStepTest, ConnectionIsTriedTwentyTimes) {
  // Nothing listens at 127.0.0.5 or 127.0.0.9: every open is refused (1227).
  for (const OpenCase& c : {OpenCase{{"net.dhcp_address=127.0.0.5"}, {{"Wireless_DHCP", "1"}}, 20},
                            OpenCase{{}, {{"Wireless_IP", "127.0.0.9"}}, 0}}) {
    SCOPED_TRACE(c.dhcpReads);
    ASSERT_TRUE(StartBench(c.options));
    ClearConsole();
    LoadConfig(c.config);
    RecordReads(49200);
    StepContext context = UsbContext();
    int64_t start = Clock().SleptMs();
    EXPECT_EQ(StepWifiTest(&context), 1);
    EXPECT_EQ(context.EL, kLevelFatal);
    EXPECT_STREQ(context.Msg, "Comm Error: (1227)");
    std::string dots;
    for (int i = 0; i < 20; ++i) dots += " .";
    EXPECT_EQ(Console(), "WiFi Step 1 2 3" + dots);
    EXPECT_EQ(Reads().size(), c.dhcpReads);
    EXPECT_EQ(Clock().SleptMs() - start, 8000 + 1000 + 20 * 1000);
    TearDown();
    SetUp();
  }
}

TEST_F(WifiStepTest, LongNetworkNameIsCutToFiftyBytes) {
  const std::string name(60, 'N');
  // The module sees the first 50 bytes; a bench network of that name accepts them.
  ASSERT_TRUE(StartBench({"net.ssid=" + name.substr(0, 50)}));
  LoadConfig({{"SSID", name}});
  StepContext context = UsbContext();
  EXPECT_EQ(StepWifiTest(&context), 0);
  EXPECT_STREQ(context.Msg, "WiFi Good. Ver: 3.13");
  EXPECT_EQ(StoredBytes(49325, 25), name.substr(0, 50));
  EXPECT_EQ(StoredBytes(49350, 7), "q5-bench-pass\n");
}

TEST_F(WifiStepTest, WrongInterfaceAnswerFailsAndLeavesTheConnectionOpen) {
  ASSERT_TRUE(StartBench({"net.id_wifi=11"}));
  LoadConfig();
  StepContext context = UsbContext();
  EXPECT_EQ(StepWifiTest(&context), 1);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Failed to connect to WiFi. 3.13");
  EXPECT_EQ(Console(), "WiFi Step 1 2 3 . 4");
  double value = 0;
  EXPECT_EQ(TKM_eReadAddress(context.wifiHandle, 49600, 1, &value), 0);
  EXPECT_EQ(value, 11);
  TKM_Close(context.wifiHandle);
}

struct CommCase {
  const char* fault;
  const char* console;
  int64_t sleptMs;
};

TEST_F(WifiStepTest, CommunicationErrors) {
  for (CommCase c : {CommCase{"fault.error=60008:2301:1", "", 0},
                     CommCase{"fault.error=49450:2302:1", "WiFi Step 1", 8000 + 1000},
                     // Register 28 is read only over WiFi: 20 tries, 100 ms after each.
                     CommCase{"fault.error=28:2303", "WiFi Step 1 2 3 . 4", 8000 + 1000 + 1000 + 20 * 100}}) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(StartBench({c.fault}));
    ClearConsole();
    LoadConfig();
    StepContext context = UsbContext();
    int64_t start = Clock().SleptMs();
    EXPECT_EQ(StepWifiTest(&context), 1);
    EXPECT_EQ(context.EL, kLevelFatal);
    std::string code = std::string(c.fault).substr(std::string(c.fault).find(':') + 1, 4);
    EXPECT_EQ(std::string(context.Msg), "Comm Error: (" + code + ")");
    EXPECT_EQ(Console(), c.console);
    EXPECT_EQ(Clock().SleptMs() - start, c.sleptMs);
    if (context.wifiHandle > 0) TKM_Close(context.wifiHandle);
    TearDown();
    SetUp();
  }
}

TEST(WifiAddressText, BytesFromTheMostSignificant) {
  char text[32];
  DottedAddressText(0x0A000005, text, sizeof text);
  EXPECT_STREQ(text, "10.0.0.5");
  DottedAddressText(0xFFFFFFFF, text, sizeof text);
  EXPECT_STREQ(text, "255.255.255.255");
  DottedAddressText(0xC0A8010A, text, 8);  // bounded
  EXPECT_STREQ(text, "192.168");
}

}  // namespace
