// Station configuration file step.
#include "platform/console.h"
#include "server/config_table.h"
#include "steps/steps.h"

int32_t StepReadConfigFile(StepContext* context) {
  int count = 0;
  int code = ReadConfigFile(&count);
  context->EL = kLevelPassed;
  if (code == 1) {
    CopyText(context->Msg, 200, "Could not read ConfigFile");
    context->EL = kLevelFatal;
    return 0;
  }
  static const char* const kKeys[] = {"SSID", "PASS", "Wireless_IP", "Wireless_SubNet",
                                      "Wireless_Gateway", "Wireless_DHCP", "Ethernet_IP",
                                      "Ethernet_DHCP"};
  for (const char* key : kKeys) {
    double number = 0;
    if (ConfigGetNumber(key, &number) != 0) {
      context->EL = kLevelFatal;
      char message[200];
      FormatText(message, sizeof(message), "Config field %s not found.", key);
      CopyText(context->Msg, 200, message);
      return 1;
    }
  }
  FormatText(context->Msg, 500, "Entries Found: %i, %llX", count, 0ULL);
  return 0;
}
