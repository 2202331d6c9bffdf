// Jig identification and the power and analog checks against the virtual
// bench (jig memory, analog model and digital lines).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bench_fixture.h"
#include "device/registers.h"
#include "steps/steps.h"

namespace {

constexpr uint32_t kJig = 0x20000;
constexpr uint32_t kCal = 0x80;

struct Case {
  std::vector<std::string> options;
  uint32_t mode;
  int level;
  std::string msg;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.msg; }

class StepCase : public BenchTest, public ::testing::WithParamInterface<Case> {
 protected:
  StepContext Context(uint32_t mode) {
    StepContext context;
    context.handle = Handle();
    context.mode = mode;
    context.jigValues[0] = 2.0;
    context.jigValues[1] = 2.0;
    context.jigValues[4] = 0.2;
    return context;
  }
};

// ---- Read Test Jig Info ----

class JigInfo : public StepCase {};
TEST_P(JigInfo, VerdictAndDetails) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context = Context(0);
  StepReadTestJigInfo(&context);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
  EXPECT_EQ(context.jigCode, 3);  // stored even when the verdict fails
  // The record's values reach the context (current sense resistor).
  EXPECT_FLOAT_EQ(float(context.jigValues[4]), 0.2f);
}
INSTANTIATE_TEST_SUITE_P(
    Records, JigInfo,
    ::testing::Values(Case{{}, 0, 2, "Jig found: (6,3,3)"},
                      Case{{"jig.line_code=5"}, 0, 5, "Code mismatch: (6,3,5)"},
                      Case{{"jig.type=7"}, 0, 5, "Wrong Jig Type: (7,3,3)"},
                      Case{{"jig.type=7", "jig.line_code=5"}, 0, 5, "Code mismatch: (7,3,5)"}));

class JigInfoErrors : public StepCase {};
TEST_F(JigInfoErrors, CommErrorLeavesCodeAndTypeZero) {
  ASSERT_TRUE(StartBench({"jig.i2c_error=2601"}));
  StepContext context = Context(0);
  context.jigCode = 9;
  context.jigType = 9;
  EXPECT_EQ(StepReadTestJigInfo(&context), 1);
  EXPECT_EQ(context.EL, 5);
  EXPECT_STREQ(context.Msg, "Comm Error: (2601)");
  EXPECT_EQ(context.jigCode, 0);
  EXPECT_EQ(context.jigType, 0);
  EXPECT_EQ(context.jigValues[4], 0.2);  // kept as they were
}

TEST_F(JigInfoErrors, NoJigFittedReadsAnEmptyBus) {
  ASSERT_TRUE(StartBench({"jig.fitted=0"}));
  StepContext context = Context(0);
  StepReadTestJigInfo(&context);
  EXPECT_EQ(context.EL, 5);
  EXPECT_STREQ(context.Msg, "Code mismatch: (65535,255,31)");
}

// ---- Self Diagnostic ----

class SelfDiagnostic : public StepCase {};
TEST_P(SelfDiagnostic, VerdictAndDetails) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context = Context(GetParam().mode);
  uint64_t before = Exchanges();
  StepSelfDiagnostic(&context);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
  if (GetParam().mode == 0) {
    EXPECT_EQ(Exchanges() - before, 1u);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Words, SelfDiagnostic,
    ::testing::Values(
        Case{{"analog.diagnostic=2950"}, kJig, 5, "Main OSC Failure. (2950)"},
        Case{{"analog.diagnostic=7"}, kJig, 5, "Diagnostic code: 7"},
        Case{{}, 0, 2, "No problems detected."},
        // Full gain test on devices of different seeds.
        Case{{}, kJig, 2, "No problems detected."},
        Case{{"analog.seed=77"}, kJig, 2, "No problems detected."},
        // 10 V reading of Round 1 set 0x80000 and 0x80001 away from 0x891C40.
        Case{{"analog.force_raw.8.0=0x911C40"}, kJig, 2, "No problems detected."},
        Case{{"analog.force_raw.8.0=0x811C40"}, kJig, 2, "No problems detected."},
        Case{{"analog.force_raw.8.0=0x911C41"}, kJig, 5, "Gain error, Round 1, 10V,  911C41"},
        Case{{"analog.force_raw.8.0=0x811C3F"}, kJig, 5, "Gain error, Round 1, 10V,  811C3F"},
        // Round 2, 0.01 V range: the converter no longer saturates.
        Case{{"analog.force_raw.8.3=0x7FFEFF"}, kJig, 5, "Gain error, Round 2, 0.01V,  7FFEFF"},
        Case{{"fault.error=50016:2301"}, kJig, 5, "Comm Error: (2301)"}));

TEST_F(SelfDiagnostic, FullPassLeavesLineFiveHighAndTheOutputBalanced) {
  ASSERT_TRUE(StartBench({}));
  StepContext context = Context(kJig);
  EXPECT_EQ(StepSelfDiagnostic(&context), 0);
  EXPECT_EQ(Device().GetU16(2005), 1);
  float level = Device().GetFloat(30014);
  EXPECT_GT(level, 1.0f);   // Round 2 balanced near 22 x 0.0494 V
  EXPECT_LT(level, 1.12f);
}

TEST_F(SelfDiagnostic, DeviceThatCannotBalanceFailsAfterTheBound) {
  ASSERT_TRUE(StartBench({"analog.no_balance=1"}));
  StepContext context = Context(kJig);
  int64_t slept = Clock().SleptMs();
  EXPECT_EQ(StepSelfDiagnostic(&context), 1);
  EXPECT_EQ(context.EL, 5);
  EXPECT_EQ(std::string(context.Msg).rfind("Gain balance failed, Round 1,  ", 0), 0u) << context.Msg;
  EXPECT_EQ(Clock().SleptMs() - slept, 1000 * 20);  // 1000 passes of 20 ms
}

// ---- Vs and Current ----

class VsAndCurrent : public StepCase {};
TEST_P(VsAndCurrent, VerdictAndDetails) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context = Context(GetParam().mode);
  uint64_t before = Exchanges();
  StepVsAndCurrent(&context);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
  if ((GetParam().mode & kJig) == 0) {
    EXPECT_EQ(Exchanges(), before);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Supplies, VsAndCurrent,
    ::testing::Values(
        Case{{"analog.force_volts.6.0=4.2"}, kJig, 5, "Vs too low: 4.200"},
        Case{{"analog.force_volts.6.0=4.5", "analog.calibrated=1"}, kJig, 2, "Vs: 4.500V, Is: 0.180A"},
        Case{{"analog.force_volts.6.0=4.5"}, kJig | kCal, 5, "Vs too low to Cal: 4.500"},
        Case{{"analog.force_volts.6.0=5.5", "analog.calibrated=1"}, kJig | kCal, 2, "Vs: 5.500V, Is: 0.180A"},
        Case{{"analog.force_volts.6.0=5.501"}, kJig, 5, "Vs too high: 5.501"},
        // Physical supply, calibrated device.
        Case{{"jig.supply_v=4.1", "analog.calibrated=1"}, kJig, 5, "Vs too low: 4.100"},
        Case{{"analog.calibrated=1"}, kJig, 2, "Vs: 5.020V, Is: 0.180A"},
        Case{{}, 0, 5, "Test Jig Required."}));

// ---- Vmux ----

class Vmux : public StepCase {};
TEST_P(Vmux, LimitsPassAndBothVoltagesAreShown) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context = Context(GetParam().mode);
  EXPECT_EQ(StepVmux(&context), GetParam().level == 2 ? 0 : 1);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
}
INSTANTIATE_TEST_SUITE_P(
    Rails, Vmux,
    ::testing::Values(
        Case{{"analog.force_volts.13=5.5", "analog.force_volts.12=-6.25"}, 0, 2, "Vm+: 11.000V, Vm-: -12.500V"},
        Case{{"analog.force_volts.13=7", "analog.force_volts.12=-6.25"}, 0, 2, "Vm+: 14.000V, Vm-: -12.500V"},
        Case{{"analog.force_volts.13=5.4995", "analog.force_volts.12=-6.25"}, 0, 5, "Vm+: 10.999V, Vm-: -12.500V"},
        Case{{"analog.force_volts.13=7.0005", "analog.force_volts.12=-6.25"}, 0, 5, "Vm+: 14.001V, Vm-: -12.500V"},
        Case{{"analog.force_volts.13=6.25", "analog.force_volts.12=-5.5"}, 0, 2, "Vm+: 12.500V, Vm-: -11.000V"},
        Case{{"analog.force_volts.13=6.25", "analog.force_volts.12=-7"}, 0, 2, "Vm+: 12.500V, Vm-: -14.000V"},
        Case{{"analog.force_volts.13=6.25", "analog.force_volts.12=-5.4995"}, 0, 5, "Vm+: 12.500V, Vm-: -10.999V"},
        Case{{"analog.force_volts.13=6.25", "analog.force_volts.12=-7.0005"}, 0, 5, "Vm+: 12.500V, Vm-: -14.001V"},
        // Physical rails through the jig's dividers (factor 2 here).
        Case{{"analog.calibrated=1", "jig.values=2,2,24900,49900,0.2,100000"}, 0, 2, "Vm+: 12.600V, Vm-: -12.400V"},
        Case{{"analog.calibrated=1", "analog.vm_plus=10.5", "jig.values=2,2,24900,49900,0.2,100000"}, 0, 5,
             "Vm+: 10.500V, Vm-: -12.400V"}));

// ---- Temperature Sensor ----

class Temperature : public StepCase {};
TEST_P(Temperature, StrictAndLenientLimits) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context = Context(GetParam().mode);
  EXPECT_EQ(StepTemperatureSensor(&context), 0);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
  EXPECT_EQ(Device().GetU16(48005), 1);
}
INSTANTIATE_TEST_SUITE_P(
    Sensors, Temperature,
    ::testing::Values(
        // Calibration run: 290 K to 308 K, the internal sensor first.
        Case{{"analog.force_tin_k=289.9", "analog.force_volts.5=1.0"}, kJig | kCal, 5,
             "Int Temp: 289.90K, 290.00 to 308.00 required"},
        Case{{"analog.force_tin_k=300", "analog.force_volts.5=1.0"}, kJig | kCal, 5,
             "Ext Temp: 310.93K, 290.00 to 308.00 required"},
        Case{{"analog.force_tin_k=308", "analog.force_volts.5=0.77"}, kJig | kCal, 2, "Tin: 308.00K, Tex: 298.15K"},
        // Calibration bit without the jig: Tex is not measured, Tin alone is judged.
        Case{{"analog.force_tin_k=300"}, kCal, 2, "Tin: 300.00K"},
        Case{{"analog.force_tin_k=309"}, kCal, 5, "Int Temp: 309.00K, 290.00 to 308.00 required"},
        // No calibration: a warning outside 280 K to 315 K.
        Case{{"analog.force_tin_k=316", "analog.force_volts.5=0.77"}, kJig, 3, "Tin: 316.00K, Tex: 298.15K"},
        Case{{"analog.force_tin_k=316"}, 0, 3, "Tin: 316.00K"},
        Case{{"analog.force_tin_k=315", "analog.force_volts.5=1.0"}, kJig, 2, "Tin: 315.00K, Tex: 310.93K"},
        Case{{"analog.force_tin_k=279.5"}, 0, 3, "Tin: 279.50K"}));

TEST_F(Temperature, PhysicalSensorsOnACalibratedDevice) {
  ASSERT_TRUE(StartBench({"analog.calibrated=1", "analog.internal_temp_k=320"}));
  StepContext context = Context(kJig | kCal);
  StepTemperatureSensor(&context);
  EXPECT_EQ(context.EL, 5);
  EXPECT_EQ(std::string(context.Msg).rfind("Int Temp: 320.0", 0), 0u) << context.Msg;
}

// ---- AIn Noise ----

struct NoiseCase {
  std::vector<std::string> options;
  bool pro;
  int level;
  std::string msg;
  std::string console;
};
void PrintTo(const NoiseCase& c, std::ostream* os) { *os << c.msg; }
class Noise : public BenchTest, public ::testing::WithParamInterface<NoiseCase> {};
TEST_P(Noise, AttemptsValuesAndConsole) {
  ASSERT_TRUE(StartBench(GetParam().options));
  StepContext context;
  context.handle = Handle();
  context.isPro = GetParam().pro;
  ClearConsole();
  bool commError = GetParam().msg.rfind("Comm Error: ", 0) == 0;
  EXPECT_EQ(StepAinNoise(&context), commError ? 1 : 0);
  EXPECT_EQ(context.EL, GetParam().level);
  EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
  EXPECT_EQ(Console(), GetParam().console);
}
INSTANTIATE_TEST_SUITE_P(
    Stages, Noise,
    ::testing::Values(
        NoiseCase{{}, false, 2, "Noise: 3.0,36.0,0.50,6.00", "Noise Step: 1 2 3 4"},
        NoiseCase{{}, true, 2, "Noise: 3.0,36.0,0.50,6.00,0.20,2.40", "Noise Step: 1 2 3 4 5 6 "},
        // A noise equal to its limit passes; 1/256 count more fails all three attempts.
        NoiseCase{{"analog.noise.0.1=12"}, false, 2, "Noise: 12.0,36.0,0.50,6.00", "Noise Step: 1 2 3 4"},
        NoiseCase{{"analog.noise.3.12=8"}, true, 2, "Noise: 3.0,36.0,0.50,6.00,0.20,8.00",
                  "Noise Step: 1 2 3 4 5 6 "},
        NoiseCase{{"analog.noise.0.1=12.00390625"}, false, 5, "Noise: 12.0,36.0,0.50,6.00",
                  "Noise Step: 1 2 3 4 1 2 3 4 1 2 3 4"},
        // A noisy start: the first attempt fails, the second passes.
        NoiseCase{{"analog.noise_burst=128"}, false, 2, "Noise: 3.0,36.0,0.50,6.00", "Noise Step: 1 2 3 4 1 2 3 4"},
        NoiseCase{{"analog.noise_scale=4"}, false, 5, "Noise: 12.0,144.0,2.00,24.00",
                  "Noise Step: 1 2 3 4 1 2 3 4 1 2 3 4"},
        NoiseCase{{"fault.error=50030:2301"}, false, 5, "Comm Error: (2301)", "Noise Step: 1"}));

}  // namespace

namespace {

// A good device on a good jig passes every hardware step in catalogue
// order, with the jig values read from the jig (several device seeds).
class GoodDevice : public BenchTest, public ::testing::WithParamInterface<int> {};
TEST_P(GoodDevice, PassesEveryHardwareStepInOrder) {
  ASSERT_TRUE(StartBench({"analog.seed=" + std::to_string(GetParam())}));
  StepContext context;
  context.handle = Handle();
  context.mode = 0x000711E1 | kJig;
  StepFunction steps[] = {StepReadTestJigInfo, StepSelfDiagnostic, StepVsAndCurrent,   StepVmux,
                          StepTemperatureSensor, StepDioJigTest,   StepDacTest,        StepAinNoise};
  for (StepFunction step : steps) {
    step(&context);
    EXPECT_EQ(context.EL, 2) << context.Msg;
  }
  // The multimeter sees the test path: 1.76 V attenuated by 22.
  ASSERT_EQ(WriteDio5(Handle(), 0), 0);
  ASSERT_EQ(WriteFloatRegister(Handle(), 30014, 1.76f), 0);
  EXPECT_NEAR(TheBench().Context().meterInputVolts(), 0.08, 0.0002);
  ASSERT_EQ(WriteDio5(Handle(), 1), 0);
  EXPECT_NEAR(TheBench().Context().meterInputVolts(), 1.76, 0.003);
}
INSTANTIATE_TEST_SUITE_P(Seeds, GoodDevice, ::testing::Values(1, 2, 31, 1234));

}  // namespace
