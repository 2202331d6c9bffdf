// Ethernet test: reads the device's Ethernet address over USB, opens a
// second connection to the device at that address and proves it, by a
// stream of analog data or (mode bit 0x800000) by two register reads. While
// the connection cannot be opened, every fifth try rewrites the Ethernet
// settings and restarts the interface. A passing test makes the Ethernet
// connection the handle of every later step.
#include "steps/ethernet_test.h"

#include <cstdint>
#include <cstring>

#include "device/feedback.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "server/config_table.h"
#include "steps/steps.h"
#include "tkm/tkm.h"

namespace {

constexpr uint32_t kModeRegisterCheck = 0x800000;
constexpr uint32_t kRegisterCheckWaitMs = 10000;
constexpr int kOpenTries = 20;
constexpr int kSettingsEvery = 5;
constexpr uint32_t kSettingsWaitMs = 1000;
constexpr uint32_t kRestartWaitMs = 2000;
constexpr uint32_t kOpenWaitMs = 1000;

constexpr int kBufferSize = 500;
constexpr int kStreamAddressCount = 4;
constexpr int kScansPerRead = 100;
constexpr int kStreamReads = 50;

int32_t CommError(StepContext* context, int code) {
  char part[128];
  context->EL = kLevelFatal;
  CopyText(context->Msg, 200, "Comm Error: ");
  FormatText(part, sizeof part, "(%i)", code);
  AppendText(context->Msg, kMsgSize, part);
  return 1;
}

int ReadU32(int handle, int address, uint32_t* value) {
  double number = 0;
  int code = TKM_eReadAddress(handle, address, 1, &number);
  *value = static_cast<uint32_t>(number);
  return code;
}

struct ValueCheck {
  int position;  // in the scan of four values
  double low;
  double high;
  const char* message;
};
constexpr ValueCheck kChecks[] = {
    {1, 0.6, 0.65, "Bad Value CH0: %f"},
    {0, 3.7, 3.8, "Bad Value CH1: %f"},
    {3, -0.03, 0.03, "Bad Value CH3: %f"},
};

}  // namespace

int StreamCheck(int handle, char* buffer) {
  static const int kAddresses[kStreamAddressCount] = {0, 2, 4, 30};
  ConsolePrint("S1 ");
  for (int address : kAddresses) ConfigureAnalogInput(handle, address / 2, 0, 0, 199, 0);
  WriteFloatRegister(handle, 4008, 10.0f);
  TKM_eStreamStop(handle);

  double scanRate = 1000.0;
  int code = TKM_eStreamStart(handle, kScansPerRead, kStreamAddressCount, kAddresses, &scanRate);
  if (code != 0 && code != TKM_STREAM_RATE_LOWERED) {
    FormatText(buffer, kBufferSize, "Comm Error: %i ", code);
    return 4;
  }

  double data[kScansPerRead * kStreamAddressCount];
  for (int read = 0; read < kStreamReads; ++read) {
    int deviceBacklog = 0, libraryBacklog = 0;
    code = TKM_eStreamRead(handle, data, &deviceBacklog, &libraryBacklog);
    if (code != 0) {
      FormatText(buffer, kBufferSize, "Comm Error: %i ", code);
      return 4;
    }
    // One scan per read: scan number `read` of the block.
    const double* scan = data + read * kStreamAddressCount;
    for (int check = 0; check < 3; ++check) {
      double value = scan[kChecks[check].position];
      if (value < kChecks[check].low || value > kChecks[check].high) {
        FormatText(buffer, kBufferSize, kChecks[check].message, value);
        return check + 1;
      }
    }
  }

  ConsolePrint("S2 ");
  int stopCode = TKM_eStreamStop(handle);
  ConsolePrint("S3 ");
  char part[128];
  FormatText(part, sizeof part, "%i Stream Scans.", kStreamReads * kScansPerRead);
  AppendText(buffer, 200, part);
  ConsolePrint("S4 ");
  return stopCode;
}

int32_t StepEthernetTest(StepContext* context) {
  char message[kBufferSize];
  std::memset(message, 0, sizeof message);
  context->EL = kLevelPassed;

  // "Read Config File" makes the key mandatory; should it be missing all the
  // same, DHCP counts as off (0) rather than an unset number.
  double dhcpNumber = 0;
  if (ConfigGetNumber("Ethernet_DHCP", &dhcpNumber) != 0) dhcpNumber = 0;
  const uint16_t dhcp = (dhcpNumber > 0.99 && dhcpNumber < 1.01) ? 1 : 0;

  if (context->mode & kModeRegisterCheck) SleepMs(kRegisterCheckWaitMs);

  const int usb = context->handle;
  ConsolePrint("Eth Atempts:");
  int ethernet = 0;
  int openCode = TKM_NO_DEVICE;
  for (int attempt = 1; attempt <= kOpenTries; ++attempt) {
    ConsolePrint(" %i", attempt);
    // Read anew every try: an address obtained by DHCP meanwhile is picked up.
    uint32_t address = 0;
    int code = ReadU32(usb, 49100, &address);
    if (code != 0) return CommError(context, code);
    char addressText[32];
    FormatText(addressText, sizeof addressText, "%hu.%hu.%hu.%hu",
               static_cast<unsigned short>((address >> 24) & 0xFF),
               static_cast<unsigned short>((address >> 16) & 0xFF),
               static_cast<unsigned short>((address >> 8) & 0xFF),
               static_cast<unsigned short>(address & 0xFF));
    ConsolePrint(" IP %s", addressText);
    openCode = TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", addressText, &ethernet);
    if (openCode == 0) break;

    if (attempt % kSettingsEvery == 0) {
      // Rewrite the Ethernet settings and restart the interface.
      FeedbackOp op;
      MakeWriteOp(&op, 48003, 1, kTypeU16, 0);
      code = FeedbackTransaction(usb, 1, &op);
      if (code != 0) return CommError(context, code);
      FeedbackOp settings[5];
      MakeWriteOp(&settings[0], 49160, 1, kTypeU16, dhcp);
      MakeWriteOp(&settings[1], 49161, 1, kTypeU16, 2);
      MakeWriteOp(&settings[2], 49162, 1, kTypeU16, 1);
      MakeWriteOp(&settings[3], 49163, 1, kTypeU16, 2);
      MakeWriteOp(&settings[4], 49164, 1, kTypeU16, 0);
      code = FeedbackTransaction(usb, 5, settings);
      if (code != 0) return CommError(context, code);
      SleepMs(kSettingsWaitMs);
      MakeWriteOp(&op, 48003, 1, kTypeU16, 1);
      code = FeedbackTransaction(usb, 1, &op);
      if (code != 0) return CommError(context, code);
      SleepMs(kRestartWaitMs);
    }
    SleepMs(kOpenWaitMs);
  }

  ConsolePrint("\r\n");
  ConsolePrint("New Set: ");
  ConsolePrint("1 ");
  if (openCode != 0) return CommError(context, openCode);

  ConsolePrint("2 ");
  uint32_t checkAddress = 0;
  int code = ReadU32(ethernet, 49100, &checkAddress);
  if (code != 0) return CommError(context, code);
  ConsolePrint("3 ");

  if (context->mode & kModeRegisterCheck) {
    ConsolePrint("10 ");
    FeedbackOp reads[2];
    MakeReadOp(&reads[0], 49600, 2, kTypeU32);
    MakeReadOp(&reads[1], 60028, 2, kTypeU32);
    code = FeedbackTransaction(ethernet, 2, reads);
    if (code != 0) return CommError(context, code);
    ConsolePrint("11 ");
    if (*reads[0].u32Values == 11) {
      CopyText(context->Msg, 200, "Ethernet connection good.");
      context->ethernetHandle = ethernet;
      context->handle = ethernet;
    } else {
      context->EL = kLevelFatal;
      CopyText(context->Msg, 200, "Could not verify connection.");
    }
    return 0;
  }

  ConsolePrint("4 ");
  int result = StreamCheck(ethernet, message);
  ConsolePrint("5 ");
  if (result == TKM_STREAM_RATE_LOWERED) result = 0;
  if (result != 0) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, 200, message);
  } else {
    ConsolePrint("6 ");
    CopyText(context->Msg, 200, message);
    context->ethernetHandle = ethernet;
    context->handle = ethernet;
  }
  return 0;
}
