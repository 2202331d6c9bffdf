// Physics of the bench's jig, digital lines and analog side, checked
// against what the station's tables require of a good device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "bench/analog_model.h"
#include "bench/dio_model.h"
#include "bench/jig_model.h"

namespace {

// The station's digital jig table: E/C/M states and directions, expected word.
struct JigRow {
  uint16_t es, cs, ms, ed, cd, md;
  uint32_t expected;
};
constexpr JigRow kRows[8] = {
    {0, 0, 0, 0, 0, 0, 0x070F7F},          {0, 0, 0, 0x15, 0x05, 0x07, 0x000040},
    {0x15, 0x05, 0, 0x15, 0x05, 0x01, 0x000F7F}, {0, 0, 0, 0x2A, 0x0A, 0x07, 0x000040},
    {0x2A, 0x0A, 0, 0x2A, 0x0A, 0x02, 0x000F7F}, {0, 0, 0, 0, 0, 0x07, 0x000F7F},
    {0, 0, 0, 0, 0, 0x04, 0x000F7F},       {0, 0, 0, 0, 0, 0, 0x070F7F},
};

uint32_t JigWord(DioModel& dio, const JigRow& row) {
  dio.WriteState(1, row.es);
  dio.WriteState(2, row.cs);
  dio.WriteState(3, row.ms);
  dio.WriteDirection(1, row.ed);
  dio.WriteDirection(2, row.cd);
  dio.WriteDirection(3, row.md);
  return dio.StateWord(1) | uint32_t(dio.StateWord(2)) << 8 | uint32_t(dio.StateWord(3)) << 16;
}

TEST(DioModel, JigLoopBacksGiveEveryWordOfTheJigTable) {
  DioModel dio(DioOptions{});
  for (int i = 0; i < 8; ++i) EXPECT_EQ(JigWord(dio, kRows[i]), kRows[i].expected) << "row " << i + 1;
  EXPECT_EQ(dio.StateWord(0) & 0x1F, 3);  // jig code on lines 0-4
}

TEST(DioModel, WithoutJigLinesAreIndependentAndShortsJoinThem) {
  DioOptions options;
  options.jigFitted = false;
  DioModel free(options);
  free.WriteLine(8, 0);
  EXPECT_FALSE(free.LineLevel(8));
  EXPECT_TRUE(free.LineLevel(9));
  EXPECT_EQ(free.StateWord(0), 0xFF);

  options.shorts = {{3, 9}};
  DioModel shorted(options);
  shorted.WriteLine(3, 0);
  EXPECT_FALSE(shorted.LineLevel(9));
  shorted.WriteLine(3, 1);
  EXPECT_TRUE(shorted.LineLevel(9));
}

TEST(DioModel, InhibitProtectsStateAndDirectionUnlessTheLineLeaks) {
  DioOptions bare;
  bare.jigFitted = false;
  DioModel dio(bare);
  dio.WriteDirection(2, 0xFF);
  dio.WriteState(2, 0);
  dio.WriteInhibit(2, 0xFE);
  dio.WriteState(2, 0xFF);
  EXPECT_EQ(dio.StateWord(2), 0x01);
  EXPECT_EQ(dio.DirectionWord(2), 0x0F);  // bits beyond the group's four lines dropped

  bare.inhibitLeaks = {18};
  DioModel leaky(bare);
  leaky.WriteDirection(2, 0xFF);
  leaky.WriteState(2, 0);
  leaky.WriteInhibit(2, 0xFE);
  leaky.WriteState(2, 0xFF);
  EXPECT_EQ(leaky.StateWord(2), 0x05);
}

TEST(JigModel, BusRequestReturnsTheRecordOnlyForTheJigMemory) {
  const uint16_t block[11] = {7, 6, 0xFFE0, 0, 0x50, 0, 0, 0, 1, 32, 0};
  JigOptions jig;
  uint8_t out[32];
  ASSERT_EQ(RunJigBusRequest(jig, block, out), 0);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(out[2] * 256 + out[3], 6);
  float sense;
  uint32_t bits = uint32_t(out[24]) << 24 | uint32_t(out[25]) << 16 | uint32_t(out[26]) << 8 | out[27];
  std::memcpy(&sense, &bits, 4);
  EXPECT_FLOAT_EQ(sense, 0.2f);

  uint16_t wrongAddress[11];
  std::memcpy(wrongAddress, block, sizeof block);
  wrongAddress[4] = 0x51;
  ASSERT_EQ(RunJigBusRequest(jig, wrongAddress, out), 0);
  EXPECT_EQ(out[1], 0xFF);

  jig.i2cError = 2601;
  EXPECT_EQ(RunJigBusRequest(jig, block, out), 2601);
}

// The gain test as the station runs it, on the model: balance, then the
// expected raw values within +-0x80000.
struct GainOutcome {
  int passes1 = -1, passes2 = -1;
  long worst = 0;
};
GainOutcome RunGainTest(AnalogModel& m) {
  static const float kRangeValue[4] = {9.9f, 0.9f, 0.09f, 0.009f};
  static const uint32_t kExpected[6] = {0x891C40, 0xC03300, 0xFFFF00, 0x891700, 0xC00B80, 0xFFFF00};
  GainOutcome outcome;
  m.SetNegative(8, 9);
  m.SetResolution(8, 8);
  auto balance = [&](float level, int range) {
    m.SetRangeValue(8, kRangeValue[range]);
    for (int pass = 0; pass < 1000; ++pass) {
      m.SetTestOutputLevel(level);
      uint32_t raw = m.ConvertRaw(8);
      if (raw > 0xC01000)
        level -= 0.0003f;
      else if (raw < 0xBFF000)
        level += 0.0003f;
      else
        return pass;
    }
    return -1;
  };
  auto check = [&](int range, uint32_t expected) {
    m.SetRangeValue(8, kRangeValue[range]);
    long d = std::labs(long(m.ConvertRaw(8)) - long(expected));
    if (d > outcome.worst) outcome.worst = d;
  };
  m.SetDirectPath(true);
  outcome.passes1 = balance(0.5f, 1);
  for (int r = 0; r < 3; ++r) check(r, kExpected[r]);
  m.SetDirectPath(false);
  outcome.passes2 = balance(1.12f, 2);
  for (int r = 1; r < 4; ++r) check(r, kExpected[2 + r]);
  return outcome;
}

TEST(AnalogModel, EverySeededDeviceBalancesAndMeetsTheGainTableAndStreamWindows) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    AnalogOptions options;
    options.seed = seed;
    AnalogModel m(options, JigAnalog{});
    GainOutcome g = RunGainTest(m);
    EXPECT_GE(g.passes1, 0) << seed;
    EXPECT_GE(g.passes2, 0) << seed;
    EXPECT_LT(g.worst, 0x80000) << seed;
    // DACs left at 0xC000 / 0x2000 after the DAC test, read uncalibrated.
    m.SetRangeValue(0, 9.9f);
    m.SetRangeValue(1, 9.9f);
    m.SetDacCode(0, 0xC000);
    m.SetDacCode(1, 0x2000);
    float a0 = m.ConvertVolts(0);
    float a1 = m.ConvertVolts(1);
    EXPECT_TRUE(a0 > 3.7f && a0 < 3.8f) << seed << " " << a0;
    EXPECT_TRUE(a1 > 0.6f && a1 < 0.65f) << seed << " " << a1;
  }
}

TEST(AnalogModel, StuckOutputCannotBalance) {
  AnalogOptions options;
  options.outputStuck = true;
  AnalogModel m(options, JigAnalog{});
  EXPECT_EQ(RunGainTest(m).passes1, -1);
}

TEST(AnalogModel, DevicesDifferFromNominalAndTrueConstantsMakeReadingsExact) {
  AnalogOptions options;
  options.seed = 42;
  AnalogModel m(options, JigAnalog{});
  const TrueCharacteristics& t = m.Truth();
  double deviation = std::fabs(t.hs[0].pSlope / kNominalCalibration[0] - 1.0);
  EXPECT_GT(deviation, 0.0);
  EXPECT_LE(deviation, options.spread);
  EXPECT_NE(t.hs[0].pSlope, t.hr[0].pSlope);

  // Supply on AIN6, 10 V range: nominal constants err, true constants do not.
  m.SetRangeValue(6, 9.9f);
  m.SetResolution(6, 8);
  float nominalReading = m.ConvertVolts(6);
  float constants[kCalibrationConstantCount];
  m.TrueCalibration(constants);
  m.SetCalibration(constants);
  double sum = 0;
  for (int i = 0; i < 64; ++i) sum += m.ConvertVolts(6);
  EXPECT_NEAR(sum / 64, 5.02, 0.0005);
  EXPECT_GT(std::fabs(nominalReading - 5.02), 0.0005);

  // Calibrated DAC in volts lands on the requested voltage.
  m.SetDacVolts(0, 4.0f);
  EXPECT_NEAR(m.DacOutputVolts(0), 4.0, 0.0002);
}

TEST(AnalogModel, NoiseOverrideIsTheExactPeakToPeakOfSixteenReadings) {
  AnalogOptions options;
  options.noiseOverride[0 * 100 + 1] = 12.0;
  AnalogModel m(options, JigAnalog{});
  m.SetRangeValue(15, 9.9f);
  m.SetResolution(15, 1);
  uint32_t lo = 0xFFFFFFFF, hi = 0;
  for (int i = 0; i < 16; ++i) {
    uint32_t raw = m.ConvertRaw(15);
    lo = std::min(lo, raw);
    hi = std::max(hi, raw);
  }
  EXPECT_EQ(hi - lo, 12u * 256u);
}

}  // namespace
