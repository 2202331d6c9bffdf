// Helpers of the record steps: the record text written into the device, the
// rolling calibration log and the selection of result lines for the server.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sequencer/step_context.h"

constexpr uint32_t kManufacturingLength = 1024;
constexpr uint32_t kCalLogLength = 4096;
constexpr uint32_t kCalLogSlot = 512;
constexpr double kStationVersion = 1.2;

enum class RecordKind { kManufacturing, kCalibrationLog };

// Builds the record text into buffer[capacity] (the buffer is not cleared;
// the caller hands a zero-filled one). timeText is the 24-character UTC
// calendar text followed by its line feed. Returns the text length.
size_t BuildRecordText(char* buffer, size_t capacity, RecordKind kind, double libraryVersion,
                       const char* timeText, const StepContext& context);

// The new log page: the new record (at the start of newPage) stays in slot
// 0 up to 512 bytes; the old page moves down by one slot, the oldest slot
// drops out, and old bytes of 0x80 or more (erased flash) become 0.
void ShiftCalibrationLog(uint8_t* newPage, const uint8_t* oldPage);

// Number of result lines to send: up to stepCount - 1 (stepCount - 2 in a
// calibration run), stopping at the first row without a line.
int32_t CountResultLines(const StepContext& context);

// The current UTC time as the standard 24-character calendar text and a
// line feed ("Mon Jan  4 13:05:09 2016\n").
void UtcTimeText(char* buffer, size_t capacity);
