// Device open and version steps: "Open Tavrick", "Firmware Version" and
// "Hardware Version".
#include <cmath>
#include <cstring>

#include "device/feedback.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "steps/identity_common.h"
#include "steps/steps.h"
#include "tkm/tkm.h"

namespace {

constexpr int32_t kRegWatchdog = 4990;
constexpr int32_t kRegKnownState48005 = 48005;
constexpr int32_t kRegKnownState48003 = 48003;
constexpr int32_t kRegKnownState48004 = 48004;
constexpr int32_t kRegKnownState43990 = 43990;
constexpr int32_t kRegJigTestOutput = 30014;
constexpr int32_t kRegHardwareId = 60000;
constexpr int32_t kRegHardwareVersion = 60002;
constexpr int32_t kRegFirmwareVersion = 60004;
constexpr int32_t kRegBootstrapVersion = 60006;
constexpr int32_t kRegStatusWord = 60010;
constexpr int32_t kRegFlashChip = 60040;

constexpr uint32_t kModeJigFitted = 0x20000;
constexpr uint32_t kModeCalibrationRun = 0x80;

constexpr double kRequiredFirmware = 1.0216;
constexpr double kRequiredBootstrap = 0.95;

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The level of a broken version requirement: fatal in a calibration run.
ResultLevel RequirementLevel(const StepContext* context) {
  return (context->mode & kModeCalibrationRun) ? kLevelFatal : kLevelWarning;
}

}  // namespace

int32_t StepOpenTavrick(StepContext* context) {
  context->isPro = false;
  context->handle = 0;

  int handle = 0;
  int code = TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle);
  if (code != 0) {
    char text[200];
    FormatText(text, sizeof text, "No Tavricks found (%i)", code);
    context->EL = kLevelFatal;
    CopyText(context->Msg, kStepTextBound, text);
    return 1;
  }
  context->usbHandle = handle;
  context->handle = handle;

  // Known state; these writes never fail the step.
  WriteU32Register(handle, kRegWatchdog, 0);
  WriteU16Register(handle, kRegKnownState48005, 1);
  WriteU16Register(handle, kRegKnownState48003, 1);
  WriteU16Register(handle, kRegKnownState48004, 0);
  SleepMs(5000);
  WriteU16Register(handle, kRegKnownState43990, 1);
  if (context->mode & kModeJigFitted) WriteFloatRegister(handle, kRegJigTestOutput, 0.0f);

  FeedbackOp ops[2];
  MakeReadOp(&ops[0], kRegHardwareId, 2, kTypeU32);
  MakeReadOp(&ops[1], kRegStatusWord, 2, kTypeU32);
  code = FeedbackTransaction(handle, 2, ops);
  if (code != 0) return CommErrorExit(context, code);

  float hardwareId = FloatFromBits(ops[0].u32Values[0]);
  uint32_t status = ops[1].u32Values[0];
  // Written as "not within" so that a NaN identifier is refused as well.
  if (!(std::fabs(static_cast<double>(hardwareId) - 7.0) <= 0.00001)) {
    char value[64];
    FormatText(value, sizeof value, "%.0f,", static_cast<double>(hardwareId));
    context->EL = kLevelFatal;
    CopyText(context->Msg, kStepTextBound, "Can not process HW ID: ");
    AppendText(context->Msg, kStepTextBound, value);
    return 1;
  }

  CopyText(context->Msg, kStepTextBound, "Tavrick Q5");
  if (status & 0x1) {
    AppendText(context->Msg, kStepTextBound, "-Pro");
    context->isPro = true;
  }
  AppendText(context->Msg, kStepTextBound, " Found");
  context->EL = kLevelPassed;
  return 0;
}

int32_t StepFirmwareVersion(StepContext* context) {
  FeedbackOp ops[3];
  MakeReadOp(&ops[0], kRegFirmwareVersion, 2, kTypeFloat);
  MakeReadOp(&ops[1], kRegBootstrapVersion, 2, kTypeFloat);
  MakeReadOp(&ops[2], kRegFlashChip, 2, kTypeU32);
  int code = FeedbackTransaction(context->handle, 3, ops);
  // A failed read leaves nothing to judge: report the exchange instead of
  // checking undefined versions.
  if (code != 0) return CommErrorExit(context, code);

  context->EL = kLevelPassed;
  float firmware = ops[0].floatValues[0];
  float bootstrap = ops[1].floatValues[0];
  int32_t chip = static_cast<int32_t>(ops[2].u32Values[0]);
  context->firmwareVersion = firmware;
  context->bootstrapVersion = bootstrap;

  FormatText(context->Msg, kMsgSize, "FW %.04f, BS %.04f, FC %i", static_cast<double>(firmware),
             static_cast<double>(bootstrap), chip);

  // The device reports its versions as floats, so the bootstrap limits are
  // compared in float precision: a device reporting exactly 0.9401 (or
  // 0.9409) sits on the limit and passes it. A NaN version breaks every
  // limit.
  if (chip == 74) {
    if (!(bootstrap <= 0.9401f)) {
      FormatText(context->Msg, kMsgSize, "Wrong BS: %.04f, Chip: %i", static_cast<double>(bootstrap),
                 chip);
      context->EL = kLevelFatal;
      return 0;
    }
  } else if (chip == 66) {
    if (!(bootstrap >= 0.9409f)) {
      FormatText(context->Msg, kMsgSize, "Wrong BS: %.04f, Chip: %i", static_cast<double>(bootstrap),
                 chip);
      context->EL = kLevelFatal;
      return 0;
    }
  } else {
    FormatText(context->Msg, kMsgSize, "Unknown flash chip: %i", chip);
    context->EL = kLevelFatal;
    return 0;
  }

  // "Not within" so that a NaN version counts as wrong.
  if (!(std::fabs(static_cast<double>(firmware) - kRequiredFirmware) <= 0.00001)) {
    char text[128];
    FormatText(text, sizeof text, ", FW %.04f Required", kRequiredFirmware);
    AppendText(context->Msg, kMsgSize, text);
    context->EL = RequirementLevel(context);
    return 0;
  }

  // The 0.95 requirement applies to chip 66 only; chip-74 devices are limited
  // by the 0.9401 ceiling above.
  if (chip == 66 && !(bootstrap >= 0.94999f)) {
    char text[128];
    FormatText(text, sizeof text, ", BS %.04f Required", kRequiredBootstrap);
    AppendText(context->Msg, kMsgSize, text);
    context->EL = RequirementLevel(context);
  }
  return 0;
}

int32_t StepHardwareVersion(StepContext* context) {
  context->EL = kLevelPassed;
  float version = 0;
  int code = ReadFloatRegister(context->handle, kRegHardwareVersion, &version);
  // A failed read is reported, not printed as a version.
  if (code != 0) return CommErrorExit(context, code);
  FormatText(context->Msg, kMsgSize, "HW %.02f", static_cast<double>(version));
  return 0;
}
