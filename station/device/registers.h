// Single-register helpers on top of feedback requests. Each returns the
// device library's code (0 success).
#pragma once
#include <cstdint>

int WriteDio5(int handle, int32_t value);
int ReadFloatRegister(int handle, int32_t address, float* out);
int ReadU32Register(int handle, int32_t address, uint32_t* out);
int WriteU32Register(int handle, int32_t address, uint32_t value);
int WriteFloatRegister(int handle, int32_t address, float value);
int WriteU16Register(int handle, int32_t address, uint16_t value);
// Returned by ConfigureAnalogInput for a range code outside 0..3 (nothing
// is sent).
constexpr int kBadRangeCode = 259;

// rangeCode 0..3 gives 9.9, 0.9, 0.09, 0.009 V; other codes are refused.
int ConfigureAnalogInput(int handle, int32_t channel, int32_t rangeCode, int32_t resolutionIndex,
                         int32_t negativeChannel, int32_t settling);
