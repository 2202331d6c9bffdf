// The calibration table, the tolerance rule, the block layout, the range
// table, the sample statistics, the record texts and the log shift.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "steps/accuracy_test.h"
#include "steps/calibrate.h"
#include "steps/calibration_table.h"
#include "steps/reports_and_logs.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(CalNominals, RowsInOrderWithTheirGroups) {
  EXPECT_STREQ("HS 10.0V PSlope", CalNominals[0].name);
  EXPECT_STREQ("HS 0.01V Offset", CalNominals[15].name);
  EXPECT_STREQ("HR 10.0V PSlope", CalNominals[16].name);
  EXPECT_STREQ("HR 0.01V Offset", CalNominals[31].name);
  EXPECT_STREQ("DAC0 Slope", CalNominals[32].name);
  EXPECT_STREQ("I Bias", CalNominals[40].name);
  // Offset = NSlope x Center for every range of both groups.
  for (int r = 0; r < 8; ++r) {
    const CalNominal* row = &CalNominals[4 * r];
    EXPECT_NEAR(row[3].nominal, row[1].nominal * row[2].nominal, std::fabs(row[3].nominal) * 1e-4) << r;
    EXPECT_DOUBLE_EQ(r < 4 ? 0.05 : 0.5, row[0].tolerance) << r;
  }
}

struct JudgeCase {
  int row;
  float value;
  bool fails;
};

TEST(CalRowFails, ToleranceRuleIncludingNotANumber) {
  const JudgeCase cases[] = {
      {33, -150.0f, false},  // |-150| / 100 = 1.5 <= 2
      {33, 250.0f, true},
      {35, 200.0f, false},   // equal to the tolerance passes
      {35, 0.0f, false},
      {2, 35199.0f, false},  // just under 5 %
      {2, 35200.0f, true},
      {2, 31847.0f, false},
      {2, 31846.0f, true},
      {0, 0.00031580578f, false},
      {0, 0.0f, true},
      {16, 0.0f, true},  // HR row: 100 % off (only judged on a Pro)
      {16, 0.0004f, false},
      {36, -92.6f, false},
      {40, 5.9e-08f, false},  // within 300 %
      {40, 6.1e-08f, true},
      {0, kNaN, true},  // a NaN constant must never pass
      {33, kNaN, true},
      {40, kInf, true},
  };
  for (const JudgeCase& c : cases) {
    EXPECT_EQ(c.fails, CalRowFails(c.row, c.value)) << "row " << c.row << " value " << c.value;
  }
  EXPECT_NEAR(1.5, CalDeviation(33, -150.0f), 1e-12);
  EXPECT_NEAR(1676.0 / 33523.0, CalDeviation(2, 35199.0f), 1e-12);
  EXPECT_TRUE(std::isnan(CalDeviation(5, kNaN)));
}

TEST(CalRowJudged, HrGroupOnlyOnPro) {
  for (int row = 0; row < kCalRowCount; ++row) {
    EXPECT_TRUE(CalRowJudged(row, true));
    EXPECT_EQ(row < 16 || row > 31, CalRowJudged(row, false)) << row;
  }
}

TEST(CalibrationBlock, BigEndianSinglesAndBlankMark) {
  CalibrationBlock block;
  EXPECT_FALSE(CalBlockIsBlank(block));
  CalBlockPut(&block, 0, 1.0f);
  CalBlockPut(&block, 40, -92.6f);
  CalBlockPut(&block, 128, 5.0f);  // outside the block: ignored
  EXPECT_EQ(0x3F, block.bytes[0]);
  EXPECT_EQ(0x80, block.bytes[1]);
  EXPECT_EQ(0x00, block.bytes[2]);
  EXPECT_EQ(0x00, block.bytes[3]);
  EXPECT_EQ(1.0f, CalBlockGet(block, 0));
  EXPECT_EQ(-92.6f, CalBlockGet(block, 40));
  EXPECT_EQ(0.0f, CalBlockGet(block, 41));
  block.bytes[0] = 0xFF;
  EXPECT_TRUE(CalBlockIsBlank(block));
}

TEST(GetCALPoint, TableAndExitOnInvalidRange) {
  const double spans[4] = {20.6, 2.06, 0.206, 0.0206};
  for (int r = 0; r < 4; ++r) {
    int32_t config = -1;
    uint16_t code = 99;
    double span = 0;
    EXPECT_EQ(0, GetCALPoint(r, &config, &code, &span));
    EXPECT_EQ(r, config);
    EXPECT_EQ(r, code);
    EXPECT_DOUBLE_EQ(spans[r], span);
  }
  struct StderrSink : ConsoleSink {
    void Write(const char* text, size_t length) override { fwrite(text, 1, length, stderr); }
  };
  for (int bad : {-1, 4}) {
    EXPECT_EXIT(
        {
          static StderrSink sink;
          SetConsoleSink(&sink);
          int32_t config = 0;
          uint16_t code = 0;
          double span = 0;
          GetCALPoint(bad, &config, &code, &span);
        },
        ::testing::ExitedWithCode(1), "From GetCALPoint: invalid range");
  }
}

TEST(SampleStats, MeanSpreadAndEmpty) {
  const uint32_t samples[] = {0xFFFFFF00u, 0x00000100u, 0x80000000u, 0x80000000u};
  double spread = -1;
  const double mean = SampleStats(samples, 4, &spread);
  EXPECT_DOUBLE_EQ((4294967040.0 + 256.0 + 2.0 * 2147483648.0) / 4.0, mean);
  EXPECT_DOUBLE_EQ(4294967040.0 - 256.0, spread);
  spread = -1;
  EXPECT_TRUE(std::isnan(SampleStats(samples, 0, &spread)));
  EXPECT_EQ(0.0, spread);
  EXPECT_DOUBLE_EQ(256.0, SampleStats(samples + 1, 1, &spread));
  EXPECT_EQ(0.0, spread);
}

TEST(ComputeRangeConstants, SlopesAroundTheZeroCount) {
  // A converter with zero at 33500 counts, 3.2e-4 V/count up, 3.1e-4 down.
  const double center = 33500;
  const RangeConstants c = ComputeRangeConstants(8.0, -8.0, center + 8.0 / 3.2e-4, center - 8.0 / 3.1e-4, center);
  EXPECT_NEAR(3.2e-4, c.pSlope, 1e-15);
  EXPECT_NEAR(-3.1e-4, c.nSlope, 1e-15);
  EXPECT_DOUBLE_EQ(center, c.center);
  EXPECT_NEAR(-3.1e-4 * center, c.offset, 1e-9);
  // Without readings (no HR reads) everything is NaN and judged nowhere.
  const RangeConstants none = ComputeRangeConstants(8.0, -8.0, NAN, NAN, NAN);
  EXPECT_TRUE(std::isnan(none.pSlope) && std::isnan(none.center) && std::isnan(none.offset));
}

StepContext RecordContext() {
  StepContext context;
  context.jigType = 3;
  context.jigCode = 17;
  context.firmwareVersion = 1.0235;
  context.bootstrapVersion = 0.94;
  return context;
}

TEST(BuildRecordText, ManufacturingAndLogRecordsLineByLine) {
  const StepContext context = RecordContext();
  char buffer[1024] = {};
  BuildRecordText(buffer, sizeof buffer, RecordKind::kManufacturing, 1.01, "Mon Jan  4 13:05:09 2016\n", context);
  EXPECT_STREQ(
      "Q5 Manufacturing Info:\r\n"
      "  Time of test (UTC): Mon Jan  4 13:05:09 2016\n"
      "  TKM Version: 1.0100\r\n"
      "  TKTestQ5 Version: 1.2000\r\n"
      "  Jig type: 3\r\n"
      "  Jig code: 17\r\n"
      "  Firmware Version: 1.0235\r\n"
      "  Bootstrap Version: 0.9400\r\n",
      buffer);

  CopyText(CalResultText, sizeof CalResultText, "Cal Constants Written");
  CopyText(AccResultText, sizeof AccResultText, "0 0.001,0.002,0.003,0.004");
  char log[4096] = {};
  BuildRecordText(log, sizeof log, RecordKind::kCalibrationLog, 1.01, "Mon Jan  4 13:05:09 2016\n", context);
  const std::string text(log);
  EXPECT_EQ(0u, text.find("Q5 Calibration Info:\r\n  Time of test (UTC): "));
  const std::string tail =
      "  Bootstrap Version: 0.9400\r\n"
      "  Cal Result: Cal Constants Written\r\n"
      "  Acc Result: 0 0.001,0.002,0.003,0.004\r\n";
  EXPECT_EQ(text.size() - tail.size(), text.rfind(tail));

  // Bounded: a result text longer than the buffer is cut, never overrun.
  memset(AccResultText, 'x', sizeof AccResultText - 1);
  AccResultText[sizeof AccResultText - 1] = '\0';
  char small[300];
  memset(small, 0, sizeof small);
  EXPECT_EQ(299u, BuildRecordText(small, sizeof small, RecordKind::kCalibrationLog, 1.01, "t\n", context));
  CalResultText[0] = '\0';
  AccResultText[0] = '\0';
}

TEST(UtcTimeText, StandardCalendarForm) {
  VirtualClock clock(1451912709LL * 1000);
  SetClock(&clock);
  char text[64];
  UtcTimeText(text, sizeof text);
  SetClock(nullptr);
  EXPECT_STREQ("Mon Jan  4 13:05:09 2016\n", text);
}

TEST(ShiftCalibrationLog, OldSlotsMoveDownAndErasedBytesBecomeZero) {
  static uint8_t page[4096];
  static uint8_t old[4096];
  memset(page, 0, sizeof page);
  memset(old, 0xFF, sizeof old);
  // A 600-byte new record is cut at 512 by the shift.
  memset(page, 'N', 600);
  for (int slot = 0; slot < 8; ++slot) memset(old + 512 * slot, '0' + slot, 100);
  ShiftCalibrationLog(page, old);
  EXPECT_EQ('N', page[511]);
  for (int slot = 1; slot < 8; ++slot) {
    EXPECT_EQ('0' + slot - 1, page[512 * slot]) << slot;
    EXPECT_EQ('0' + slot - 1, page[512 * slot + 99]) << slot;
    EXPECT_EQ(0, page[512 * slot + 100]) << slot;  // 0xFF of erased flash
  }
  // Slot 7 of the old page (digit 7) is gone.
  EXPECT_EQ(nullptr, memchr(page, '7', sizeof page));
}

TEST(CountResultLines, LimitAndFirstMissingLine) {
  StepContext context;
  static const char* kLine = "row : Passed : ok";
  for (int i = 0; i < 40; ++i) context.resultLines[i] = kLine;
  struct Case {
    int32_t stepCount;
    uint32_t mode;
    int missingAt;
    int32_t expected;
  };
  const Case cases[] = {
      {30, 0x80, -1, 28},
      {30, 0x0, -1, 29},
      {30, 0x80, 12, 12},
      {30, 0x80, 0, 0},
      {1, 0x80, -1, 0},
      {2, 0x0, -1, 1},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 40; ++i) context.resultLines[i] = kLine;
    if (c.missingAt >= 0) context.resultLines[c.missingAt] = nullptr;
    context.stepCount = c.stepCount;
    context.mode = c.mode;
    EXPECT_EQ(c.expected, CountResultLines(context)) << c.stepCount << " " << c.mode << " " << c.missingAt;
  }
}

}  // namespace
