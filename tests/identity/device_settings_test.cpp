// "Check SD Card", "Startup DAQ Settings", "Device Name" and "System Time"
// against the virtual device.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "steps/steps.h"
#include "support/bench_fixture.h"

namespace {

constexpr uint32_t kStationMode = 0x000711E1;

class SettingsTest : public BenchTest {
 protected:
  StepContext MakeContext(bool isPro, uint32_t mode = kStationMode, uint64_t serial = 470010002) {
    StepContext context;
    context.handle = Handle();
    context.mode = mode;
    context.isPro = isPro;
    context.serialNumber = serial;
    return context;
  }
  // Counts writes that touch registers first..last.
  std::atomic<int>* CountWrites(int first, int last) {
    counts_.push_back(std::make_unique<std::atomic<int>>(0));
    std::atomic<int>* count = counts_.back().get();
    Device().AddWriteHook(first, last, [count](int, int, const uint8_t*, Interface) {
      (*count)++;
      return 0;
    });
    return count;
  }
  std::string NameBytes() {
    std::string bytes;
    for (int i = 0; i < 20; ++i) {
      uint16_t r = Device().GetU16(60500 + i);
      bytes.push_back(static_cast<char>(r >> 8));
      bytes.push_back(static_cast<char>(r & 0xFF));
    }
    return bytes;
  }
  void StoreName(const uint8_t bytes[40]) {
    for (int i = 0; i < 20; ++i) Device().SetU16(60500 + i, static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]));
  }

 private:
  std::vector<std::unique_ptr<std::atomic<int>>> counts_;
};

std::string Padded(const std::string& name) {
  std::string bytes = name;
  bytes.resize(40, '\0');
  return bytes;
}

// ---- Check SD Card ----

struct SdCase {
  const char* option;
  bool isPro;
  ResultLevel level;
  const char* message;
};

class SdCardTest : public SettingsTest, public ::testing::WithParamInterface<SdCase> {};

TEST_P(SdCardTest, ReportsTheCard) {
  const SdCase& c = GetParam();
  ASSERT_TRUE(StartBench({c.option}));
  StepContext context = MakeContext(c.isPro);
  StepCheckSdCard(&context);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SdCardTest,
    ::testing::Values(SdCase{"identity.pro=0", false, kLevelPassed, "Pro-Only, Skipping."},
                      SdCase{"identity.sd_card=1", true, kLevelPassed, "SD Card Mounted."},
                      SdCase{"identity.sd_card=0", true, kLevelFatal, "SD Card could not be mounted."},
                      // The device is read before the Pro test, in the step's own wording.
                      SdCase{"fault.error=60011:2301", false, kLevelFatal, "Comm error:  2301"}));

// ---- Startup DAQ Settings ----

struct StartupCase {
  const char* option;
  uint32_t mode;
  ResultLevel level;
  const char* message;
  int keyWrites;
  uint32_t indicatorAfter;
};

class StartupTest : public SettingsTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupTest, KeepsOrSwitchesToFactorySettings) {
  const StartupCase& c = GetParam();
  ASSERT_TRUE(StartBench({c.option}));
  std::atomic<int>* keyWrites = CountWrites(49004, 49005);
  StepContext context = MakeContext(true, c.mode);
  StepStartupDaqSettings(&context);
  EXPECT_EQ(context.EL, c.level);
  EXPECT_STREQ(context.Msg, c.message);
  EXPECT_EQ(keyWrites->load(), c.keyWrites);
  if (c.keyWrites > 0) {
    EXPECT_EQ(Device().GetU32(49004), 0x5B17A90Fu);
  }
  EXPECT_EQ(Device().GetU32(49000), c.indicatorAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupTest,
    ::testing::Values(
        StartupCase{"identity.startup_factory=1", kStationMode, kLevelPassed, "Factory settings detected", 0, 1},
        StartupCase{"identity.startup_factory=0", kStationMode, kLevelPassed, "Changed to factory settings", 1, 1},
        StartupCase{"identity.startup_factory=0", kStationMode & ~0x20u, kLevelWarning,
                    "non-Factory settings detected", 0, 0},
        StartupCase{"fault.error=49000:2301", kStationMode, kLevelFatal, "Comm Error: (2301)", 0, 1}));

// ---- Device Name ----

TEST_F(SettingsTest, MatchingNameIsKept) {
  for (const char* name : {"My_Q5_0002", "XY_Q5_0002 spare", "My_Q5_0002_and_more_than_forty_characters_long"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(StartBench({std::string("identity.name=") + name}));
    std::atomic<int>* writes = CountWrites(60500, 60519);
    StepContext context = MakeContext(true);
    StepDeviceName(&context);
    EXPECT_EQ(context.EL, kLevelPassed);
    EXPECT_EQ(std::string(context.Msg), std::string("Name: ") + std::string(name).substr(0, 40));
    EXPECT_EQ(writes->load(), 0);
    TearDown();
  }
}

TEST_F(SettingsTest, WrongEmptyOrErasedNameIsReplaced) {
  struct Case {
    std::vector<std::string> options;
    uint64_t serial;
    const char* expected;
  };
  const Case cases[] = {
      {{"identity.name=Lab_Q5_0002"}, 470010002, "My_Q5_0002"},  // characters 6..9 are _000
      {{"identity.name=My_Q5_0003"}, 470010002, "My_Q5_0002"},
      {{"identity.name="}, 470010002, "My_Q5_0002"},
      {{"identity.name_erased=1"}, 470010002, "My_Q5_0002"},
      {{"identity.name=My_Q5_0002"}, 480010000, "My_Q5_0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0]);
    ASSERT_TRUE(StartBench(c.options));
    std::atomic<int>* writes = CountWrites(60500, 60519);
    StepContext context = MakeContext(true, kStationMode, c.serial);
    StepDeviceName(&context);
    EXPECT_EQ(context.EL, kLevelPassed);
    EXPECT_EQ(std::string(context.Msg), std::string("Name: ") + c.expected);
    EXPECT_EQ(writes->load(), 1);
    EXPECT_EQ(NameBytes(), Padded(c.expected));
    TearDown();
  }
}

TEST_F(SettingsTest, EmptyOrErasedFirstByteIsReplacedEvenWhenTheDigitsMatch) {
  for (uint8_t first : {uint8_t{0x00}, uint8_t{0xFF}}) {
    SCOPED_TRACE(first);
    ASSERT_TRUE(StartBench({}));
    uint8_t stored[40];
    std::memset(stored, first, sizeof stored);
    std::memcpy(stored + 1, "y_Q5_0002", 9);
    StoreName(stored);
    StepContext context = MakeContext(true);
    StepDeviceName(&context);
    EXPECT_EQ(context.EL, kLevelPassed);
    EXPECT_STREQ(context.Msg, "Name: My_Q5_0002");
    EXPECT_EQ(NameBytes(), Padded("My_Q5_0002"));
    TearDown();
  }
}

TEST_F(SettingsTest, NameReadOrWriteFailureIsACommError) {
  ASSERT_TRUE(StartBench({"fault.error=60505:2301"}));
  StepContext context = MakeContext(true);
  StepDeviceName(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2301)");
  TearDown();

  // The device refuses the write of the new name.
  ASSERT_TRUE(StartBench({"identity.name=Wrong"}));
  Device().AddWriteHook(60500, 60519, [](int, int, const uint8_t*, Interface) { return 2310; });
  context = MakeContext(true);
  StepDeviceName(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2310)");
}

// ---- System Time ----

TEST_F(SettingsTest, StandardDeviceHasNoClockButIsStillRead) {
  ASSERT_TRUE(StartBench({"identity.pro=0"}));
  std::atomic<int>* clockSets = CountWrites(61504, 61505);
  StepContext context = MakeContext(false);
  StepSystemTime(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "RTC not present; Pro only");
  EXPECT_EQ(clockSets->load(), 0);
  TearDown();

  ASSERT_TRUE(StartBench({"identity.pro=0", "fault.error=61500:2301"}));
  context = MakeContext(false);
  StepSystemTime(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2301)");
}

TEST_F(SettingsTest, ProClockFiveSecondsBehindIsReported) {
  ASSERT_TRUE(StartBench({"identity.clock_offset=-5"}));
  std::atomic<int>* clockSets = CountWrites(61504, 61505);
  StepContext context = MakeContext(true, kStationMode & ~0x1000u);
  uint32_t now = static_cast<uint32_t>(Clock().NowSeconds());
  StepSystemTime(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_EQ(std::string(context.Msg), "Q5: " + std::to_string(static_cast<int32_t>(now - 5)) + ", delta: -5");
  EXPECT_EQ(clockSets->load(), 0);
}

TEST_F(SettingsTest, ProClockIsSetToTheStationTime) {
  ASSERT_TRUE(StartBench({"identity.clock_offset=-5"}));
  std::atomic<int>* clockSets = CountWrites(61504, 61505);
  StepContext context = MakeContext(true, kStationMode);
  uint32_t now = static_cast<uint32_t>(Clock().NowSeconds());
  int64_t sleptBefore = Clock().SleptMs();
  StepSystemTime(&context);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_EQ(clockSets->load(), 1);
  EXPECT_EQ(Device().GetU32(61504), now);
  EXPECT_GE(Clock().SleptMs() - sleptBefore, 2000);
  // Read back 2 s after it was set to the station's time.
  EXPECT_EQ(std::string(context.Msg), "delta: -5 . Set to: " + std::to_string(static_cast<int32_t>(now + 2)));
}

TEST_F(SettingsTest, ClockReadBackFailureIsACommError) {
  ASSERT_TRUE(StartBench({}));
  // The first read passes; the read after the set fails.
  std::atomic<int> reads{0};
  Device().AddReadHook(61500, 61501, [&reads](int, int, uint8_t*, Interface) { return ++reads > 1 ? 2301 : 0; });
  StepContext context = MakeContext(true);
  StepSystemTime(&context);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (2301)");
}

}  // namespace
