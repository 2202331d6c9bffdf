// The calibration step's record, its per-range measurement and the
// program-wide results it leaves for the report steps.
#pragma once
#include <cstdint>

class Meter;

struct RangeCalRecord {
  double hsPSlope;
  double hsNSlope;
  double hsCenter;
  double hsOffset;
  double meterNoise;  // largest multimeter spread at one point, volts
  double hrPSlope;
  double hrNSlope;
  double hrCenter;
  double hrOffset;
  double hrMeterNoise;  // see CalibrateRange
  int32_t useHR;
  int32_t rangeNumber;
  int32_t meterSamples;  // at most 32
  int32_t hsReads;       // at most 1024
  int32_t hrReads;
  int32_t settling;
  float positivePoint;
  float negativePoint;
  int32_t attenuated;
};

// Results of CalibrateRange besides 0 and the device library's codes.
constexpr int kCalRangeMeterOutOfRange = 1;
constexpr int kCalRangeImplausibleSlope = 5;
constexpr int kCalRangeRefused = 6;
// A multimeter reading did not complete (no reply within its time limit):
// its values are not a measurement and must not become constants.
constexpr int kCalRangeMeterTimeout = 7;

constexpr int kCalMaxMeterSamples = 32;
constexpr int kCalMaxDeviceReads = 1024;

// Measures one range's zero counts and slopes in both conversion modes.
int CalibrateRange(Meter* meter, int handle, RangeCalRecord* record);

// Mean (sum / count) and spread (largest - smallest) of raw samples, in
// double. A count of 0 gives a NaN mean and a spread of 0.
double SampleStats(const uint32_t* samples, int32_t count, double* spread);

// Constants of one conversion mode from the multimeter means of the two
// driven points (m0, m1) and the device's mean counts at the positive,
// negative and zero points (h0, h1, h2).
struct RangeConstants {
  double pSlope;
  double nSlope;
  double center;
  double offset;
};
RangeConstants ComputeRangeConstants(double m0, double m1, double h0, double h1, double h2);

// Program-wide, read by the report steps.
constexpr int kMeterTextSize = 64;
constexpr int kResultTextSize = 1024;
extern char MeterName[kMeterTextSize];
extern char MeterSerial[kMeterTextSize];
extern char CalResultText[kResultTextSize];
