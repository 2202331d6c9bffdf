// Power and analog checks.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepSelfDiagnostic(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepVsAndCurrent(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepVmux(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepTemperatureSensor(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}

int32_t StepAinNoise(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
