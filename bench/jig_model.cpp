// Test jig identification memory.
#include "bench/jig_model.h"

#include <cstring>

namespace {

void PutFloat(uint8_t* at, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  at[0] = uint8_t(bits >> 24);
  at[1] = uint8_t(bits >> 16);
  at[2] = uint8_t(bits >> 8);
  at[3] = uint8_t(bits);
}

}  // namespace

void BuildJigRecord(const JigOptions& jig, uint8_t record[kJigRecordBytes]) {
  std::memset(record, 0, kJigRecordBytes);
  record[1] = uint8_t(jig.recordCode);
  record[2] = uint8_t(jig.type >> 8);
  record[3] = uint8_t(jig.type);
  PutFloat(record + 4, float(jig.values[0]));
  PutFloat(record + 8, float(jig.values[1]));
  PutFloat(record + 12, float(jig.values[2]));
  PutFloat(record + 16, 1.0f);  // record format word, not used by the station
  PutFloat(record + 20, float(jig.values[3]));
  PutFloat(record + 24, float(jig.values[4]));
  PutFloat(record + 28, float(jig.values[5]));
}

int RunJigBusRequest(const JigOptions& jig, const uint16_t block[11], uint8_t out[kJigRecordBytes]) {
  std::memset(out, 0xFF, kJigRecordBytes);
  if (jig.i2cError != 0) return jig.i2cError;
  // block: SCL line, SDA line, options, -, bus address, -, -, -, bytes to
  // send, bytes to read, first byte sent (the memory offset).
  bool busLines = block[0] == 7 && block[1] == 6;
  int readCount = block[9];
  if (!jig.fitted || !busLines || block[4] != kJigBusAddress || readCount > kJigRecordBytes) return 0;
  uint8_t record[kJigRecordBytes];
  BuildJigRecord(jig, record);
  int offset = block[8] > 0 ? (block[10] & 0xFF) : 0;
  for (int i = 0; i < readCount; ++i) out[i] = record[(offset + i) % kJigRecordBytes];
  return 0;
}
