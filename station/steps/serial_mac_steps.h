// Identity records of the device's flash and the MAC text, as the serial
// number and MAC steps build them.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t kSerialRecordSize = 12;
constexpr uint32_t kMacRecordSize = 8;

// The six MAC bytes, most significant first, "%02X" joined by ".".
void FormatMacText(uint64_t mac, char* buffer, size_t capacity);
// Marker 0x7DE1BE08 (little-endian), four zero bytes, serial (little-endian).
void BuildSerialRecord(uint32_t serial, uint8_t record[kSerialRecordSize]);
// Two zero bytes, then the six MAC bytes, most significant first.
void BuildMacRecord(uint64_t mac, uint8_t record[kMacRecordSize]);
