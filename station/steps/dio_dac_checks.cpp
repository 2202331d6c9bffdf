// Digital I/O and DAC checks.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepDioShortTest(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepDioJigTest(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepDacTest(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
