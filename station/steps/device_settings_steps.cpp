// Device settings steps: "Check SD Card", "System Time", "Startup DAQ
// Settings" and "Device Name".
#include <cstring>

#include "device/feedback.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "steps/identity_common.h"
#include "steps/steps.h"

namespace {

constexpr int32_t kRegStatusWord = 60010;
constexpr int32_t kRegStartupIndicator = 49000;
constexpr int32_t kRegStartupKey = 49004;
constexpr int32_t kRegDeviceName = 60500;
constexpr int32_t kRegClock = 61500;
constexpr int32_t kRegClockSet = 61504;

constexpr uint32_t kStatusSdMounted = 0x8;
constexpr uint32_t kFactorySettingsKey = 0x5B17A90F;
constexpr uint32_t kModeFactorySettings = 0x20;
constexpr uint32_t kModeSetClock = 0x1000;

constexpr int kNameBytes = 40;
constexpr size_t kNamePieceBound = 50;

}  // namespace

int32_t StepCheckSdCard(StepContext* context) {
  context->EL = kLevelPassed;
  FeedbackOp op;
  MakeReadOp(&op, kRegStatusWord, 2, kTypeU32);
  int code = FeedbackTransaction(context->handle, 1, &op);
  if (code != 0) {
    char number[32];
    FormatText(number, sizeof number, " %i", code);
    CopyText(context->Msg, kStepTextBound, "Comm error: ");
    AppendText(context->Msg, kStepTextBound, number);
    context->EL = kLevelFatal;
    return 1;
  }
  if (!context->isPro) {
    CopyText(context->Msg, kStepTextBound, "Pro-Only, Skipping.");
    return 0;
  }
  if (op.u32Values[0] & kStatusSdMounted) {
    CopyText(context->Msg, kStepTextBound, "SD Card Mounted.");
    return 0;
  }
  CopyText(context->Msg, kStepTextBound, "SD Card could not be mounted.");
  context->EL = kLevelFatal;
  return 1;
}

int32_t StepStartupDaqSettings(StepContext* context) {
  context->EL = kLevelPassed;
  uint32_t indicator = 0;
  int code = ReadU32Register(context->handle, kRegStartupIndicator, &indicator);
  if (code != 0) return CommErrorExit(context, code);
  if (indicator == 1) {
    CopyText(context->Msg, kStepTextBound, "Factory settings detected");
    return 0;
  }
  if (context->mode & kModeFactorySettings) {
    WriteU32Register(context->handle, kRegStartupKey, kFactorySettingsKey);
    CopyText(context->Msg, kStepTextBound, "Changed to factory settings");
    return 0;
  }
  CopyText(context->Msg, kStepTextBound, "non-Factory settings detected");
  context->EL = kLevelWarning;
  return 0;
}

int32_t StepDeviceName(StepContext* context) {
  char name[kNamePieceBound] = {};
  context->EL = kLevelPassed;

  FeedbackOp read;
  MakeReadOp(&read, kRegDeviceName, kNameBytes / 2, kTypeRawBytes);
  int code = FeedbackTransaction(context->handle, 1, &read);
  if (code != 0) return CommErrorExit(context, code);
  const uint8_t* current = read.data;

  CopyText(context->Msg, kStepTextBound, "Name: ");
  uint64_t suffix = context->serialNumber % 10000u;
  // Characters 6 to 9 taken as four decimal digits, not tested for being
  // digits (a name that merely happens to give the number is kept).
  int64_t stored = ((static_cast<int64_t>(current[6]) * 10 + current[7]) * 10 + current[8]) * 10 +
                   current[9] - 53328;

  if (current[0] != 0 && current[0] != 0xFF && stored == static_cast<int64_t>(suffix)) {
    char kept[kNameBytes + 1] = {};
    std::memcpy(kept, current, kNameBytes);  // stops at the first zero as text
    AppendText(context->Msg, kStepTextBound, kept);
    return 0;
  }

  FormatText(name, sizeof name, "My_Q5_%04i", static_cast<int>(suffix));
  AppendText(context->Msg, kStepTextBound, name);
  FeedbackOp write;
  MakeWriteBytesOp(&write, kRegDeviceName, kNameBytes / 2, reinterpret_cast<const uint8_t*>(name));
  code = FeedbackTransaction(context->handle, 1, &write);
  if (code != 0) return CommErrorExit(context, code);
  return 0;
}

int32_t StepSystemTime(StepContext* context) {
  context->EL = kLevelPassed;
  uint32_t rtc = 0;
  int code = ReadU32Register(context->handle, kRegClock, &rtc);
  if (code != 0) return CommErrorExit(context, code);
  if (!context->isPro) {
    CopyText(context->Msg, kStepTextBound, "RTC not present; Pro only");
    return 0;
  }

  // The station's clock: calendar seconds of the program's clock, truncated
  // to 32 bits.
  uint32_t now = static_cast<uint32_t>(NowSeconds());
  int32_t delta = static_cast<int32_t>(rtc - now);
  char text[200];
  FormatText(text, sizeof text, "%i, delta: %i", static_cast<int32_t>(rtc), delta);
  CopyText(context->Msg, kStepTextBound, "Q5: ");
  AppendText(context->Msg, kStepTextBound, text);
  if (!(context->mode & kModeSetClock)) return 0;

  WriteU32Register(context->handle, kRegClockSet, now);
  SleepMs(2000);
  uint32_t rtcAfter = 0;
  code = ReadU32Register(context->handle, kRegClock, &rtcAfter);
  if (code != 0) return CommErrorExit(context, code);
  char setText[100];
  FormatText(text, sizeof text, "delta: %i ", delta);
  FormatText(setText, sizeof setText, ". Set to: %i", static_cast<int32_t>(rtcAfter));
  CopyText(context->Msg, kStepTextBound, text);
  AppendText(context->Msg, kStepTextBound, setText);
  return 0;
}
