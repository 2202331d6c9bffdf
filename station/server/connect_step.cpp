// Test server connect step.
#include "platform/console.h"
#include "server/test_server_link.h"
#include "steps/steps.h"

int32_t StepConnectToServer(StepContext* context) {
  // The link lives until the program ends. A repeated run of the step reuses
  // the link already there instead of leaking it.
  if (context->server == nullptr) context->server = new TestServerLink();
  int code = context->server->Connect(ServerLogin{"TKTestQ5", 0.65, 5890, 0x3C61E92F});
  char message[200];
  if (code != 0) {
    context->EL = kLevelFatal;
    FormatText(message, sizeof(message), "Connection Error (%i)", code);
  } else {
    context->EL = kLevelPassed;
    CopyText(message, sizeof(message), "Connected to Server");
  }
  CopyText(context->Msg, 200, message);
  return 0;
}
