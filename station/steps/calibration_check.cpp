// Calibration check and reset.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepCheckCalibration(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepReset(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
