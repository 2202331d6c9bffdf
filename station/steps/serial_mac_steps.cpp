// Serial number and MAC assignment: "Serial Number" and "Ethernet MAC".
// A device that still runs with its default identity gets a new serial
// number or MAC address from the test server, written into the identity
// records of its flash; it takes them into use at its next start.
#include <cinttypes>
#include <cstring>

#include "device/feedback.h"
#include "device/flash.h"
#include "device/registers.h"
#include "platform/console.h"
#include "steps/identity_common.h"
#include "steps/serial_mac_steps.h"
#include "steps/steps.h"

#if __has_include("server/test_server_link.h")
#include "server/test_server_link.h"
#define TKTEST_HAVE_SERVER_LINK 1
#endif

namespace {

constexpr int32_t kRegDeviceSerial = 60028;
constexpr int32_t kRegDeviceMac = 60020;

constexpr uint32_t kModeAssignSerial = 0x40;
constexpr uint32_t kModeAssignMac = 0x100;
constexpr uint32_t kModeReports = 0x10000;

constexpr uint32_t kSerialMarker = 0x7DE1BE08;
constexpr uint32_t kSerialUnprogrammed = 0xFFFFFFFF;
constexpr uint32_t kSerialDefault = 470010000;
constexpr uint32_t kSerialOwnFrom = 470010001;
constexpr uint64_t kSerialNewLowest = 470010002;
constexpr uint64_t kSerialNewHighest = 480010000;

constexpr uint64_t kMacDefault = 0x0A7CE3002000ull;
constexpr uint64_t kMacAllOnes = 0xFFFFFFFFFFFFull;

// A link that is missing (the connect step did not run) answers like a link
// without a socket.
int RequestSerialFromServer(TestServerLink* link, uint64_t* value) {
#ifdef TKTEST_HAVE_SERVER_LINK
  if (link != nullptr) return link->RequestSerialNumber(value);
#else
  (void)link;
  (void)value;
#endif
  return 3;
}

int RequestMacFromServer(TestServerLink* link, uint64_t* value) {
#ifdef TKTEST_HAVE_SERVER_LINK
  if (link != nullptr) return link->RequestMac(value);
#else
  (void)link;
  (void)value;
#endif
  return 3;
}

// Msg = text followed by a formatted number (built in a 256-byte buffer).
void SetMessageWithU64(StepContext* context, const char* text, const char* format, uint64_t value) {
  char number[256];
  FormatText(number, sizeof number, format, value);
  CopyText(context->Msg, kStepTextBound, text);
  AppendText(context->Msg, kStepTextBound, number);
}

void SetMessageWithMac(StepContext* context, const char* text, uint64_t mac) {
  char macText[32];
  FormatMacText(mac, macText, sizeof macText);
  CopyText(context->Msg, kStepTextBound, text);
  AppendText(context->Msg, kStepTextBound, macText);
}

}  // namespace

void FormatMacText(uint64_t mac, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  buffer[0] = '\0';
  for (int i = 5; i >= 0; --i) {
    char piece[8];
    unsigned byte = static_cast<unsigned>((mac >> (8 * i)) & 0xFF);
    FormatText(piece, sizeof piece, i > 0 ? "%02X." : "%02X", byte);
    AppendText(buffer, capacity, piece);
  }
}

void BuildSerialRecord(uint32_t serial, uint8_t record[kSerialRecordSize]) {
  std::memset(record, 0, kSerialRecordSize);
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<uint8_t>(kSerialMarker >> (8 * i));
    record[8 + i] = static_cast<uint8_t>(serial >> (8 * i));
  }
}

void BuildMacRecord(uint64_t mac, uint8_t record[kMacRecordSize]) {
  record[0] = 0;
  record[1] = 0;
  for (int i = 0; i < 6; ++i) record[2 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
}

int32_t StepSerialNumber(StepContext* context) {
  context->EL = kLevelPassed;
  ConsolePrint("SN DB:");
  ConsolePrint(" 1");

  uint8_t flash[32] = {};
  int code = FlashRead(context->handle, kKeyIdentity, kFlashSerialRecord, sizeof flash, flash);
  // A record that could not be read is not judged as content: zeros (or an
  // unread buffer taken as an erased record) would either ask for a power
  // cycle or hand a second serial number to a programmed device.
  if (code != 0) return CommErrorExit(context, code);
  ConsolePrint(" 2");
  uint32_t flashSerial = static_cast<uint32_t>(flash[8]) | static_cast<uint32_t>(flash[9]) << 8 |
                         static_cast<uint32_t>(flash[10]) << 16 |
                         static_cast<uint32_t>(flash[11]) << 24;

  ConsolePrint(" 3");
  uint32_t deviceSerial = 0;
  code = ReadU32Register(context->handle, kRegDeviceSerial, &deviceSerial);
  if (code != 0) return CommErrorExit(context, code);
  ConsolePrint(" 4");
  context->serialNumber = deviceSerial;

  if (flashSerial != kSerialUnprogrammed) {
    if (flashSerial != deviceSerial) {
      ConsolePrint(" 5");
      context->EL = kLevelFatal;
      CopyText(context->Msg, kStepTextBound, "Power cycle the Q5 and try again.");
      return 0;
    }
    if (deviceSerial >= kSerialOwnFrom) {
      ConsolePrint(" 6");
      SetMessageWithU64(context, "Serial Number: ", "%" PRIu64, deviceSerial);
      return 0;
    }
  }

  if (deviceSerial != kSerialDefault && deviceSerial != kSerialUnprogrammed) {
    ConsolePrint(" 16");
    context->EL = kLevelFatal;
    SetMessageWithU64(context, "Power cycle the Q5 and try again. 2", "%" PRIu64, deviceSerial);
    return 0;
  }

  if (!(context->mode & kModeAssignSerial)) {
    ConsolePrint(" 7");
    context->EL = kLevelWarning;
    SetMessageWithU64(context, "Default Serial: ", "%" PRIu64, deviceSerial);
    return 0;
  }
  if (!(context->mode & kModeReports)) {
    ConsolePrint(" 8");
    context->EL = kLevelFatal;
    CopyText(context->Msg, kStepTextBound, "Must Report to Serialize");
    return 0;
  }

  ConsolePrint(" 9");
  // The request's code is not examined: a failed request leaves 0, which
  // the range check below refuses.
  uint64_t reply = 0;
  RequestSerialFromServer(context->server, &reply);
  ConsolePrint(" 10");
  // The whole reply value is range-checked, so that a value with bits above
  // the low 32 cannot pass as a serial number through its low half.
  if (reply < kSerialNewLowest || reply > kSerialNewHighest) {
    ConsolePrint(" 15");
    context->EL = kLevelFatal;
    SetMessageWithU64(context, "SN System Failure: ", "%" PRIu64, reply);
    return 0;
  }
  uint32_t newSerial = static_cast<uint32_t>(reply);

  ConsolePrint(" 11");
  uint8_t record[kSerialRecordSize];
  BuildSerialRecord(newSerial, record);
  ConsolePrint(" 12");
  code = FlashWriteRange(context->handle, kKeyIdentity, kFlashSerialRecord, kSerialRecordSize, record);
  if (code != 0) {
    ConsolePrint(" 13");
    context->EL = kLevelFatal;
    char number[256];
    FormatText(number, sizeof number, "%u)", static_cast<unsigned>(code));
    CopyText(context->Msg, kStepTextBound, "Failed to write SN (");
    AppendText(context->Msg, kStepTextBound, number);
    return 0;
  }
  ConsolePrint(" 14");
  context->serialNumber = newSerial;
  context->EL = kLevelPassed;
  SetMessageWithU64(context, "New Serial: ", "%" PRIu64, newSerial);
  return 0;
}

int32_t StepEthernetMac(StepContext* context) {
  context->EL = kLevelPassed;
  FeedbackOp op;
  MakeReadOp(&op, kRegDeviceMac, 4, kTypeRawBytes);
  int code = FeedbackTransaction(context->handle, 1, &op);
  if (code != 0) return CommErrorExit(context, code);

  uint64_t mac = 0;
  for (int i = 2; i < 8; ++i) mac = (mac << 8) | op.data[i];

  if (mac > kMacDefault && mac != kMacAllOnes) {
    SetMessageWithMac(context, "MAC: ", mac);
    return 0;
  }
  if (mac != kMacDefault) {
    context->EL = kLevelFatal;
    SetMessageWithMac(context, "MAC system failure: ", mac);
    return 0;
  }
  if (!(context->mode & kModeAssignMac)) {
    context->EL = kLevelWarning;
    SetMessageWithMac(context, "Default MAC: ", mac);
    return 0;
  }
  if (!(context->mode & kModeReports)) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, kStepTextBound, "Must Report to Update MAC");
    return 0;
  }

  uint64_t reply = 0;
  code = RequestMacFromServer(context->server, &reply);
  if (code != 0) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, kStepTextBound, "Failed to get MAC from TKTS");
    return 0;
  }
  uint64_t newMac = reply & kMacAllOnes;
  uint8_t record[kMacRecordSize];
  BuildMacRecord(newMac, record);
  code = FlashWriteRange(context->handle, kKeyIdentity, kFlashMacRecord, kMacRecordSize, record);
  if (code != 0) {
    context->EL = kLevelFatal;
    SetMessageWithMac(context, "Write Failed: ", newMac);
    return 0;
  }
  SetMessageWithMac(context, "MAC Written: ", newMac);
  return 0;
}
