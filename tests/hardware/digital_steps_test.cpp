// Digital line, DAC and quick bench checks against the virtual bench.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/registers.h"
#include "steps/quick_bench_checks.h"
#include "steps/steps.h"
#include "support/bench_fixture.h"

namespace {

constexpr uint32_t kJig = 0x20000;
constexpr uint32_t kShort = 0x400;

struct Case {
  std::vector<std::string> options;
  int level;
  std::string msg;
  uint64_t exchanges = 0;  // 0: not checked
  int32_t result = 0;      // the step's return value
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.msg; }

class StepCase : public BenchTest, public ::testing::WithParamInterface<Case> {
 protected:
  template <typename Step>
  void Run(Step step, uint32_t mode) {
    ASSERT_TRUE(StartBench(GetParam().options));
    StepContext context;
    context.handle = Handle();
    context.mode = mode;
    uint64_t before = Exchanges();
    EXPECT_EQ(step(&context), GetParam().result);
    EXPECT_EQ(context.EL, GetParam().level);
    EXPECT_STREQ(context.Msg, GetParam().msg.c_str());
    if (GetParam().exchanges != 0) {
      EXPECT_EQ(Exchanges() - before, GetParam().exchanges);
    }
  }
};

// ---- DIO Jig Test ----

class DioJig : public StepCase {};
TEST_P(DioJig, RowsAgainstTheJig) { Run(StepDioJigTest, kJig); }
INSTANTIATE_TEST_SUITE_P(
    Rows, DioJig,
    ::testing::Values(Case{{}, 2, "8 tests passed", 8},
                      // E0 stuck low: the first row fails and no other row is sent.
                      Case{{"dio.stuck_low=8"}, 5, "All input: 0x00070F7C", 1},
                      // E1 tied high holds its linked E0 up in row 2.
                      Case{{"dio.stuck_high=9"}, 5, "E/C/M 0,2,4 output low: 0x00000043", 2},
                      // M2 tied high holds the whole M link up.
                      Case{{"dio.stuck_high=22"}, 5, "E/C/M 0,2,4 output low: 0x00070040", 2},
                      Case{{"dio.short=14-15"}, 5, "All input: 0x00070F3F", 1}));

// ---- DIO Short Test (no jig) ----

class DioShort : public StepCase {};
TEST_P(DioShort, SweepAndPartner) { Run(StepDioShortTest, 0); }
INSTANTIATE_TEST_SUITE_P(
    Lines, DioShort,
    ::testing::Values(Case{{"jig.fitted=0"}, 2, "All tests passed", 2 + 2 * 23},
                      // Lines 0-2 sweep first, then line 3 takes 9 down with it.
                      Case{{"jig.fitted=0", "dio.short=3-9"}, 4, "Possible short DIO#: 3, 9", 2 + 2 * 4},
                      Case{{"jig.fitted=0", "dio.short=9-3"}, 4, "Possible short DIO#: 3, 9"},
                      // Stuck low: "All high" fails, the sweep stops at line 0.
                      Case{{"jig.fitted=0", "dio.stuck_low=12"}, 4, "Possible short DIO#: 0, 12", 4},
                      Case{{"jig.fitted=0", "dio.stuck_low=0"}, 4, "Possible short DIO#: 1, 0"},
                      Case{{"jig.fitted=0", "fault.error=2500:2301:1"}, 5, "Comm Error: (2301)", 2, 1},
                      // Line 5 never goes low and nothing else drops: no partner.
                      Case{{"jig.fitted=0", "dio.stuck_high=5"}, 4, "Possible short DIO#: 5, none"},
                      // With the jig fitted, its code lines and E7 read low.
                      Case{{}, 4, "Possible short DIO#: 0, 15"}));

// ---- DAC Test ----

class Dac : public StepCase {};
TEST_P(Dac, Windows) { Run(StepDacTest, kJig); }
std::vector<std::string> DacReads(double lowDac0, double highDac1, double highDac0, double lowDac1) {
  return {"analog.force_dac_volts.0.8192=" + std::to_string(lowDac0),
          "analog.force_dac_volts.1.49152=" + std::to_string(highDac1),
          "analog.force_dac_volts.0.49152=" + std::to_string(highDac0),
          "analog.force_dac_volts.1.8192=" + std::to_string(lowDac1)};
}
INSTANTIATE_TEST_SUITE_P(
    Edges, Dac,
    ::testing::Values(
        Case{{}, 2, "All tests passed.", 2 + 2 * 2 + 2 * 32},
        Case{DacReads(0.5, 3.875, 3.625, 0.75), 2, "All tests passed."},
        Case{DacReads(0.75, 3.625, 3.875, 0.5), 2, "All tests passed."},
        // First setting: DAC0 reported even when DAC1 is also off.
        Case{DacReads(0.499, 3.9, 3.7, 0.6), 5, "DAC0 0x2000 Error: 0.499, ", 2 + 2 + 32},
        Case{DacReads(0.751, 3.7, 3.7, 0.6), 5, "DAC0 0x2000 Error: 0.751, "},
        Case{DacReads(0.6, 3.876, 3.7, 0.6), 5, "DAC1 0xC000 Error: 3.876, "},
        Case{DacReads(0.6, 3.624, 3.7, 0.6), 5, "DAC1 0xC000 Error: 3.624, "},
        // Second setting.
        Case{DacReads(0.6, 3.7, 3.624, 0.4), 5, "DAC0 0xC000 Error: 3.624, "},
        Case{DacReads(0.6, 3.7, 3.7, 0.499), 5, "DAC1 0x2000 Error: 0.499, "},
        Case{DacReads(0.6, 3.7, 3.7, 0.751), 5, "DAC1 0x2000 Error: 0.751, "}));

TEST_F(Dac, OffsetDacFailsAndAGoodOneIsLeftForTheStreamCheck) {
  {
    ASSERT_TRUE(StartBench({"analog.dac1_shift_v=0.2"}));
    StepContext context;
    context.handle = Handle();
    StepDacTest(&context);
    EXPECT_EQ(context.EL, 5);
    EXPECT_EQ(std::string(context.Msg).rfind("DAC1 0xC000 Error: 3.9", 0), 0u) << context.Msg;
  }
}

TEST_F(Dac, GoodDacsLeftAtTheStreamLevels) {
  ASSERT_TRUE(StartBench({"analog.seed=5"}));
  StepContext context;
  context.handle = Handle();
  StepDacTest(&context);
  ASSERT_EQ(context.EL, 2);
  float a0 = 0, a1 = 0;
  ASSERT_EQ(ReadFloatRegister(Handle(), 0, &a0), 0);
  ASSERT_EQ(ReadFloatRegister(Handle(), 2, &a1), 0);
  EXPECT_TRUE(a0 > 3.7f && a0 < 3.8f) << a0;
  EXPECT_TRUE(a1 > 0.6f && a1 < 0.65f) << a1;
}

// ---- Test DIO Operation ----

class DioOperation : public StepCase {};
TEST_P(DioOperation, InhibitChecks) { Run(StepTestDioOperation, kShort); }
INSTANTIATE_TEST_SUITE_P(
    Groups, DioOperation,
    ::testing::Values(
        Case{{"jig.fitted=0"}, 2, "92 group checks passed", 92 * (20 * 4 + 20 * 3)},
        // C1 ignores its inhibit bit: group 2 mismatches in all 23 rounds.
        Case{{"jig.fitted=0", "dio.inhibit_leak=17"}, 5,
             "Inhibit mismatch: group 2, phase 1, pass 0, read 0x02 expected 0x00 (23 of 92 checks)"},
        Case{{"jig.fitted=0", "dio.stuck_low=21"}, 5,
             "Inhibit mismatch: group 3, phase 1, pass 2, read 0x00 expected 0x02 (23 of 92 checks)"},
        // One refused request: the run goes on, the comm error stays.
        Case{{"jig.fitted=0", "fault.error=2701:2301:1"}, 5, "Comm Error: (2301)", 92 * 140 - 139}));

TEST_F(DioOperation, WithTheJigNothingIsSent) {
  ASSERT_TRUE(StartBench({}));
  StepContext context;
  context.handle = Handle();
  context.mode = kShort | kJig;
  uint64_t before = Exchanges();
  EXPECT_EQ(StepTestDioOperation(&context), 0);
  EXPECT_EQ(Exchanges(), before);
  EXPECT_EQ(context.EL, 2);
  EXPECT_STREQ(context.Msg, "Not run with test jig");
}

TEST_F(DioOperation, GroupCheckReturnsTheFailingPassAndLeavesInputsInhibited) {
  ASSERT_TRUE(StartBench({"jig.fitted=0", "dio.stuck_low=21"}));
  StepContext context;
  context.handle = Handle();
  // M1 stuck low: phase 1 pass 2 frees M1 and drives it high.
  EXPECT_EQ(CheckDioGroup(3, &context), 2);
  EXPECT_EQ(CheckDioGroup(0, &context), 0);
  EXPECT_EQ(Device().GetU16(2600), 0);     // all inputs
  EXPECT_EQ(Device().GetU16(2700), 0xFF);  // inhibit left at 0xFF
  EXPECT_EQ(Device().GetU16(2500), 0xFF);  // pulled up
}

// ---- Analog Test ----

class AnalogTest : public StepCase {};
TEST_P(AnalogTest, Readings) { Run(StepAnalogTest, kShort | kJig); }
INSTANTIATE_TEST_SUITE_P(
    Rows, AnalogTest,
    ::testing::Values(
        Case{{"analog.calibrated=1"}, 2, "8 readings within tolerance", 24},
        Case{{"analog.calibrated=1", "analog.seed=9"}, 2, "8 readings within tolerance", 24},
        Case{{"analog.calibrated=1", "analog.force_volts.0.0=4.009"}, 2, "8 readings within tolerance", 24},
        // Row 2 fails; rows 3 to 8 are still measured.
        Case{{"analog.calibrated=1", "analog.force_volts.0.1=0.4012"}, 5,
             "Row 2 AIN0: 0.4012V expected 0.4000V +/-0.001V (1 of 8 rows failed)", 24},
        Case{{"analog.calibrated=1", "analog.force_volts.0.1=0.4012", "analog.force_volts.1.3=0.0051"}, 5,
             "Row 2 AIN0: 0.4012V expected 0.4000V +/-0.001V (2 of 8 rows failed)", 24},
        // The first AIN1 read is refused: rows 1-4 and row 5 up to its read.
        Case{{"analog.calibrated=1", "fault.error=2:2301"}, 5, "Comm Error: (2301)", 4 * 3 + 3, 1}));

TEST_F(AnalogTest, OffsetDacFailsTheSmallRangesOnly) {
  ASSERT_TRUE(StartBench({"analog.calibrated=1", "analog.dac1_shift_v=0.002"}));
  StepContext context;
  context.handle = Handle();
  context.mode = kShort | kJig;
  EXPECT_EQ(StepAnalogTest(&context), 0);
  EXPECT_EQ(context.EL, 5);
  std::string msg = context.Msg;
  EXPECT_EQ(msg.rfind("Row 6 AIN1: 0.40", 0), 0u) << msg;
  EXPECT_NE(msg.find("(3 of 8 rows failed)"), std::string::npos) << msg;
}

TEST_F(AnalogTest, WithoutTheJigNothingIsSent) {
  ASSERT_TRUE(StartBench({}));
  StepContext context;
  context.handle = Handle();
  context.mode = kShort;
  uint64_t before = Exchanges();
  EXPECT_EQ(StepAnalogTest(&context), 0);
  EXPECT_EQ(Exchanges(), before);
  EXPECT_EQ(context.EL, 2);
  EXPECT_STREQ(context.Msg, "w/o Jig test not implemented");
}

}  // namespace
