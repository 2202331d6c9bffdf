// Device open and version steps.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepOpenTavrick(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepFirmwareVersion(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepHardwareVersion(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
