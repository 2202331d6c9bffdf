// Serial number and MAC assignment.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepSerialNumber(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepEthernetMac(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
