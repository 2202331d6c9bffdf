// "Open Tavrick", "Firmware Version" and "Hardware Version" against the
// virtual device.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "steps/steps.h"
#include "support/bench_fixture.h"
#include "tkm/tkm.h"

namespace {

constexpr uint32_t kStationMode = 0x000711E1;

class OpenTest : public BenchTest {
 protected:
  void TearDown() override {
    if (opened_ > 0) TKM_Close(opened_);
    BenchTest::TearDown();
  }
  StepContext RunOpen(uint32_t mode) {
    StepContext context;
    context.mode = mode;
    StepOpenTavrick(&context);
    opened_ = context.handle;
    return context;
  }
  int opened_ = 0;
};

TEST_F(OpenTest, ProDeviceIsFoundAndPutIntoItsKnownState) {
  ASSERT_TRUE(StartBench({}));
  std::atomic<int64_t> at48004{-1}, at43990{-1};
  std::atomic<int> writes30014{0};
  Device().AddWriteHook(48004, 48004, [&](int, int, const uint8_t*, Interface) {
    at48004 = Clock().NowMs();
    return 0;
  });
  Device().AddWriteHook(43990, 43990, [&](int, int, const uint8_t*, Interface) {
    at43990 = Clock().NowMs();
    return 0;
  });
  Device().AddWriteHook(30014, 30015, [&](int, int, const uint8_t*, Interface) {
    writes30014++;
    return 0;
  });
  Device().SetU32(4990, 7);
  Device().SetFloat(30014, 2.5f);
  int64_t sleptBefore = Clock().SleptMs();

  StepContext context = RunOpen(kStationMode);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "Tavrick Q5-Pro Found");
  EXPECT_TRUE(context.isPro);
  EXPECT_GT(context.handle, 0);
  EXPECT_EQ(context.usbHandle, context.handle);

  EXPECT_EQ(Device().GetU32(4990), 0u);
  EXPECT_EQ(Device().GetU16(48005), 1);
  EXPECT_EQ(Device().GetU16(48003), 1);
  EXPECT_EQ(Device().GetU16(48004), 0);
  EXPECT_EQ(Device().GetU16(43990), 1);
  // 43990 only after the 5 s wait that follows the other writes.
  ASSERT_GE(at48004.load(), 0);
  ASSERT_GE(at43990.load(), 0);
  EXPECT_GE(at43990 - at48004, 5000);
  EXPECT_GE(Clock().SleptMs() - sleptBefore, 5000);
  // Jig fitted (0x20000): its test output is set to 0.
  EXPECT_EQ(writes30014.load(), 1);
  EXPECT_EQ(Device().GetFloat(30014), 0.0f);
}

TEST_F(OpenTest, WithoutTheJigBit30014IsNotWritten) {
  ASSERT_TRUE(StartBench({}));
  std::atomic<int> writes30014{0};
  Device().AddWriteHook(30014, 30015, [&](int, int, const uint8_t*, Interface) {
    writes30014++;
    return 0;
  });
  StepContext context = RunOpen(kStationMode & ~0x20000u);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_EQ(writes30014.load(), 0);
  EXPECT_EQ(Device().GetU16(43990), 1);
}

struct IdentityCase {
  const char* options[2];
  ResultLevel level;
  const char* message;
  bool isPro;
};

class OpenIdentityTest : public OpenTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(OpenIdentityTest, JudgesVariantAndHardwareId) {
  const IdentityCase& c = GetParam();
  std::vector<std::string> options;
  for (const char* o : c.options)
    if (o != nullptr) options.push_back(o);
  ASSERT_TRUE(StartBench(options));
  StepContext context = RunOpen(kStationMode);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
  EXPECT_EQ(context.isPro, c.isPro);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenIdentityTest,
    ::testing::Values(
        IdentityCase{{"identity.pro=0", nullptr}, kLevelPassed, "Tavrick Q5 Found", false},
        // Only bit 0 tells the Pro variant.
        IdentityCase{{"identity.status=0xFFFFFFFE", nullptr}, kLevelPassed, "Tavrick Q5 Found", false},
        IdentityCase{{"identity.status=1", nullptr}, kLevelPassed, "Tavrick Q5-Pro Found", true},
        IdentityCase{{"identity.hw_id=7.000001", nullptr}, kLevelPassed, "Tavrick Q5-Pro Found", true},
        IdentityCase{{"identity.hw_id=7.1", nullptr}, kLevelFatal, "Can not process HW ID: 7,", false},
        IdentityCase{{"identity.hw_id=4", "identity.pro=0"}, kLevelFatal, "Can not process HW ID: 4,", false},
        IdentityCase{{"fault.error=60010:2301", nullptr}, kLevelFatal, "Comm Error: (2301)", false}));

TEST_F(OpenTest, NoDeviceIsReportedWithTheLibraryCode) {
  ASSERT_TRUE(StartBench({}, false));
  // A bound socket that does not listen: connections are refused at once.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  setenv("TKM_USB_ENDPOINT", endpoint.c_str(), 1);

  StepContext context;
  context.isPro = true;
  context.handle = 9;
  context.mode = kStationMode;
  StepOpenTavrick(&context);
  close(fd);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "No Tavricks found (1227)");
  EXPECT_FALSE(context.isPro);
  EXPECT_EQ(context.handle, 0);
}

struct VersionCase {
  const char* firmware;
  const char* bootstrap;
  const char* chip;
  uint32_t mode;
  ResultLevel level;
  const char* message;
};

class FirmwareVersionTest : public BenchTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(FirmwareVersionTest, ChecksChipBootstrapAndFirmware) {
  const VersionCase& c = GetParam();
  ASSERT_TRUE(StartBench({std::string("identity.firmware_version=") + c.firmware,
                          std::string("identity.bootstrap_version=") + c.bootstrap,
                          std::string("identity.flash_chip=") + c.chip}));
  StepContext context;
  context.handle = Handle();
  context.mode = c.mode;
  StepFirmwareVersion(&context);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
  EXPECT_FLOAT_EQ(static_cast<float>(context.firmwareVersion), std::strtof(c.firmware, nullptr));
  EXPECT_FLOAT_EQ(static_cast<float>(context.bootstrapVersion), std::strtof(c.bootstrap, nullptr));
}

constexpr uint32_t kNoCalibration = kStationMode & ~0x80u;

INSTANTIATE_TEST_SUITE_P(
    Cases, FirmwareVersionTest,
    ::testing::Values(
        VersionCase{"1.0216", "0.95", "66", kStationMode, kLevelPassed, "FW 1.0216, BS 0.9500, FC 66"},
        VersionCase{"1.0216", "0.9401", "74", kStationMode, kLevelPassed, "FW 1.0216, BS 0.9401, FC 74"},
        VersionCase{"1.0216", "0.9402", "74", kStationMode, kLevelFatal, "Wrong BS: 0.9402, Chip: 74"},
        // Chip 74 is limited only by its ceiling, not by the 0.95 requirement.
        VersionCase{"1.0216", "0.93", "74", kStationMode, kLevelPassed, "FW 1.0216, BS 0.9300, FC 74"},
        VersionCase{"1.0216", "0.9409", "66", kStationMode, kLevelFatal,
                    "FW 1.0216, BS 0.9409, FC 66, BS 0.9500 Required"},
        VersionCase{"1.0216", "0.9409", "66", kNoCalibration, kLevelWarning,
                    "FW 1.0216, BS 0.9409, FC 66, BS 0.9500 Required"},
        VersionCase{"1.0216", "0.9408", "66", kStationMode, kLevelFatal, "Wrong BS: 0.9408, Chip: 66"},
        VersionCase{"1.0216", "0.95", "12", kStationMode, kLevelFatal, "Unknown flash chip: 12"},
        VersionCase{"1.0215", "0.95", "66", kNoCalibration, kLevelWarning,
                    "FW 1.0215, BS 0.9500, FC 66, FW 1.0216 Required"},
        VersionCase{"1.0215", "0.95", "66", kStationMode, kLevelFatal,
                    "FW 1.0215, BS 0.9500, FC 66, FW 1.0216 Required"},
        // A wrong firmware ends the checks: the bootstrap requirement is not added.
        VersionCase{"1.0217", "0.9409", "66", kStationMode, kLevelFatal,
                    "FW 1.0217, BS 0.9409, FC 66, FW 1.0216 Required"},
        VersionCase{"1.021605", "0.95", "66", kStationMode, kLevelPassed, "FW 1.0216, BS 0.9500, FC 66"}));

class VersionReadFailureTest : public BenchTest {};

TEST_F(VersionReadFailureTest, FailedReadsAreReportedNotJudged) {
  ASSERT_TRUE(StartBench({"fault.error=60040:2301,60002:2302"}));
  StepContext context;
  context.handle = Handle();
  context.mode = kStationMode;
  context.firmwareVersion = -1;
  StepFirmwareVersion(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2301)");
  EXPECT_EQ(context.firmwareVersion, -1);

  StepHardwareVersion(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2302)");
}

TEST_F(VersionReadFailureTest, HardwareVersionIsReported) {
  ASSERT_TRUE(StartBench({"identity.hardware_version=2.157"}));
  StepContext context;
  context.handle = Handle();
  StepHardwareVersion(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "HW 2.16");
}

}  // namespace
