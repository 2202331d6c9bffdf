// The 41 calibration constants of the device: their names, nominal values
// and tolerances, the program-wide copy that "Calibrate" fills, the block in
// which the device keeps them, the tolerance rule and the range table that
// the calibration and the accuracy test share.
#pragma once
#include <cstdint>

constexpr int kCalRowCount = 41;
constexpr int kCalNameSize = 200;

struct CalNominal {
  char name[kCalNameSize];
  double nominal;
  double tolerance;
};

// Row number = index of the constant everywhere (CalConstants, the block,
// the calibration points sent to the server).
extern const CalNominal CalNominals[kCalRowCount];

// Filled by "Calibrate", read by the report steps; zero at program start.
extern float CalConstants[kCalRowCount];

// Rows of the high-resolution group, judged (and stored) on a Pro only.
constexpr int kCalFirstHrRow = 16;
constexpr int kCalLastHrRow = 31;
constexpr int kCalTempSlopeRow = 36;
constexpr int kCalTempOffsetRow = 37;

// The calibration block in the device's internal flash: constant k as a
// big-endian IEEE-754 single at bytes 4k..4k+3, zero bytes from 164 on.
constexpr uint32_t kCalBlockAddress = 0x3C4000;
constexpr uint32_t kCalBlockLength = 512;
constexpr uint32_t kCalBlockKey = 0x19E4B2C6;
constexpr int kCalBlockWords = kCalBlockLength / 4;

struct CalibrationBlock {
  uint8_t bytes[kCalBlockLength] = {};
};

// A block whose first byte is 0xFF was never written.
bool CalBlockIsBlank(const CalibrationBlock& block);
// Stores a constant at word `row` (0..127), most significant byte first.
void CalBlockPut(CalibrationBlock* block, int row, float value);
// Reads word `row` (0..127) back as a native float.
float CalBlockGet(const CalibrationBlock& block, int row);

// Deviation of a value from row k's nominal: |v| / 100 for the two DAC
// offsets (rows 33 and 35), |v - nominal| / |nominal| for the others.
double CalDeviation(int32_t row, float value);
// A row is judged on a Pro, or when it lies outside the HR group.
bool CalRowJudged(int32_t row, bool isPro);
// True when the value is out of the row's tolerance. A value whose deviation
// is not a number (a NaN constant) fails as well: such a constant must never
// be written into a device nor pass as good.
bool CalRowFails(int32_t row, float value);

// Range table: range number 0..3 gives the multimeter configuration index,
// the device's analog range code and the span in volts. Any other range
// number prints "From GetCALPoint: invalid range" and ends the program with
// exit code 1. Returns 0.
int32_t GetCALPoint(int32_t rangeNumber, int32_t* meterConfig, uint16_t* rangeCode, double* span);
