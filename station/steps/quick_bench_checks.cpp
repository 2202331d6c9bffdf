// Quick bench checks of the short catalogue: the write-inhibit masks of the
// digital line groups (without the jig) and the DAC outputs measured back on
// AIN0 and AIN1 (with the jig).
#include "steps/quick_bench_checks.h"

#include <cmath>

#include "device/feedback.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "steps/steps.h"

namespace {

constexpr uint32_t kModeJig = 0x20000;

void CommError(StepContext* context, int code) {
  char number[64];
  FormatText(number, sizeof number, "(%i)", code);
  context->EL = kLevelFatal;
  CopyText(context->Msg, kDetailsSize, "Comm Error: ");
  AppendText(context->Msg, kMsgSize, number);
}

struct DioGroup {
  int32_t state, direction, inhibit;
  uint16_t mask;
};
constexpr DioGroup kGroups[4] = {
    {2500, 2600, 2700, 0xFF},
    {2501, 2601, 2701, 0xFF},
    {2502, 2602, 2702, 0x0F},
    {2503, 2603, 2703, 0x07},
};

// Writes X, D, S of the group (in that order) in one request.
int WriteGroup(int handle, const DioGroup& g, uint16_t x, uint16_t d, uint16_t s) {
  FeedbackOp ops[3];
  MakeWriteOp(&ops[0], g.inhibit, 1, kTypeU16, x);
  MakeWriteOp(&ops[1], g.direction, 1, kTypeU16, d);
  MakeWriteOp(&ops[2], g.state, 1, kTypeU16, s);
  return FeedbackTransaction(handle, 3, ops);
}

int WriteTwo(int handle, int32_t first, uint16_t firstValue, int32_t second, uint16_t secondValue) {
  FeedbackOp ops[2];
  MakeWriteOp(&ops[0], first, 1, kTypeU16, firstValue);
  MakeWriteOp(&ops[1], second, 1, kTypeU16, secondValue);
  return FeedbackTransaction(handle, 2, ops);
}

// Reads D then S; stores S.
int ReadDirectionAndState(int handle, const DioGroup& g, uint16_t* state) {
  FeedbackOp ops[2];
  MakeReadOp(&ops[0], g.direction, 1, kTypeU16);
  MakeReadOp(&ops[1], g.state, 1, kTypeU16);
  int code = FeedbackTransaction(handle, 2, ops);
  if (code == 0) *state = ops[1].u16Values[0];
  return code;
}

struct AnalogRow {
  int32_t outputRegister;
  float output;
  int32_t channel;
  int32_t rangeCode;
  int32_t inputRegister;
  float expected;
  float tolerance;
};
constexpr AnalogRow kAnalogRows[8] = {
    {1000, 4.0f, 0, 0, 0, 4.0f, 0.01f},     {1000, 0.4f, 0, 1, 0, 0.4f, 0.001f},
    {1000, 0.04f, 0, 2, 0, 0.04f, 0.001f},  {1000, 0.004f, 0, 3, 0, 0.004f, 0.001f},
    {1002, 4.0f, 1, 0, 2, 4.0f, 0.01f},     {1002, 0.4f, 1, 1, 2, 0.4f, 0.001f},
    {1002, 0.04f, 1, 2, 2, 0.04f, 0.001f},  {1002, 0.004f, 1, 3, 2, 0.004f, 0.001f},
};

}  // namespace

int32_t CheckDioGroupDetailed(int32_t group, StepContext* context, DioMismatch* mismatch, bool* commFailed) {
  *mismatch = DioMismatch{};
  *commFailed = false;
  if (group < 0 || group > 3) return 0;
  const DioGroup& g = kGroups[group];
  const int handle = context->handle;
  auto fail = [&](int code) {
    CommError(context, code);
    *commFailed = true;
    return 1;
  };
  auto mismatchAt = [&](int phase, int n, uint16_t read, uint16_t expected) {
    mismatch->found = true;
    mismatch->phase = phase;
    mismatch->pass = n;
    mismatch->read = read;
    mismatch->expected = expected;
    return n;
  };

  for (int phase = 1; phase <= 2; ++phase) {
    for (int n = 0; n < 20; ++n) {
      int k = n % 10;
      uint16_t bit = k == 0 ? 0 : uint16_t(1u << (k - 1));
      uint16_t base = n < 10 ? 0 : 0xFF;
      uint16_t expected = base == 0 ? uint16_t(bit & g.mask) : uint16_t(~bit & g.mask);
      uint16_t freeMask = uint16_t(~bit & 0xFF);
      int code;
      if (phase == 1) {
        code = WriteGroup(handle, g, 0, 0xFF, 0);  // B
        if (code == 0) code = n < 10 ? WriteGroup(handle, g, 0, 0xFF, 0) : WriteGroup(handle, g, 0, 0xFF, 0xFF);
        if (code == 0) code = WriteTwo(handle, g.inhibit, freeMask, g.state, uint16_t(~base & 0xFF));
      } else {
        code = n < 10 ? WriteGroup(handle, g, 0, 0xFF, 0) : WriteGroup(handle, g, 0, 0, 0);  // B or A
        if (code == 0) code = WriteTwo(handle, g.inhibit, freeMask, g.direction, base);
        if (code == 0) SleepMs(2);
      }
      uint16_t state = 0;
      if (code == 0) code = ReadDirectionAndState(handle, g, &state);
      if (code != 0) return fail(code);
      if (state != expected) return mismatchAt(phase, n, state, expected);
    }
  }
  return 0;
}

int32_t CheckDioGroup(int32_t group, StepContext* context) {
  DioMismatch mismatch;
  bool commFailed = false;
  return CheckDioGroupDetailed(group, context, &mismatch, &commFailed);
}

// After a run without communication failures the step reports its own
// verdict: "92 group checks passed" (level 2), or, when any inhibit pass
// mismatched, level 5 with the first mismatch and the number of failing
// group checks. A communication failure leaves the last "Comm Error: "
// text (level 5). With the jig fitted the step does not run: level 2 and
// "Not run with test jig", without device traffic.
int32_t StepTestDioOperation(StepContext* context) {
  if ((context->mode & kModeJig) != 0) {
    context->EL = kLevelPassed;
    CopyText(context->Msg, kDetailsSize, "Not run with test jig");
    return 0;
  }
  context->EL = kLevelPassed;
  bool anyCommFailure = false;
  int failedChecks = 0;
  DioMismatch first;
  int firstGroup = 0;
  for (int repeat = 0; repeat < 23; ++repeat) {
    for (int group = 0; group < 4; ++group) {
      DioMismatch mismatch;
      bool commFailed = false;
      CheckDioGroupDetailed(group, context, &mismatch, &commFailed);
      if (commFailed) anyCommFailure = true;
      if (mismatch.found) {
        if (!first.found) {
          first = mismatch;
          firstGroup = group;
        }
        ++failedChecks;
      }
    }
  }
  if (anyCommFailure) return 0;  // EL 5 and the last "Comm Error: " text
  if (first.found) {
    context->EL = kLevelFatal;
    FormatText(context->Msg, kDetailsSize,
               "Inhibit mismatch: group %i, phase %i, pass %i, read 0x%02X expected 0x%02X (%i of 92 checks)",
               firstGroup, first.phase, first.pass, unsigned(first.read), unsigned(first.expected), failedChecks);
    return 0;
  }
  CopyText(context->Msg, kDetailsSize, "92 group checks passed");
  return 0;
}

// After a run without communication failures: level 2 and "8 readings
// within tolerance", or level 5 naming the first reading out of tolerance
// and the number of such readings (every row is still measured).
int32_t StepAnalogTest(StepContext* context) {
  context->EL = kLevelPassed;
  if ((context->mode & kModeJig) == 0) {
    CopyText(context->Msg, kDetailsSize, "w/o Jig test not implemented");
    return 0;
  }
  int failedRows = 0;
  int firstRow = 0;
  float firstReading = 0;
  for (int i = 0; i < 8; ++i) {
    const AnalogRow& row = kAnalogRows[i];
    FeedbackOp op;
    MakeWriteOp(&op, row.outputRegister, 2, kTypeFloat, row.output);
    FeedbackTransaction(context->handle, 1, &op);
    int code = ConfigureAnalogInput(context->handle, row.channel, row.rangeCode, 8, 199, 4);
    if (code != 0) {
      CommError(context, code);
      return 1;
    }
    MakeReadOp(&op, row.inputRegister, 2, kTypeFloat);
    code = FeedbackTransaction(context->handle, 1, &op);
    if (code != 0) {
      CommError(context, code);
      return 1;
    }
    float reading = op.floatValues[0];
    if (std::fabs(reading - row.expected) > row.tolerance) {
      context->EL = kLevelFatal;
      if (failedRows == 0) {
        firstRow = i;
        firstReading = reading;
      }
      ++failedRows;
    }
  }
  if (failedRows == 0) {
    CopyText(context->Msg, kDetailsSize, "8 readings within tolerance");
  } else {
    const AnalogRow& row = kAnalogRows[firstRow];
    FormatText(context->Msg, kDetailsSize, "Row %i AIN%i: %.4fV expected %.4fV +/-%.3fV (%i of 8 rows failed)",
               firstRow + 1, row.channel, double(firstReading), double(row.expected), double(row.tolerance),
               failedRows);
  }
  return 0;
}
