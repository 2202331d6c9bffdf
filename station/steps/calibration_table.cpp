#include "steps/calibration_table.h"

#include <cmath>
#include <cstring>

#include "platform/console.h"

const CalNominal CalNominals[kCalRowCount] = {
    {"HS 10.0V PSlope", 0.00031580578, 0.05},
    {"HS 10.0V NSlope", -0.0003158058, 0.05},
    {"HS 10.0V Center", 33523.0, 0.05},
    {"HS 10.0V Offset", -10.586956522, 0.05},
    {"HS 1.00V PSlope", 3.1580578e-05, 0.05},
    {"HS 1.00V NSlope", -3.15806e-05, 0.05},
    {"HS 1.00V Center", 33523.0, 0.05},
    {"HS 1.00V Offset", -1.0586956522, 0.05},
    {"HS 0.10V PSlope", 3.158058e-06, 0.05},
    {"HS 0.10V NSlope", -3.1581e-06, 0.05},
    {"HS 0.10V Center", 33523.0, 0.05},
    {"HS 0.10V Offset", -0.1058695652, 0.05},
    {"HS 0.01V PSlope", 3.15806e-07, 0.05},
    {"HS 0.01V NSlope", -3.158e-07, 0.05},
    {"HS 0.01V Center", 33523.0, 0.05},
    {"HS 0.01V Offset", -0.0105869565, 0.05},
    {"HR 10.0V PSlope", 0.00031580578, 0.5},
    {"HR 10.0V NSlope", -0.0003158058, 0.5},
    {"HR 10.0V Center", 33523.0, 0.5},
    {"HR 10.0V Offset", -10.586956522, 0.5},
    {"HR 1.00V PSlope", 3.1580578e-05, 0.5},
    {"HR 1.00V NSlope", -3.15806e-05, 0.5},
    {"HR 1.00V Center", 33523.0, 0.5},
    {"HR 1.00V Offset", -1.0586956522, 0.5},
    {"HR 0.10V PSlope", 3.158058e-06, 0.5},
    {"HR 0.10V NSlope", -3.1581e-06, 0.5},
    {"HR 0.10V Center", 33523.0, 0.5},
    {"HR 0.10V Offset", -0.1058695652, 0.5},
    {"HR 0.01V PSlope", 3.15806e-07, 0.5},
    {"HR 0.01V NSlope", -3.158e-07, 0.5},
    {"HR 0.01V Center", 33523.0, 0.5},
    {"HR 0.01V Offset", -0.0105869565, 0.5},
    {"DAC0 Slope", 13200.0, 0.05},
    {"DAC0 Offset", 100.0, 2.0},
    {"DAC1 Slope", 13200.0, 0.05},
    {"DAC1 Offset", 100.0, 2.0},
    {"Temp Slope", -92.6, 0.01},
    {"Temp Offset", 467.6, 0.01},
    {"IS 10uA", 1e-05, 0.05},
    {"IS 200uA", 0.0002, 0.05},
    {"I Bias", 1.5e-08, 3.0},
};

float CalConstants[kCalRowCount] = {};

bool CalBlockIsBlank(const CalibrationBlock& block) { return block.bytes[0] == 0xFF; }

void CalBlockPut(CalibrationBlock* block, int row, float value) {
  if (block == nullptr || row < 0 || row >= kCalBlockWords) return;
  uint32_t bits = 0;
  memcpy(&bits, &value, sizeof bits);
  uint8_t* at = block->bytes + 4 * row;
  at[0] = static_cast<uint8_t>(bits >> 24);
  at[1] = static_cast<uint8_t>(bits >> 16);
  at[2] = static_cast<uint8_t>(bits >> 8);
  at[3] = static_cast<uint8_t>(bits);
}

float CalBlockGet(const CalibrationBlock& block, int row) {
  if (row < 0 || row >= kCalBlockWords) return 0.0f;
  const uint8_t* at = block.bytes + 4 * row;
  uint32_t bits = (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
                  (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
  float value = 0.0f;
  memcpy(&value, &bits, sizeof value);
  return value;
}

double CalDeviation(int32_t row, float value) {
  if (row < 0 || row >= kCalRowCount) return NAN;
  const double v = static_cast<double>(value);
  const double nominal = CalNominals[row].nominal;
  if (row == 33 || row == 35) return std::fabs(v) / nominal;
  return std::fabs(v - nominal) / std::fabs(nominal);
}

bool CalRowJudged(int32_t row, bool isPro) {
  return isPro || row < kCalFirstHrRow || row > kCalLastHrRow;
}

bool CalRowFails(int32_t row, float value) {
  if (row < 0 || row >= kCalRowCount) return true;
  const double deviation = CalDeviation(row, value);
  // Written as "not within" so that a NaN deviation fails too.
  return !(deviation <= CalNominals[row].tolerance);
}

int32_t GetCALPoint(int32_t rangeNumber, int32_t* meterConfig, uint16_t* rangeCode, double* span) {
  static const double kSpans[4] = {20.6, 2.06, 0.206, 0.0206};
  if (rangeNumber < 0 || rangeNumber > 3) {
    ConsolePrint("From GetCALPoint: invalid range");
    ExitProgram(1);
  }
  if (meterConfig != nullptr) *meterConfig = rangeNumber;
  if (rangeCode != nullptr) *rangeCode = static_cast<uint16_t>(rangeNumber);
  if (span != nullptr) *span = kSpans[rangeNumber];
  return 0;
}
