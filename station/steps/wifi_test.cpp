// WiFi test: checks the Pro variant's WiFi module end to end. Over USB it
// checks the module's firmware version, writes the station's network
// settings and waits for the module to associate; then it opens a second
// connection to the device through its WiFi address, reads three registers
// over it and closes it again.
#include <cstdint>
#include <cstring>

#include "device/feedback.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "server/config_table.h"
#include "steps/steps.h"
#include "steps/wifi_test.h"
#include "tkm/tkm.h"

namespace {

constexpr float kMinWifiVersion = 3.1199f;
constexpr uint32_t kWaitAfterSettingsMs = 8000;
constexpr int kStatusPolls = 30;
constexpr uint32_t kStatusPollWaitMs = 1000;
constexpr int kAssociationAttempts = 5;
constexpr int kOpenTries = 20;
constexpr uint32_t kOpenWaitMs = 1000;
constexpr int kReadTries = 20;
constexpr uint32_t kReadWaitMs = 100;
constexpr uint32_t kWaitBeforeCloseMs = 1000;

constexpr uint32_t kStatusAssociated = 2900;
constexpr uint32_t kStatusFailed = 2902;

constexpr int kTextSize = 128;
constexpr int kFieldBytes = 50;  // name and password: 25 registers each

int32_t Fail(StepContext* context, const char* text, const char* format, double value) {
  char part[128];
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, text);
  FormatText(part, sizeof part, format, value);
  AppendText(context->Msg, kMsgSize, part);
  return 1;
}

int32_t CommError(StepContext* context, int code) {
  char part[128];
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Comm Error: ");
  FormatText(part, sizeof part, "(%i)", code);
  AppendText(context->Msg, kMsgSize, part);
  return 1;
}

int32_t AssociationFailed(StepContext* context, uint32_t status) {
  char part[128];
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Failed to Associate: ");
  FormatText(part, sizeof part, "%i", static_cast<int>(status));
  AppendText(context->Msg, kMsgSize, part);
  return 1;
}

}  // namespace

void DottedAddressText(uint32_t address, char* text, size_t capacity) {
  text[0] = '\0';
  for (int shift = 24; shift >= 0; shift -= 8) {
    char number[20];
    FormatText(number, sizeof number, "%i", static_cast<int>((address >> shift) & 0xFF));
    AppendText(text, capacity, number);
    if (shift > 0) AppendText(text, capacity, ".");
  }
}

int32_t StepWifiTest(StepContext* context) {
  char ssid[kTextSize];
  char pass[kTextSize];
  char addressText[kTextSize];
  std::memset(ssid, 0, sizeof ssid);
  std::memset(pass, 0, sizeof pass);
  std::memset(addressText, 0, sizeof addressText);
  context->EL = kLevelPassed;

  if (!context->isPro) {
    CopyText(context->Msg, 200, "WiFi is Pro only.");
    return 0;
  }

  // "Read Config File" has made sure every key exists; the texts keep their
  // trailing line feed (the name and password go to the device with it, and
  // the library trims it from the address).
  double ipNumber = 0, dhcpNumber = 0, subnetNumber = 0, gatewayNumber = 0;
  ConfigGetText("SSID", ssid);
  ConfigGetText("PASS", pass);
  ConfigGetText("Wireless_IP", addressText);
  ConfigGetNumber("Wireless_IP", &ipNumber);
  ConfigGetNumber("Wireless_DHCP", &dhcpNumber);
  ConfigGetNumber("Wireless_SubNet", &subnetNumber);
  ConfigGetNumber("Wireless_Gateway", &gatewayNumber);
  // The buffers are 128 bytes; make sure the address text is terminated
  // whatever the look-up left in it.
  addressText[kTextSize - 1] = '\0';

  const int usb = context->handle;
  FeedbackOp op;
  MakeReadOp(&op, 60008, 2, kTypeFloat);
  int code = FeedbackTransaction(usb, 1, &op);
  if (code != 0) return CommError(context, code);
  float version = *op.floatValues;
  // Compared as floats: the register holds a float, and 3.1199 itself must pass.
  if (version < kMinWifiVersion) return Fail(context, "WiFi Ver too low:", " %0.2f", version);

  ConsolePrint("WiFi Step");
  uint32_t status = 0;
  for (int attempt = 0; attempt < kAssociationAttempts; ++attempt) {
    MakeWriteBytesOp(&op, 49325, kFieldBytes / 2, reinterpret_cast<const uint8_t*>(ssid));
    code = FeedbackTransaction(usb, 1, &op);
    if (code != 0) return CommError(context, code);
    MakeWriteBytesOp(&op, 49350, kFieldBytes / 2, reinterpret_cast<const uint8_t*>(pass));
    code = FeedbackTransaction(usb, 1, &op);
    if (code != 0) return CommError(context, code);

    FeedbackOp settings[5];
    MakeWriteOp(&settings[0], 49250, 2, kTypeU32, ipNumber);
    MakeWriteOp(&settings[1], 49252, 2, kTypeU32, subnetNumber);
    MakeWriteOp(&settings[2], 49254, 2, kTypeU32, gatewayNumber);
    MakeWriteOp(&settings[3], 49260, 1, kTypeU16, dhcpNumber);
    MakeWriteOp(&settings[4], 49400, 2, kTypeU32, 1);
    code = FeedbackTransaction(usb, 5, settings);
    if (code != 0) return CommError(context, code);

    SleepMs(kWaitAfterSettingsMs);
    ConsolePrint(" 1");
    // Only 2900 ends the polls; 2902 may still turn into 2900.
    for (int poll = 0; poll < kStatusPolls; ++poll) {
      SleepMs(kStatusPollWaitMs);
      MakeReadOp(&op, 49450, 2, kTypeU32);
      code = FeedbackTransaction(usb, 1, &op);
      if (code != 0) return CommError(context, code);
      status = *op.u32Values;
      if (status == kStatusAssociated) break;
    }
    if (status == kStatusAssociated) break;
  }

  if (status == kStatusFailed) return AssociationFailed(context, status);
  ConsolePrint(" 2");
  if (status != kStatusAssociated) return AssociationFailed(context, status);
  ConsolePrint(" 3");

  for (int attempt = 1;; ++attempt) {
    ConsolePrint(" .");
    if (dhcpNumber != 0) {
      // The address the device obtained; read anew before every try.
      MakeReadOp(&op, 49200, 2, kTypeU32);
      code = FeedbackTransaction(usb, 1, &op);
      if (code != 0) return CommError(context, code);
      DottedAddressText(*op.u32Values, addressText, sizeof addressText);
    }
    SleepMs(kOpenWaitMs);
    code = TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", addressText, &context->wifiHandle);
    if (code == 0) break;
    if (code != TKM_NO_DEVICE || attempt >= kOpenTries) return CommError(context, code);
  }

  ConsolePrint(" 4");
  FeedbackOp reads[3];
  for (int attempt = 0; attempt < kReadTries; ++attempt) {
    MakeReadOp(&reads[0], 28, 2, kTypeFloat);
    MakeReadOp(&reads[1], 60008, 2, kTypeFloat);
    MakeReadOp(&reads[2], 49600, 2, kTypeU32);
    code = FeedbackTransaction(context->wifiHandle, 3, reads);
    SleepMs(kReadWaitMs);
    if (code == 0) break;
  }
  if (code != 0) return CommError(context, code);

  version = *reads[1].floatValues;
  if (*reads[2].u32Values != 12) return Fail(context, "Failed to connect to WiFi.", " %0.2f", version);
  if (version < kMinWifiVersion) return Fail(context, "WiFi Ver too low:", " %0.2f", version);
  char part[128];
  CopyText(context->Msg, 200, "WiFi Good. Ver:");
  FormatText(part, sizeof part, " %0.2f", version);
  AppendText(context->Msg, kMsgSize, part);

  ConsolePrint(" 5");
  ConsolePrint(" 6");
  SleepMs(kWaitBeforeCloseMs);
  ConsolePrint(" 7");
  TKM_Close(context->wifiHandle);
  ConsolePrint(" 8\r\n");
  return 0;
}
