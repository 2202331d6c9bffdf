// "Check Calibration" reads the calibration block back from the device and
// judges it; "Reset" restarts the device so that it loads a new block.
#include "device/flash.h"
#include "device/registers.h"
#include "platform/console.h"
#include "steps/calibration_table.h"
#include "steps/steps.h"

int32_t StepCheckCalibration(StepContext* context) {
  context->EL = kLevelPassed;
  CalibrationBlock block;
  const int code = FlashRead(context->handle, kCalBlockKey, kCalBlockAddress, kCalBlockLength, block.bytes);
  // A failed read is reported: judging whatever the buffer holds would call a
  // device good (or blank) that was never read. This is a communication
  // failure, so it is fatal also in a calibration run.
  if (code != 0) {
    char number[128];
    FormatText(number, sizeof number, "(%i)", code);
    CopyText(context->Msg, 200, "Comm Error: ");
    AppendText(context->Msg, 200, number);
    context->EL = kLevelFatal;
    return 1;
  }
  const bool calibrationRun = (context->mode & 0x80) != 0;
  if (CalBlockIsBlank(block)) {
    CopyText(context->Msg, 200, "Calibration Blank");
    if (!calibrationRun) context->EL = kLevelError;
    return 0;
  }
  for (int row = 0; row < kCalRowCount; ++row) {
    const float value = CalBlockGet(block, row);
    if (!CalRowJudged(row, context->isPro) || !CalRowFails(row, value)) continue;
    context->EL = calibrationRun ? kLevelPassed : kLevelFatal;
    char number[128];
    FormatText(number, sizeof number, " %.03e", static_cast<double>(value));
    CopyText(context->Msg, 200, "Cal Failed: ");
    AppendText(context->Msg, 200, CalNominals[row].name);
    AppendText(context->Msg, 200, number);
    return 1;
  }
  CopyText(context->Msg, 200, "Calibration Good");
  return 0;
}

int32_t StepReset(StepContext* context) {
  context->EL = kLevelPassed;
  WriteU32Register(context->handle, 61994, 0);  // soft reset; the answer does not matter
  CopyText(context->Msg, 200, "Soft reset issued");
  WriteU16Register(context->handle, 48005, 1);
  return 0;
}
