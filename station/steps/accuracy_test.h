// The accuracy test's per-range record and measurement, and the summary it
// leaves for the calibration log.
#pragma once
#include <cstdint>

#include "steps/calibrate.h"

struct AccuracyRecord {
  int32_t useHR;
  int32_t rangeNumber;
  int32_t meterSamples;  // at most 32
  int32_t hsReads;       // at most 1024
  int32_t hrReads;
  int32_t settling;
  float points[7];
  int32_t attenuated;
  float maxErrHS;  // fraction of the span
  float maxErrHR;
};

// Results besides 0 and the device library's codes.
constexpr int kAccRangeRefused = 6;
// A multimeter reading did not complete; the range was not measured.
constexpr int kAccRangeMeterTimeout = 7;

// Measures one range at its seven levels; fills maxErrHS and maxErrHR.
int MeasureAccuracyRange(Meter* meter, int handle, AccuracyRecord* record);

extern char AccResultText[kResultTextSize];
