// Digital I/O and DAC checks: the digital lines against the jig's
// loop-backs, a short search without the jig, and the two DACs read back
// through AIN0 and AIN1.
#include "device/feedback.h"
#include "device/registers.h"
#include "platform/console.h"
#include "steps/steps.h"

namespace {

int32_t CommError(StepContext* context, int code) {
  char number[200];
  FormatText(number, sizeof number, "(%i)", code);
  context->EL = kLevelFatal;
  CopyText(context->Msg, kDetailsSize, "Comm Error: ");
  AppendText(context->Msg, kMsgSize, number);
  return 1;
}

struct JigRow {
  uint16_t eState, cState, mState, eDir, cDir, mDir;
  uint32_t expected;
  const char* failure;
};
constexpr JigRow kJigRows[8] = {
    {0, 0, 0, 0, 0, 0, 0x070F7F, "All input: 0x%08X"},
    {0, 0, 0, 0x15, 0x05, 0x07, 0x000040, "E/C/M 0,2,4 output low: 0x%08X"},
    {0x15, 0x05, 0, 0x15, 0x05, 0x01, 0x000F7F, "E/C/M 0,2,4 output high: 0x%08X"},
    {0, 0, 0, 0x2A, 0x0A, 0x07, 0x000040, "E/C/M 1,3,5 output low: 0x%08X"},
    {0x2A, 0x0A, 0, 0x2A, 0x0A, 0x02, 0x000F7F, "E/C/M 1,3,5 output high: 0x%08X"},
    {0, 0, 0, 0, 0, 0x07, 0x000F7F, "MIO 2, output low: 0x%08X"},
    {0, 0, 0, 0, 0, 0x04, 0x000F7F, "MIO 2, output high: 0x%08X"},
    {0, 0, 0, 0, 0, 0, 0x070F7F, "All input: 0x%08X"},
};

constexpr uint32_t kAllLinesHigh = 0x7FFFFF;
constexpr int kLineCount = 23;

// Line word from the eight bytes of registers 2500..2503.
uint32_t LineWord(const uint8_t* bytes) {
  return ((uint32_t(bytes[7]) * 16 + bytes[5]) * 256 + bytes[3]) * 256 + bytes[1];
}

int ReadLines(int handle, uint32_t* word) {
  FeedbackOp read;
  MakeReadOp(&read, 2500, 4, kTypeRawBytes);
  int code = FeedbackTransaction(handle, 1, &read);
  if (code == 0) *word = LineWord(read.data);
  return code;
}

void MakeAllInputsOp(FeedbackOp* op) {
  static const uint8_t kZeros[8] = {};
  MakeWriteBytesOp(op, 2600, 4, kZeros);
}

// Averages 16 readings of AIN0 and AIN1; a failed read returns its code.
int SampleDacs(int handle, double* mean0, double* mean1) {
  double sum0 = 0;
  double sum1 = 0;
  for (int i = 0; i < 16; ++i) {
    float a0 = 0;
    float a1 = 0;
    int code = ReadFloatRegister(handle, 0, &a0);
    if (code == 0) code = ReadFloatRegister(handle, 2, &a1);
    if (code != 0) return code;
    sum0 += a0;
    sum1 += a1;
  }
  *mean0 = sum0 / 16.0;
  *mean1 = sum1 / 16.0;
  return 0;
}

bool InLowWindow(double mean) { return !(mean > 0.75 || mean < 0.5); }
bool InHighWindow(double mean) { return !(mean > 3.875 || mean < 3.625); }

void DacFailure(StepContext* context, const char* text, double mean) {
  char number[200];
  FormatText(number, sizeof number, "%.03f, ", mean);
  context->EL = kLevelFatal;
  CopyText(context->Msg, kDetailsSize, text);
  AppendText(context->Msg, kMsgSize, number);
}

}  // namespace

int32_t StepDioJigTest(StepContext* context) {
  context->EL = kLevelPassed;
  for (const JigRow& row : kJigRows) {
    FeedbackOp ops[7];
    MakeWriteOp(&ops[0], 2501, 1, kTypeU16, row.eState);
    MakeWriteOp(&ops[1], 2502, 1, kTypeU16, row.cState);
    MakeWriteOp(&ops[2], 2503, 1, kTypeU16, row.mState);
    MakeWriteOp(&ops[3], 2601, 1, kTypeU16, row.eDir);
    MakeWriteOp(&ops[4], 2602, 1, kTypeU16, row.cDir);
    MakeWriteOp(&ops[5], 2603, 1, kTypeU16, row.mDir);
    MakeReadOp(&ops[6], 2500, 4, kTypeRawBytes);
    int code = FeedbackTransaction(context->handle, 7, ops);
    if (code != 0) return CommError(context, code);
    const uint8_t* bytes = ops[6].data;
    uint32_t jigWord = uint32_t(bytes[3]) | (uint32_t(bytes[5]) << 8) | (uint32_t(bytes[7]) << 16);
    if (jigWord != row.expected) {
      context->EL = kLevelFatal;
      FormatText(context->Msg, kDetailsSize, row.failure, unsigned(jigWord));
      return 0;
    }
  }
  CopyText(context->Msg, kDetailsSize, "8 tests passed");
  return 0;
}

int32_t StepDioShortTest(StepContext* context) {
  context->EL = kLevelPassed;
  FeedbackOp ops[2];
  MakeAllInputsOp(&ops[0]);
  int code = FeedbackTransaction(context->handle, 1, ops);
  uint32_t word = 0;
  if (code == 0) code = ReadLines(context->handle, &word);
  if (code != 0) return CommError(context, code);
  if (word != kAllLinesHigh) {
    char number[200];
    FormatText(number, sizeof number, "0x%06X expected 0x7FFFFF", unsigned(word));
    context->EL = kLevelFatal;
    CopyText(context->Msg, kDetailsSize, "All high: ");
    AppendText(context->Msg, kMsgSize, number);
  }

  for (int n = 0; n < kLineCount; ++n) {
    MakeAllInputsOp(&ops[0]);
    MakeWriteOp(&ops[1], 2000 + n, 1, kTypeU16, 0);
    code = FeedbackTransaction(context->handle, 2, ops);
    if (code == 0) code = ReadLines(context->handle, &word);
    if (code != 0) return CommError(context, code);
    uint32_t expected = kAllLinesHigh & ~(1u << n);
    if (word == expected) continue;

    // Partner: the highest line that should be high but reads low. When no
    // such line exists, line n itself did not go low (stuck high or not
    // driving) and there is no partner: the details then end in "none"
    // instead of a line number.
    uint32_t dropped = expected & ~word;
    int partner = -1;
    for (int k = kLineCount - 1; k >= 0; --k) {
      if (dropped & (1u << k)) {
        partner = k;
        break;
      }
    }
    char number[200];
    CopyText(context->Msg, kDetailsSize, "Possible short DIO#: ");
    FormatText(number, sizeof number, "%u, ", unsigned(n));
    AppendText(context->Msg, kMsgSize, number);
    if (partner >= 0)
      FormatText(number, sizeof number, "%u", unsigned(partner));
    else
      CopyText(number, sizeof number, "none");
    AppendText(context->Msg, kMsgSize, number);
    context->EL = kLevelError;
    return 0;
  }
  CopyText(context->Msg, kDetailsSize, "All tests passed");
  return 0;
}

int32_t StepDacTest(StepContext* context) {
  context->EL = kLevelPassed;
  int code = ConfigureAnalogInput(context->handle, 0, 0, 8, 199, 200);
  if (code == 0) code = ConfigureAnalogInput(context->handle, 1, 0, 8, 199, 200);
  if (code != 0) return CommError(context, code);

  double mean0 = 0;
  double mean1 = 0;
  WriteU32Register(context->handle, 51000, 0x2000);
  WriteU32Register(context->handle, 51002, 0xC000);
  code = SampleDacs(context->handle, &mean0, &mean1);
  if (code != 0) return CommError(context, code);
  if (!InLowWindow(mean0)) {
    DacFailure(context, "DAC0 0x2000 Error: ", mean0);
    return 0;
  }
  if (!InHighWindow(mean1)) {
    DacFailure(context, "DAC1 0xC000 Error: ", mean1);
    return 0;
  }

  WriteU32Register(context->handle, 51000, 0xC000);
  WriteU32Register(context->handle, 51002, 0x2000);
  code = SampleDacs(context->handle, &mean0, &mean1);
  if (code != 0) return CommError(context, code);
  if (!InHighWindow(mean0)) {
    DacFailure(context, "DAC0 0xC000 Error: ", mean0);
    return 0;
  }
  if (!InLowWindow(mean1)) {
    DacFailure(context, "DAC1 0x2000 Error: ", mean1);
    return 0;
  }
  CopyText(context->Msg, kDetailsSize, "All tests passed.");
  return 0;
}
