// Quick bench checks.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepTestDioOperation(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepAnalogTest(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
