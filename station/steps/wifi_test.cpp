// WiFi test.
#include "platform/console.h"
#include "steps/steps.h"

int32_t StepWifiTest(StepContext* context) {
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Not built yet");
  return 1;
}
