// Calibrate: measures the 41 calibration constants on the test jig against
// the multimeter and writes them into the device's calibration block.
#include "steps/calibrate.h"

#include <cmath>
#include <cstring>

#include "device/flash.h"
#include "device/registers.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "steps/calibration_table.h"
#include "steps/steps.h"

char MeterName[kMeterTextSize] = {};
char MeterSerial[kMeterTextSize] = {};
char CalResultText[kResultTextSize] = {};

namespace {

struct CalRangeParameters {
  const char* console;
  float positivePoint;
  float negativePoint;
  int32_t settling;
  int32_t attenuated;  // 1: line 5 at 0, the jig's attenuated path
  double noiseLimit;   // volts
};

const CalRangeParameters kRanges[4] = {
    {" 1", 8.0f, -8.0f, 100, 0, 0.001},
    {" 2", 0.8f, -0.8f, 200, 0, 0.0005},
    {" 3", 1.76f, -1.76f, 500, 1, 5e-05},
    {" 4", 0.176f, -0.176f, 1000, 1, 5e-05},
};

constexpr int kRawPerCount = 256;

// One multimeter reading into values; false when it timed out.
bool TakeMeterReading(Meter* meter, double* values) {
  meter->TakeReading(values);
  return !meter->LastReadingTimedOut();
}

// Reads input register `address` `count` times into samples. Only the code
// of the last read counts when lastOnly is set (the others are not examined).
int ReadSamples(int handle, int32_t address, int count, uint32_t* samples, bool lastOnly) {
  int code = 0;
  for (int i = 0; i < count; ++i) {
    code = ReadU32Register(handle, address, &samples[i]);
    if (code != 0 && !lastOnly) return code;
  }
  return code;
}

}  // namespace

double SampleStats(const uint32_t* samples, int32_t count, double* spread) {
  if (spread != nullptr) *spread = 0;
  if (count <= 0 || samples == nullptr) return NAN;
  double sum = 0;
  double lowest = samples[0];
  double highest = samples[0];
  for (int32_t i = 0; i < count; ++i) {
    const double value = samples[i];
    sum += value;
    if (value < lowest) lowest = value;
    if (value > highest) highest = value;
  }
  if (spread != nullptr) *spread = highest - lowest;
  return sum / count;
}

RangeConstants ComputeRangeConstants(double m0, double m1, double h0, double h1, double h2) {
  RangeConstants result;
  result.pSlope = m0 / (h0 - h2);
  result.center = h2;
  result.nSlope = m1 / (h2 - h1);
  result.offset = result.nSlope * h2;
  return result;
}

int CalibrateRange(Meter* meter, int handle, RangeCalRecord* record) {
  if (record->meterSamples > kCalMaxMeterSamples || record->hsReads > kCalMaxDeviceReads ||
      record->meterSamples < 0 || record->hsReads < 0 || record->hrReads < 0 ||
      record->hrReads > kCalMaxDeviceReads) {
    return kCalRangeRefused;
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

  static uint32_t samples[kCalMaxDeviceReads];
  double meterValues[kCalMaxMeterSamples] = {};
  double meterMean[3] = {};
  double meterSpread[3] = {};
  double hsMean[3] = {};
  double hrMean[3] = {};
  for (int p = 0; p < 3; ++p) {
    const bool driven = p < 2;
    const int32_t address = driven ? 50016 : 50004;
    if (driven) {
      WriteFloatRegister(handle, 30014, p == 0 ? record->positivePoint : record->negativePoint);
      SleepMs(500);
      if (!TakeMeterReading(meter, meterValues)) return kCalRangeMeterTimeout;
      for (int i = 0; i < half; ++i) {
        if (meterValues[i] > 10.0 || meterValues[i] < -10.0) return kCalRangeMeterOutOfRange;
      }
    }
    ConfigureAnalogInput(handle, 8, rangeCode, 8, 9, record->settling);
    ConfigureAnalogInput(handle, 2, rangeCode, 8, 3, record->settling);
    for (int i = 0; i < record->hsReads; ++i) {
      const int code = ReadU32Register(handle, address, &samples[i]);
      if (code != 0) return code;
    }
    double unused = 0;
    hsMean[p] = SampleStats(samples, record->hsReads, &unused) / kRawPerCount;
    ConfigureAnalogInput(handle, 8, rangeCode, 12, 9, record->settling);
    ConfigureAnalogInput(handle, 2, rangeCode, 12, 3, record->settling);
    const int n = record->useHR == 1 ? record->hrReads : 0;
    for (int i = 0; i < n; ++i) {
      SleepMs(10);
      const int code = ReadU32Register(handle, address, &samples[i]);
      if (code != 0) return code;
    }
    hrMean[p] = SampleStats(samples, n, &unused) / kRawPerCount;
    if (driven && !TakeMeterReading(meter, meterValues + half)) return kCalRangeMeterTimeout;
    SleepMs(100);
    // At the zero point the values are still those of the negative point.
    double sum = 0;
    double lowest = meterValues[0];
    double highest = meterValues[0];
    for (int i = 0; i < record->meterSamples; ++i) {
      sum += meterValues[i];
      if (meterValues[i] < lowest) lowest = meterValues[i];
      if (meterValues[i] > highest) highest = meterValues[i];
    }
    meterMean[p] = record->meterSamples > 0 ? sum / record->meterSamples : NAN;
    meterSpread[p] = record->meterSamples > 0 ? highest - lowest : 0;
  }
  const RangeConstants hs = ComputeRangeConstants(meterMean[0], meterMean[1], hsMean[0], hsMean[1], hsMean[2]);
  const RangeConstants hr = ComputeRangeConstants(meterMean[0], meterMean[1], hrMean[0], hrMean[1], hrMean[2]);
  record->hsPSlope = hs.pSlope;
  record->hsCenter = hs.center;
  record->hsNSlope = hs.nSlope;
  record->hsOffset = hs.offset;
  record->hrPSlope = hr.pSlope;
  record->hrCenter = hr.center;
  record->hrNSlope = hr.nSlope;
  record->hrOffset = hr.offset;
  if (record->attenuated == 0 && record->hsPSlope < 3e-05) return kCalRangeImplausibleSlope;
  if (record->attenuated == 1 && record->hrPSlope < 3e-07) return kCalRangeImplausibleSlope;
  if (record->rangeNumber == 0 && (record->hrPSlope > 0.00035 || record->hrPSlope < 0.00028)) {
    return kCalRangeImplausibleSlope;
  }
  double noise = 0;
  for (double spread : meterSpread) noise = spread > noise ? spread : noise;
  record->meterNoise = noise > 100 ? 0.1 : noise;
  // hrMeterNoise: the one pair of multimeter readings of a point brackets
  // both the HS and the HR reads, so meterNoise already is the meter spread
  // of the HR measurement; there is no separate HR meter spread to hold.
  // The field stays 0 (only a value above 100 would become 0.1) and the
  // step's HR noise check is kept as designed, for a future separate reading.
  if (record->hrMeterNoise > 100) record->hrMeterNoise = 0.1;
  return 0;
}

namespace {

int CommError(StepContext* context, int code) {
  context->EL = kLevelFatal;
  static char number[5120];
  FormatText(number, sizeof number, "(%i)", code);
  CopyText(context->Msg, 200, "Comm Error: ");
  AppendText(context->Msg, 200, number);
  return 1;
}

double CountMean(const uint32_t* samples, int count) {
  double spread = 0;
  return SampleStats(samples, count, &spread) / kRawPerCount;
}

// Current sources: constants 38 (10 uA across jigValues[3]) and 39 (200 uA
// across jigValues[2]).
int MeasureCurrentSources(StepContext* context) {
  const int handle = context->handle;
  static uint32_t samples[128];
  static uint32_t scratch[128];
  int code = ConfigureAnalogInput(handle, 10, 1, 8, 199, 5000);
  if (code == 0) code = ConfigureAnalogInput(handle, 4, 1, 8, 199, 100);
  if (code != 0) return code;
  if ((code = ReadU32Register(handle, 50020, &scratch[0])) != 0) return code;
  SleepMs(500);
  if ((code = ReadSamples(handle, 50020, 16, samples, true)) != 0) return code;
  if ((code = ReadU32Register(handle, 50008, &scratch[0])) != 0) return code;
  if ((code = ReadSamples(handle, 50008, 128, scratch, true)) != 0) return code;
  const double c4 = CalConstants[4];
  const double c6 = CalConstants[6];
  CalConstants[38] = static_cast<float>((CountMean(samples, 16) - c6) * c4 / context->jigValues[3]);

  code = ConfigureAnalogInput(handle, 11, 0, 8, 199, 2000);
  if (code == 0) code = ConfigureAnalogInput(handle, 4, 0, 8, 199, 100);
  if (code != 0) return code;
  if ((code = ReadU32Register(handle, 50022, &scratch[0])) != 0) return code;
  if ((code = ReadSamples(handle, 50022, 128, samples, true)) != 0) return code;
  if ((code = ReadU32Register(handle, 50008, &scratch[0])) != 0) return code;
  if ((code = ReadSamples(handle, 50008, 128, scratch, true)) != 0) return code;
  const double c0 = CalConstants[0];
  const double c2 = CalConstants[2];
  CalConstants[39] = static_cast<float>((CountMean(samples, 128) - c2) * c0 / context->jigValues[2]);
  return 0;
}

int ReadDacPair(int handle, uint32_t* a, uint32_t* b) {
  for (int i = 0; i < 128; ++i) {
    int code = ReadU32Register(handle, 50000, &a[i]);
    if (code == 0) code = ReadU32Register(handle, 50002, &b[i]);
    if (code != 0) return code;
  }
  return 0;
}

// DACs: constants 32 to 35, read back on AIN0 and AIN1 with the +-10 V HS
// conversion.
int MeasureDacs(StepContext* context) {
  const int handle = context->handle;
  static uint32_t a[128];
  static uint32_t b[128];
  int code = ConfigureAnalogInput(handle, 0, 0, 8, 199, 200);
  if (code == 0) code = ConfigureAnalogInput(handle, 1, 0, 8, 199, 200);
  if (code != 0) return code;
  WriteU32Register(handle, 51000, 1310);
  WriteU32Register(handle, 51002, 58982);
  if ((code = ReadDacPair(handle, a, b)) != 0) return code;
  const double a1 = CountMean(a, 128);
  const double b1 = CountMean(b, 128);
  WriteU32Register(handle, 51000, 58982);
  WriteU32Register(handle, 51002, 1310);
  if ((code = ReadDacPair(handle, a, b)) != 0) return code;
  const double a2 = CountMean(a, 128);
  const double b2 = CountMean(b, 128);
  const double c0 = CalConstants[0];
  const double c2 = CalConstants[2];
  auto volts = [&](double x) { return (x - c2) * c0; };
  CalConstants[32] = static_cast<float>(57672.0 / (volts(a2) - volts(a1)));
  CalConstants[33] = static_cast<float>(1310.0 - static_cast<double>(CalConstants[32]) * volts(a1));
  CalConstants[34] = static_cast<float>(57672.0 / (volts(b1) - volts(b2)));
  CalConstants[35] = static_cast<float>(1310.0 - static_cast<double>(CalConstants[34]) * volts(b2));
  return 0;
}

// Bias current: constant 40, through the jig's shunt jigValues[5], with the
// +-0.01 V HS conversion.
int MeasureBias(StepContext* context) {
  const int handle = context->handle;
  static uint32_t p[128];
  static uint32_t q[128];
  static uint32_t r[128];
  int code = ConfigureAnalogInput(handle, 4, 3, 8, 199, 5000);
  if (code == 0) code = ConfigureAnalogInput(handle, 2, 3, 8, 199, 5000);
  if (code == 0) code = ConfigureAnalogInput(handle, 15, 3, 8, 199, 5000);
  if (code != 0) return code;
  for (int i = 0; i < 128; ++i) {
    uint32_t discard = 0;
    if ((code = ReadU32Register(handle, 50008, &discard)) != 0) return code;
    if ((code = ReadU32Register(handle, 50008, &p[i])) != 0) return code;
    if ((code = ReadU32Register(handle, 50004, &q[i])) != 0) return code;
    if ((code = ReadU32Register(handle, 50030, &r[i])) != 0) return code;
  }
  const double c12 = CalConstants[12];
  const double c14 = CalConstants[14];
  auto volts = [&](double x) { return (x - c14) * c12; };
  const double c4 = CountMean(p, 128);
  ConsolePrint("\r\nbias:\r\n Binary:%e\r\n", c4);
  ConsolePrint(" Cal S:%e, C:%e\r\n", c12, c14);
  const double v = volts(c4);
  ConsolePrint(" Volts:%e\r\n", v);
  const double w15 = volts(CountMean(r, 128));
  const double w2 = volts(CountMean(q, 128));
  ConsolePrint(" Shunt:%e\r\n", context->jigValues[5]);
  CalConstants[40] = static_cast<float>((v - (w2 - w15)) / context->jigValues[5]);
  ConsolePrint(" Bias:%e\r\n", static_cast<double>(CalConstants[40]));
  return 0;
}

}  // namespace

int32_t StepCalibrate(StepContext* context) {
  CalibrationBlock block;
  Meter meter;
  if (meter.Connect() != 0) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, 200, "HP34401A not found");
    return 1;
  }
  CopyText(MeterName, sizeof MeterName, meter.Identity());
  CopyText(MeterSerial, sizeof MeterSerial, meter.CalString());

  context->EL = kLevelPassed;
  ConsolePrint("Cal Step:");
  RangeCalRecord record;
  memset(&record, 0, sizeof record);
  memset(context->Msg, 0, sizeof context->Msg);
  record.useHR = context->isPro ? 1 : 0;
  record.meterSamples = 8;
  record.hsReads = 256;
  record.hrReads = 16;

  for (int r = 0; r < 4; ++r) {
    ConsolePrint(" %i", r + 1);
    record.rangeNumber = r;
    record.settling = kRanges[r].settling;
    record.positivePoint = kRanges[r].positivePoint;
    record.negativePoint = kRanges[r].negativePoint;
    record.attenuated = kRanges[r].attenuated;
    const int result = CalibrateRange(&meter, context->handle, &record);
    // A timed-out reading is a meter failure like a value out of range: its
    // values are stale and must not become constants.
    if (result == kCalRangeMeterOutOfRange || result == kCalRangeMeterTimeout) {
      context->EL = kLevelFatal;
      CopyText(context->Msg, 200, "HP Communication Failure");
      return 1;
    }
    CalConstants[4 * r] = static_cast<float>(record.hsPSlope);
    CalConstants[4 * r + 1] = static_cast<float>(record.hsNSlope);
    CalConstants[4 * r + 2] = static_cast<float>(record.hsCenter);
    CalConstants[4 * r + 3] = static_cast<float>(record.hsOffset);
    CalConstants[16 + 4 * r] = static_cast<float>(record.hrPSlope);
    CalConstants[17 + 4 * r] = static_cast<float>(record.hrNSlope);
    CalConstants[18 + 4 * r] = static_cast<float>(record.hrCenter);
    CalConstants[19 + 4 * r] = static_cast<float>(record.hrOffset);
    const double limit = kRanges[r].noiseLimit;
    if (record.meterNoise > limit) {
      FormatText(context->Msg, kMsgSize, "HP Noise (mV): %0.03f, %0.03f HS Gain %i", record.meterNoise * 1000,
                 limit * 1000, r);
      context->EL = kLevelFatal;
      return 1;
    }
    if (record.hrMeterNoise > limit) {
      FormatText(context->Msg, kMsgSize, "HP Noise (mV): %0.03f, %0.03f HR Gain %i", record.hrMeterNoise * 1000,
                 limit * 1000, r);
      context->EL = kLevelFatal;
      return 1;
    }
  }
  meter.Disconnect();

  ConsolePrint(" 5");
  int code = MeasureCurrentSources(context);
  if (code != 0) return CommError(context, code);
  ConsolePrint(" 6");
  code = MeasureDacs(context);
  if (code != 0) return CommError(context, code);
  ConsolePrint(" 7");
  code = MeasureBias(context);
  if (code != 0) return CommError(context, code);
  CalConstants[kCalTempSlopeRow] = static_cast<float>(CalNominals[kCalTempSlopeRow].nominal);
  CalConstants[kCalTempOffsetRow] = static_cast<float>(CalNominals[kCalTempOffsetRow].nominal);

  for (int k = 0; k < kCalRowCount; ++k) {
    if (!CalRowJudged(k, record.useHR == 1)) continue;
    if (CalRowFails(k, CalConstants[k])) {
      context->EL = kLevelFatal;
      static char number[5120];
      CopyText(context->Msg, 200, "Cal Failed: ");
      AppendText(context->Msg, 200, CalNominals[k].name);
      FormatText(number, sizeof number, " %.06e, ", static_cast<double>(CalConstants[k]));
      AppendText(context->Msg, 200, number);
      FormatText(number, sizeof number, "%.06e, ", CalNominals[k].nominal);
      AppendText(context->Msg, 200, number);
      return 1;
    }
    CalBlockPut(&block, k, CalConstants[k]);
  }
  code = FlashWriteRange(context->handle, kCalBlockKey, kCalBlockAddress, kCalBlockLength, block.bytes);
  if (code != 0) return CommError(context, code);
  CopyText(context->Msg, 200, "Cal Constants Written");
  CopyText(CalResultText, sizeof CalResultText, context->Msg);
  return 0;
}
