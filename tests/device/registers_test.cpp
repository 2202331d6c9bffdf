// Register helpers against the virtual device: what reaches the registers,
// in which order, in how many requests.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/registers.h"
#include "support/bench_fixture.h"
#include "tkm/tkm.h"

namespace {

struct Written {
  int address;
  std::vector<uint8_t> bytes;
};

class RegistersTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"device.bare=1"}; }

 protected:
  void SetUp() override {
    ASSERT_TRUE(StartBench());
    Device().AddWriteHook(0, 65535, [this](int address, int count, const uint8_t* in, Interface) {
      written_.push_back({address, std::vector<uint8_t>(in, in + 2 * count)});
      return 0;
    });
  }
  static std::vector<uint8_t> FloatBytes(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
            static_cast<uint8_t>(bits)};
  }
  std::vector<Written> written_;  // filled under the device's mutex, read after the calls
};

TEST_F(RegistersTest, ConfigureAnalogInputWritesFourValuesInOrderInOneRequest) {
  uint64_t before = Exchanges();
  ASSERT_EQ(ConfigureAnalogInput(Handle(), 8, 1, 8, 9, 100), 0);
  EXPECT_EQ(Exchanges() - before, 1u);
  ASSERT_EQ(written_.size(), 4u);
  EXPECT_EQ(written_[0].address, 40016);
  EXPECT_EQ(written_[0].bytes, FloatBytes(0.9f));
  EXPECT_EQ(written_[1].address, 41508);
  EXPECT_EQ(written_[1].bytes, (std::vector<uint8_t>{0x00, 0x08}));
  EXPECT_EQ(written_[2].address, 42016);
  EXPECT_EQ(written_[2].bytes, FloatBytes(100.0f));
  EXPECT_EQ(written_[3].address, 41008);
  EXPECT_EQ(written_[3].bytes, (std::vector<uint8_t>{0x00, 0x09}));
}

TEST_F(RegistersTest, RangeCodesMapToTheirRangesAndOthersAreRefused) {
  const float ranges[4] = {9.9f, 0.9f, 0.09f, 0.009f};
  for (int code = 0; code < 4; ++code) {
    ASSERT_EQ(ConfigureAnalogInput(Handle(), 2, code, 0, 199, 0), 0);
    EXPECT_EQ(Device().GetFloat(40004), ranges[code]) << code;
  }
  uint64_t before = Exchanges();
  EXPECT_EQ(ConfigureAnalogInput(Handle(), 2, 4, 0, 199, 0), kBadRangeCode);
  EXPECT_EQ(ConfigureAnalogInput(Handle(), 2, -1, 0, 199, 0), kBadRangeCode);
  EXPECT_EQ(Exchanges(), before);
}

TEST_F(RegistersTest, SingleRegisterWritesAndReads) {
  ASSERT_EQ(WriteDio5(Handle(), 0x10001), 0);  // low 16 bits
  ASSERT_EQ(written_.size(), 1u);
  EXPECT_EQ(written_[0].address, 2005);
  EXPECT_EQ(written_[0].bytes, (std::vector<uint8_t>{0x00, 0x01}));

  ASSERT_EQ(WriteU32Register(Handle(), 61996, 0x544B0020), 0);
  EXPECT_EQ(Device().GetU32(61996), 0x544B0020u);
  ASSERT_EQ(WriteFloatRegister(Handle(), 4008, 10.0f), 0);
  EXPECT_EQ(Device().GetFloat(4008), 10.0f);
  ASSERT_EQ(WriteU16Register(Handle(), 2600, 0xABCD), 0);
  EXPECT_EQ(Device().GetU16(2600), 0xABCD);

  Device().SetFloat(12, -0.125f);
  float f = 0;
  ASSERT_EQ(ReadFloatRegister(Handle(), 12, &f), 0);
  EXPECT_EQ(f, -0.125f);
  Device().SetU32(50016, 0xFFFFFF00u);
  uint32_t u = 0;
  ASSERT_EQ(ReadU32Register(Handle(), 50016, &u), 0);
  EXPECT_EQ(u, 0xFFFFFF00u);
}

TEST_F(RegistersTest, DeviceErrorsAreReturnedAsTheyCome) {
  Device().InjectError(2005, 2301);
  EXPECT_EQ(WriteDio5(Handle(), 1), 2301);
  Device().InjectError(60002, 1234);
  float f = 0;
  EXPECT_EQ(ReadFloatRegister(Handle(), 60002, &f), 1234);
  uint32_t u = 0;
  EXPECT_EQ(ReadU32Register(Handle(), 60002, &u), 1234);
  // An error in the middle of a request leaves the earlier writes done and
  // the later ones not: ops are served strictly in order.
  Device().InjectError(42016, 2999);
  EXPECT_EQ(ConfigureAnalogInput(Handle(), 8, 0, 12, 199, 4), 2999);
  EXPECT_EQ(Device().GetFloat(40016), 9.9f);
  EXPECT_EQ(Device().GetU16(41508), 12);
  EXPECT_EQ(Device().GetU16(41008), 0);
}

}  // namespace
