// Test AIn Accuracy: compares the device's calibrated readings of AIN8-AIN9
// with the multimeter on all four ranges, up to three attempts per range.
#include "steps/accuracy_test.h"

#include <cmath>
#include <cstring>

#include "device/registers.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "steps/calibration_table.h"
#include "steps/steps.h"

char AccResultText[kResultTextSize] = {};

namespace {

struct AccRangeParameters {
  float points[7];
  int32_t attenuated;
  float limit;  // percent of span
};

const AccRangeParameters kRanges[4] = {
    {{7.51f, 7.5f, 7.49f, 0.0f, -7.49f, -7.5f, -7.51f}, 0, 0.01f},
    {{0.751f, 0.75f, 0.249f, 0.0f, -0.249f, -0.75f, -0.751f}, 0, 0.01f},
    {{1.65f, 1.64f, 0.548f, 0.0f, -0.548f, -1.64f, -1.65f}, 1, 0.02f},
    {{0.16522f, 0.165f, 0.0548f, 0.0f, -0.0548f, -0.165f, -0.16522f}, 1, 0.1f},
};

constexpr int kAttempts = 3;

// One multimeter reading into values; false when it timed out.
bool TakeMeterReading(Meter* meter, double* values) {
  meter->TakeReading(values);
  return !meter->LastReadingTimedOut();
}

// Mean of `count` float reads of AIN8 (register 16); 0 or the read's code.
int ReadVoltsMean(int handle, int count, double* mean) {
  double sum = 0;
  for (int i = 0; i < count; ++i) {
    float value = 0;
    const int code = ReadFloatRegister(handle, 16, &value);
    if (code != 0) return code;
    sum += value;
  }
  *mean = count > 0 ? sum / count : NAN;
  return 0;
}

}  // namespace

int MeasureAccuracyRange(Meter* meter, int handle, AccuracyRecord* record) {
  if (record->meterSamples > kCalMaxMeterSamples || record->hsReads > kCalMaxDeviceReads ||
      record->meterSamples < 0 || record->hsReads < 0 || record->hrReads < 0) {
    return kAccRangeRefused;
  }
  WriteU16Register(handle, 48005, 1);
  int32_t meterConfig = 0;
  uint16_t rangeCode = 0;
  double span = 0;
  GetCALPoint(record->rangeNumber, &meterConfig, &rangeCode, &span);
  WriteDio5(handle, record->attenuated == 1 ? 0 : 1);
  SleepMs(200);
  meter->ConfigureRange(meterConfig);
  SleepMs(200);
  const int half = record->meterSamples / 2;
  meter->SetNumSamples(half);
  SleepMs(100);

  record->maxErrHS = 0;
  record->maxErrHR = 0;
  int worst = 0;
  double values[kCalMaxMeterSamples] = {};
  for (int i = 0; i < 7; ++i) {
    WriteFloatRegister(handle, 30014, record->points[i]);
    SleepMs(500);
    if (!TakeMeterReading(meter, values)) return kAccRangeMeterTimeout;
    ConfigureAnalogInput(handle, 8, rangeCode, 8, 9, record->settling);
    ConfigureAnalogInput(handle, 2, rangeCode, 8, 3, record->settling);
    double hsMean = 0;
    int code = ReadVoltsMean(handle, record->hsReads, &hsMean);
    if (code != 0) return code;
    ConfigureAnalogInput(handle, 8, rangeCode, 12, 9, record->settling);
    ConfigureAnalogInput(handle, 2, rangeCode, 12, 3, record->settling);
    double hrMean = 0;
    code = ReadVoltsMean(handle, record->useHR == 1 ? record->hrReads : 0, &hrMean);
    if (code != 0) return code;
    if (!TakeMeterReading(meter, values + half)) return kAccRangeMeterTimeout;
    double sum = 0;
    for (int k = 0; k < record->meterSamples; ++k) sum += values[k];
    const double meterMean = record->meterSamples > 0 ? sum / record->meterSamples : NAN;
    SleepMs(100);
    const float errHS = static_cast<float>(std::fabs(hsMean - meterMean) / span);
    if (errHS > record->maxErrHS) {
      record->maxErrHS = errHS;
      worst = i;
    }
    const float errHR = static_cast<float>(std::fabs(hrMean - meterMean) / span);
    if (errHR > record->maxErrHR) {
      record->maxErrHR = errHR;
      worst = i;
    }
  }
  ConsolePrint("W%i", worst);
  return 0;
}

int32_t StepTestAinAccuracy(StepContext* context) {
  AccuracyRecord records[4];
  memset(records, 0, sizeof records);
  for (int r = 0; r < 4; ++r) {
    AccuracyRecord& record = records[r];
    record.useHR = context->isPro ? 1 : 0;
    record.rangeNumber = r;
    record.meterSamples = 2;
    record.hsReads = 16;
    record.hrReads = 4;
    record.settling = 100;
    memcpy(record.points, kRanges[r].points, sizeof record.points);
    record.attenuated = kRanges[r].attenuated;
  }
  Meter meter;
  if (meter.Connect() != 0) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, 200, "HP34401A not found");
    return 1;
  }
  if ((context->mode & 0x20000) != 0) WriteFloatRegister(context->handle, 30014, 0.0f);
  WriteU16Register(context->handle, 48005, 1);
  ConsolePrint("Acc Step:");
  int retry = 0;
  float hsPct[4] = {};
  float hrPct[4] = {};
  for (int r = 0; r < 4; ++r) {
    const double limit = kRanges[r].limit;
    for (int a = 0; a < kAttempts; ++a) {
      ConsolePrint(" %i", r);
      const int code = MeasureAccuracyRange(&meter, context->handle, &records[r]);
      hsPct[r] = records[r].maxErrHS * 100.0f;
      hrPct[r] = records[r].maxErrHR * 100.0f;
      // A measurement that ended early (a failed device read or a meter
      // reading that timed out) has not measured the range: it is a failed
      // attempt, never a pass with the errors still at 0.
      if (code == kAccRangeMeterTimeout) {
        CopyText(context->Msg, 200, "HP Communication Failure");
      } else if (code != 0) {
        char number[128];
        FormatText(number, sizeof number, "(%i)", code);
        CopyText(context->Msg, 200, "Comm Error: ");
        AppendText(context->Msg, 200, number);
      } else if (hsPct[r] > limit) {
        FormatText(context->Msg, kMsgSize, "Acc Err: HS %i %0.03f, %0.03f", r, static_cast<double>(hsPct[r]), limit);
      } else if (hrPct[r] > limit) {
        FormatText(context->Msg, kMsgSize, "Acc Err: HR %i %0.03f, %0.03f", r, static_cast<double>(hrPct[r]), limit);
      } else {
        break;  // the range passed
      }
      context->EL = kLevelFatal;
      if (a == kAttempts - 1) {
        meter.Disconnect();
        return 0;
      }
      if (a > retry) retry = a;
    }
  }
  meter.Disconnect();
  context->EL = kLevelPassed;
  if (context->isPro) {
    FormatText(context->Msg, kMsgSize, "%i %0.03f,%0.03f,%0.03f,%0.03f,%0.03f,%0.03f", retry,
               static_cast<double>(hsPct[0]), static_cast<double>(hsPct[1]), static_cast<double>(hsPct[2]),
               static_cast<double>(hsPct[3]), static_cast<double>(hrPct[0]), static_cast<double>(hrPct[3]));
  } else {
    FormatText(context->Msg, kMsgSize, "%i %0.03f,%0.03f,%0.03f,%0.03f", retry, static_cast<double>(hsPct[0]),
               static_cast<double>(hsPct[1]), static_cast<double>(hsPct[2]), static_cast<double>(hsPct[3]));
  }
  CopyText(AccResultText, sizeof AccResultText, context->Msg);
  return 0;
}
