// The test jig: its identification memory on the device's I2C bus (reached
// through registers 5100-5110, request block, and 5160-5175, the bytes read)
// and its fixed properties (code, type, six reference values, supply).
#pragma once
#include <cstdint>

struct JigOptions {
  bool fitted = true;
  int recordCode = 3;  // byte 1 of the record
  int lineCode = 3;    // code on digital lines 0-4
  int type = 6;
  // Vm+ factor, Vm- factor, 200 uA load, 10 uA load, current sense, shunt.
  double values[6] = {2.0017, 2.0023, 24900.0, 49900.0, 0.2, 100000.0};
  uint16_t i2cError = 0;  // non-zero: the device answers the bus request with this code
};

constexpr int kJigRecordBytes = 32;
constexpr int kJigBusAddress = 0x50;

// The 32-byte identification record as the jig memory holds it.
void BuildJigRecord(const JigOptions& jig, uint8_t record[kJigRecordBytes]);

// Runs the bus transaction that the block of registers 5100..5110 asks for
// (11 values) and fills out[32] with the bytes that appear at 5160..5175:
// the record when a jig memory answers at the address and the request is a
// read of up to 32 bytes, else 0xFF bytes (nobody drives the bus). Returns 0,
// or the configured bus error code.
int RunJigBusRequest(const JigOptions& jig, const uint16_t block[11], uint8_t out[kJigRecordBytes]);
