// The calibration steps end to end: the station's steps against the virtual
// bench (device, jig physics, multimeter on a pseudo-terminal) on the
// virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "bench/calibration_model.h"
#include "device/flash.h"
#include "device/registers.h"
#include "steps/accuracy_test.h"
#include "steps/calibrate.h"
#include "steps/calibration_table.h"
#include "steps/steps.h"
#include "support/bench_fixture.h"

namespace {

CalibrationBlock NominalBlock(bool withHr) {
  CalibrationBlock block;
  for (int k = 0; k < kCalRowCount; ++k) {
    if (!withHr && k >= 16 && k <= 31) continue;
    CalBlockPut(&block, k, static_cast<float>(CalNominals[k].nominal));
  }
  return block;
}

class CalibrationStepsTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"cal.model=1"}; }

 protected:
  void StoreBlock(const CalibrationBlock& block) {
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    Device().Flash().Store(kCalBlockAddress, block.bytes, kCalBlockLength);
  }
  StepContext JigContext(bool pro) {
    StepContext context;
    context.handle = Handle();
    context.isPro = pro;
    context.mode = 0x000711E1;
    const JigAnalog jig;
    for (int i = 0; i < 6; ++i) context.jigValues[i] = jig.values[i];
    return context;
  }
  CalibrationModel& Model() {
    CalibrationModel* model = CalibrationModel::Current();
    EXPECT_NE(model, nullptr);
    return *model;
  }
  // Gives the device its true constants, as a perfect calibration would.
  void LoadTrueCalibration() {
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    float constants[kCalibrationConstantCount];
    Model().Model().TrueCalibration(constants);
    Model().Model().SetCalibration(constants);
  }
};

struct CheckCase {
  const char* what;
  bool pro;
  uint32_t mode;
  int row;       // -1: none changed
  float value;
  bool blank;
  int32_t level;
  const char* msg;
};

// The station's mode word has the calibration-run bit 0x80; a production
// run without it judges a bad block as fatal.
constexpr uint32_t kCalRun = 0x000711E1;
constexpr uint32_t kNoCalRun = kCalRun & ~0x80u;

TEST_F(CalibrationStepsTest, CheckCalibrationJudgesTheBlockInFlash) {
  ASSERT_TRUE(StartBench());
  const CheckCase cases[] = {
      {"blank", false, kNoCalRun, -1, 0, true, 4, "Calibration Blank"},
      {"blank, calibration run", false, kCalRun, -1, 0, true, 2, "Calibration Blank"},
      {"standard with zero HR rows", false, kNoCalRun, -1, 0, false, 2, "Calibration Good"},
      {"Pro with zero HR rows", true, kNoCalRun, -1, 0, false, 5, "Cal Failed: HR 10.0V PSlope 0.000e+00"},
      {"DAC offset -150", false, kNoCalRun, 33, -150.0f, false, 2, "Calibration Good"},
      {"DAC offset 250", false, kNoCalRun, 33, 250.0f, false, 5, "Cal Failed: DAC0 Offset 2.500e+02"},
      {"centre 35199", false, kNoCalRun, 2, 35199.0f, false, 2, "Calibration Good"},
      {"centre 35200", false, kNoCalRun, 2, 35200.0f, false, 5, "Cal Failed: HS 10.0V Center 3.520e+04"},
      {"HS 1 V centre", false, kNoCalRun, 6, 31020.0f, false, 5, "Cal Failed: HS 1.00V Center 3.102e+04"},
      {"failing row in a calibration run", false, kCalRun, 6, 31020.0f, false, 2,
       "Cal Failed: HS 1.00V Center 3.102e+04"},
      {"NaN constant", false, kNoCalRun, 38, NAN, false, 5, "Cal Failed: IS 10uA nan"},
  };
  for (const CheckCase& c : cases) {
    CalibrationBlock block = NominalBlock(false);
    if (c.row >= 0) CalBlockPut(&block, c.row, c.value);
    if (c.blank) block.bytes[0] = 0xFF;
    StoreBlock(block);
    StepContext context = JigContext(c.pro);
    context.mode = c.mode;
    StepCheckCalibration(&context);
    EXPECT_EQ(c.level, context.EL) << c.what;
    EXPECT_STREQ(c.msg, context.Msg) << c.what;
  }
  // A failed flash read is reported, not judged.
  StoreBlock(NominalBlock(false));
  Device().InjectError(61812, 1234, 1);
  StepContext context = JigContext(false);
  context.mode = kCalRun;
  StepCheckCalibration(&context);
  EXPECT_EQ(5, context.EL);
  EXPECT_STREQ("Comm Error: (1234)", context.Msg);
}

// Largest relative difference between what Calibrate measured and the
// device's true constants, over the judged rows but the fixed temperature
// rows.
double WorstAgreement(const float* truth, bool pro, int* worstRow) {
  double worst = 0;
  for (int k = 0; k < kCalRowCount; ++k) {
    if (!CalRowJudged(k, pro) || k == 36 || k == 37) continue;
    double scale = std::fabs(static_cast<double>(truth[k]));
    if (k == 33 || k == 35) scale = 13200.0;  // offsets: relative to the slope
    const double d = std::fabs(static_cast<double>(CalConstants[k]) - truth[k]) / scale;
    if (d > worst) {
      worst = d;
      *worstRow = k;
    }
  }
  return worst;
}

TEST_F(CalibrationStepsTest, CalibrateThenResetThenAccuracyPasses) {
  for (bool pro : {true, false}) {
    SCOPED_TRACE(pro ? "Pro" : "standard");
    ASSERT_TRUE(StartBench({pro ? "analog.seed=7" : "analog.seed=11"}));
    StoreBlock(NominalBlock(false));
    memset(CalResultText, 0, sizeof CalResultText);
    StepContext context = JigContext(pro);
    EXPECT_EQ(0, StepCalibrate(&context));
    EXPECT_EQ(2, context.EL);
    EXPECT_STREQ("Cal Constants Written", context.Msg);
    EXPECT_STREQ("Cal Constants Written", CalResultText);
    EXPECT_NE(std::string::npos, Console().find("Cal Step: 1 2 3 4 5 6 7\r\nbias:\r\n Binary:"));
    EXPECT_GE(strlen(MeterName), 10u);

    float truth[kCalibrationConstantCount];
    {
      std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
      Model().Model().TrueCalibration(truth);
    }
    int worstRow = -1;
    const double worst = WorstAgreement(truth, pro, &worstRow);
    EXPECT_LT(worst, 2e-3) << "row " << worstRow;
    std::printf("[ agreement ] %s: largest relative difference %.2e at row %d (%s)\n", pro ? "Pro" : "standard",
                worst, worstRow, worstRow >= 0 ? CalNominals[worstRow].name : "-");
    // The HS slopes agree much closer than the tolerance rule asks.
    for (int k : {0, 1, 4, 5, 8, 9, 12, 13})
      EXPECT_NEAR(truth[k], CalConstants[k], std::fabs(truth[k]) * 2e-4) << CalNominals[k].name;

    // The block holds exactly the judged constants; a standard device gets
    // zeros in the HR rows (whose constants are NaN).
    const std::vector<uint8_t> flash = FlashBytes(kCalBlockAddress, kCalBlockLength);
    CalibrationBlock written;
    memcpy(written.bytes, flash.data(), kCalBlockLength);
    for (int k = 0; k < kCalRowCount; ++k) {
      if (CalRowJudged(k, pro))
        EXPECT_EQ(CalConstants[k], CalBlockGet(written, k)) << k;
      else
        EXPECT_TRUE(std::isnan(CalConstants[k]) && CalBlockGet(written, k) == 0.0f) << k;
    }
    for (uint32_t i = 164; i < kCalBlockLength; ++i) ASSERT_EQ(0, flash[i]) << i;

    StepReset(&context);
    EXPECT_STREQ("Soft reset issued", context.Msg);
    StepCheckCalibration(&context);
    EXPECT_STREQ("Calibration Good", context.Msg);
    // The device converts with the block it loaded at the reset.
    const std::vector<float> loaded = Model().LoadedConstants();
    EXPECT_EQ(CalConstants[0], loaded[0]);

    ClearConsole();
    memset(AccResultText, 0, sizeof AccResultText);
    EXPECT_EQ(0, StepTestAinAccuracy(&context));
    EXPECT_EQ(2, context.EL) << context.Msg;
    const std::regex summary(pro ? R"(0( \d\.\d{3})(,\d\.\d{3}){5})" : R"(0( \d\.\d{3})(,\d\.\d{3}){3})");
    EXPECT_TRUE(std::regex_match(std::string(context.Msg), summary)) << context.Msg;
    EXPECT_STREQ(context.Msg, AccResultText);
    EXPECT_TRUE(std::regex_match(Console(), std::regex(R"(Acc Step: 0W\d 1W\d 2W\d 3W\d)"))) << Console();
    TearDown();
  }
}

TEST_F(CalibrationStepsTest, DriftAfterCalibrationFailsTheAccuracyTest) {
  ASSERT_TRUE(StartBench({"cal.drift=0.002"}));
  StepContext context = JigContext(false);
  ASSERT_EQ(0, StepCalibrate(&context)) << context.Msg;
  StepReset(&context);
  ClearConsole();
  StepTestAinAccuracy(&context);
  EXPECT_EQ(5, context.EL);
  // 0.2 % of 7.5 V is 15 mV: 0.073 % of the 20.6 V span.
  EXPECT_STREQ("Acc Err: HS 0 0.073, 0.010", context.Msg);
  EXPECT_TRUE(std::regex_match(Console(), std::regex(R"(Acc Step: 0W\d 0W\d 0W\d)"))) << Console();
}

TEST_F(CalibrationStepsTest, AccuracyRetryFigure) {
  // A standard device reads AIN8 16 times at each of 7 levels per attempt.
  struct Case {
    int badAttempts;
    const char* first;
  };
  for (const Case c : {Case{2, "1 "}, Case{1, "0 "}}) {
    SCOPED_TRACE(c.badAttempts);
    ASSERT_TRUE(StartBench({"cal.glitch_range=1", "cal.glitch_reads=" + std::to_string(c.badAttempts * 7 * 16)}));
    LoadTrueCalibration();
    StepContext context = JigContext(false);
    ClearConsole();
    StepTestAinAccuracy(&context);
    EXPECT_EQ(2, context.EL) << context.Msg;
    EXPECT_EQ(0, strncmp(context.Msg, c.first, 2)) << context.Msg;
    const std::string attempts = c.badAttempts == 2 ? " 1W\\d 1W\\d 1W\\d" : " 1W\\d 1W\\d";
    EXPECT_TRUE(std::regex_match(Console(), std::regex("Acc Step: 0W\\d" + attempts + " 2W\\d 3W\\d"))) << Console();
    TearDown();
  }
}

TEST_F(CalibrationStepsTest, FailedDeviceReadFailsTheAccuracyTest) {
  ASSERT_TRUE(StartBench());
  LoadTrueCalibration();
  Device().InjectError(16, 1305);  // every volts read of AIN8 fails
  memset(AccResultText, 0, sizeof AccResultText);
  StepContext context = JigContext(false);
  ClearConsole();
  StepTestAinAccuracy(&context);
  EXPECT_EQ(5, context.EL);
  EXPECT_STREQ("Comm Error: (1305)", context.Msg);
  EXPECT_STREQ("", AccResultText);
  // Three attempts on range 0, none of them reaching its "W" figure.
  EXPECT_EQ("Acc Step: 0 0 0", Console());
}

struct MeterCase {
  const char* what;
  std::vector<std::string> options;
  std::string msg;  // regex
};

TEST_F(CalibrationStepsTest, MeterFailuresEndCalibrate) {
  const MeterCase cases[] = {
      {"absent", {"meter.mode=absent"}, "HP34401A not found"},
      {"silent", {"meter.mode=silent"}, "HP34401A not found"},
      {"10.5 V first", {"meter.mode=first_off", "meter.first_off_volts=2.5"}, "HP Communication Failure"},
      {"no answer to READ?", {"meter.mode=slow", "meter.sample_ms=30000"}, "HP Communication Failure"},
      {"noisy on the 1 V range", {"meter.mode=noisy", "meter.noise_volts=0.0004", "meter.seed=3"},
       R"(HP Noise \(mV\): 0\.\d{3}, 0\.500 HS Gain 1)"},
      {"noisy on the 10 V range", {"meter.mode=noisy", "meter.noise_volts=0.002", "meter.seed=3"},
       R"(HP Noise \(mV\): \d\.\d{3}, 1\.000 HS Gain 0)"},
  };
  for (const MeterCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(StartBench(c.options));
    StoreBlock(NominalBlock(false));
    const std::vector<uint8_t> before = FlashBytes(kCalBlockAddress, kCalBlockLength);
    StepContext context = JigContext(false);
    EXPECT_EQ(1, StepCalibrate(&context));
    EXPECT_EQ(5, context.EL);
    EXPECT_TRUE(std::regex_match(std::string(context.Msg), std::regex(c.msg))) << context.Msg;
    EXPECT_EQ(before, FlashBytes(kCalBlockAddress, kCalBlockLength));
    TearDown();
  }
  ASSERT_TRUE(StartBench({"meter.mode=absent"}));
  StepContext context = JigContext(true);
  EXPECT_EQ(1, StepTestAinAccuracy(&context));
  EXPECT_STREQ("HP34401A not found", context.Msg);
}

}  // namespace
