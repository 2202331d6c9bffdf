// Reports and logs: the manufacturing record and the calibration log in the
// device's flash, the calibration points and the result lines sent to the
// test server.
#include "steps/reports_and_logs.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device/flash.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "server/test_server_link.h"
#include "steps/accuracy_test.h"
#include "steps/calibrate.h"
#include "steps/calibration_table.h"
#include "steps/steps.h"
#include "tkm/tkm.h"

namespace {

constexpr char kManufacturingHeader[] = "Q5 Manufacturing Info:\r\n";
constexpr char kCalLogHeader[] = "Q5 Calibration Info:\r\n";
// A link without a socket answers 3; a missing link is treated the same.
constexpr int kNoServerLink = 3;

void SetCommError(StepContext* context, int code) {
  char number[128];
  FormatText(number, sizeof number, "(%i)", code);
  CopyText(context->Msg, 200, "Comm Error: ");
  AppendText(context->Msg, 200, number);
  context->EL = kLevelFatal;
}

void AppendNumber(char* buffer, size_t capacity, const char* label, const char* format, double value) {
  char number[128];
  FormatText(number, sizeof number, format, value);
  AppendText(buffer, capacity, label);
  AppendText(buffer, capacity, number);
  AppendText(buffer, capacity, "\r\n");
}

void AppendInteger(char* buffer, size_t capacity, const char* label, int32_t value) {
  char number[128];
  FormatText(number, sizeof number, "%i", value);
  AppendText(buffer, capacity, label);
  AppendText(buffer, capacity, number);
  AppendText(buffer, capacity, "\r\n");
}

double LibraryVersion() {
  double version = 0;
  TKM_ReadLibraryConfigS("TKM_LIBRARY_VERSION", &version);
  return version;
}

}  // namespace

void UtcTimeText(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  const time_t now = static_cast<time_t>(NowSeconds());
  struct tm parts = {};
  if (gmtime_r(&now, &parts) == nullptr || strftime(buffer, capacity, "%a %b %e %H:%M:%S %Y\n", &parts) == 0) {
    CopyText(buffer, capacity, "\n");
  }
}

size_t BuildRecordText(char* buffer, size_t capacity, RecordKind kind, double libraryVersion,
                       const char* timeText, const StepContext& context) {
  const bool log = kind == RecordKind::kCalibrationLog;
  AppendText(buffer, capacity, log ? kCalLogHeader : kManufacturingHeader);
  AppendText(buffer, capacity, "  Time of test (UTC): ");
  AppendText(buffer, capacity, timeText);
  AppendNumber(buffer, capacity, "  TKM Version: ", "%0.04f", libraryVersion);
  AppendNumber(buffer, capacity, "  TKTestQ5 Version: ", "%0.04f", kStationVersion);
  AppendInteger(buffer, capacity, "  Jig type: ", context.jigType);
  AppendInteger(buffer, capacity, "  Jig code: ", context.jigCode);
  AppendNumber(buffer, capacity, "  Firmware Version: ", "%0.04f", context.firmwareVersion);
  AppendNumber(buffer, capacity, "  Bootstrap Version: ", "%0.04f", context.bootstrapVersion);
  if (log) {
    AppendText(buffer, capacity, "  Cal Result: ");
    AppendText(buffer, capacity, CalResultText);
    AppendText(buffer, capacity, "\r\n  Acc Result: ");
    AppendText(buffer, capacity, AccResultText);
    AppendText(buffer, capacity, "\r\n");
  }
  return strnlen(buffer, capacity);
}

void ShiftCalibrationLog(uint8_t* newPage, const uint8_t* oldPage) {
  for (uint32_t i = 0; i < kCalLogLength - kCalLogSlot; ++i) {
    const uint8_t old = oldPage[i];
    newPage[kCalLogSlot + i] = old >= 0x80 ? 0 : old;
  }
}

int32_t CountResultLines(const StepContext& context) {
  int32_t limit = context.stepCount - ((context.mode & 0x80) != 0 ? 2 : 1);
  if (limit > kMaxSteps) limit = kMaxSteps;
  int32_t count = 0;
  while (count < limit && context.resultLines[count] != nullptr) ++count;
  return count;
}

int32_t StepSaveManufacturingInfo(StepContext* context) {
  const double libraryVersion = LibraryVersion();
  char timeText[64];
  UtcTimeText(timeText, sizeof timeText);
  context->EL = kLevelPassed;

  static uint8_t record[kManufacturingLength];
  memset(record, 0, sizeof record);
  const int readCode = FlashRead(context->handle, kKeyManufacturing, kFlashManufacturing, kManufacturingLength, record);
  // A failed read says nothing about whether the one-time record is there:
  // writing it again would replace the original, so report and stop.
  if (readCode != 0) {
    SetCommError(context, readCode);
    return 1;
  }
  if (memcmp(record, kManufacturingHeader, 14) == 0) {
    CopyText(context->Msg, 200, "Already written");
    return 0;
  }
  memset(record, 0, sizeof record);
  char* text = reinterpret_cast<char*>(record);
  // The last byte stays zero, so the record text is always terminated.
  BuildRecordText(text, kManufacturingLength, RecordKind::kManufacturing, libraryVersion, timeText, *context);
  ConsolePrint("%s", text);
  const int writeCode = FlashWriteRange(context->handle, kKeyManufacturing, kFlashManufacturing, kManufacturingLength, record);
  if (writeCode == 0) {
    CopyText(context->Msg, 200, "Data written");
  } else {
    CopyText(context->Msg, 200, "Write Failed");
    context->EL = kLevelFatal;
  }
  return 0;
}

int32_t StepReportCalibration(StepContext* context) {
  context->EL = kLevelPassed;
  static char names[kCalRowCount][kCalNameSize];
  static char meterName[128];
  static char meterSerial[128];
  CalPoint points[kCalRowCount + 2];
  for (int k = 0; k < kCalRowCount; ++k) {
    CopyText(names[k], sizeof names[k], CalNominals[k].name);
    points[k].name = names[k];
    points[k].value = static_cast<double>(CalConstants[k]);
  }
  CopyText(meterName, sizeof meterName, "Meter Name: ");
  AppendText(meterName, sizeof meterName, MeterName);
  points[41].name = meterName;
  points[41].value = static_cast<double>(strtol(MeterName, nullptr, 10));
  CopyText(meterSerial, sizeof meterSerial, "Meter Serial: ");
  AppendText(meterSerial, sizeof meterSerial, MeterSerial);
  points[42].name = meterSerial;
  points[42].value = static_cast<double>(strtol(MeterSerial, nullptr, 10));

  const int code = context->server != nullptr ? context->server->SendCalPoints(points, context->serialNumber)
                                              : kNoServerLink;
  if (code != 0) {
    SetCommError(context, code);
    return 1;
  }
  char text[128];
  FormatText(text, sizeof text, "Sent %i cal points. ", kCalRowCount + 2);
  CopyText(context->Msg, 200, text);
  return 0;
}

int32_t StepUpdateCalibrationLog(StepContext* context) {
  const double libraryVersion = LibraryVersion();
  char timeText[64];
  UtcTimeText(timeText, sizeof timeText);
  context->EL = kLevelPassed;

  static uint8_t page[kCalLogLength];
  static uint8_t oldPage[kCalLogLength];
  memset(page, 0, sizeof page);
  char* text = reinterpret_cast<char*>(page);
  BuildRecordText(text, kCalLogLength, RecordKind::kCalibrationLog, libraryVersion, timeText, *context);
  ConsolePrint("%s", text);

  memset(oldPage, 0, sizeof oldPage);
  const int readCode = FlashRead(context->handle, kKeyCalibrationLog, kFlashCalibrationLog, kCalLogLength, oldPage);
  // Without the old page the shift would store zeros over the older
  // records: report the failure and leave the log as it is.
  if (readCode != 0) {
    SetCommError(context, readCode);
    return 1;
  }
  ShiftCalibrationLog(page, oldPage);
  const int writeCode = FlashWriteRange(context->handle, kKeyCalibrationLog, kFlashCalibrationLog, kCalLogLength, page);
  if (writeCode == 0) {
    CopyText(context->Msg, 200, "Data written");
  } else {
    CopyText(context->Msg, 200, "Write Failed");
    context->EL = kLevelFatal;
  }
  return 0;
}

int32_t StepReportTestResults(StepContext* context) {
  context->EL = kLevelPassed;
  const int32_t count = CountResultLines(*context);
  int code = kNoServerLink;
  if (context->server != nullptr) {
    code = (context->mode & 0x20000) != 0
               ? context->server->SendTestResults(context->resultLines, count, context->serialNumber)
               : context->server->SendQuickTestResults(context->resultLines, count, context->serialNumber);
  }
  if (code != 0) {
    SetCommError(context, code);
    return 1;
  }
  char text[128];
  FormatText(text, sizeof text, "Sent %i results. ", count);
  CopyText(context->Msg, 200, text);
  TKM_Close(context->handle);
  TKM_Close(context->usbHandle);
  TKM_Close(context->ethernetHandle);
  TKM_Close(context->wifiHandle);
  return 0;
}
