// Calibrate.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepCalibrate(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
