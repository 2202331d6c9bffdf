#include "device/registers.h"

#include <cmath>
#include <cstring>

#include "device/feedback.h"
#include "tkm/tkm.h"

namespace {

int WriteOne(int handle, int32_t address, int32_t registerCount, int32_t dataType, double value) {
  FeedbackOp op;
  MakeWriteOp(&op, address, registerCount, dataType, value);
  return FeedbackTransaction(handle, 1, &op);
}

}  // namespace

int WriteDio5(int handle, int32_t value) {
  return WriteOne(handle, 2005, 1, kTypeU16, static_cast<double>(value & 0xFFFF));
}

int ReadFloatRegister(int handle, int32_t address, float* out) {
  FeedbackOp op;
  MakeReadOp(&op, address, 2, kTypeFloat);
  int code = FeedbackTransaction(handle, 1, &op);
  // Stored whatever the code: the value means something only when it is 0.
  if (out != nullptr) memcpy(out, op.data, sizeof *out);
  return code;
}

int ReadU32Register(int handle, int32_t address, uint32_t* out) {
  double value = 0;
  int code = TKM_eReadAddress(handle, address, 1, &value);
  if (out != nullptr) {
    // Truncation; a value the library never gives (NaN, out of range) is 0.
    *out = (value >= 0 && value < 4294967296.0) ? static_cast<uint32_t>(value) : 0;
  }
  return code;
}

int WriteU32Register(int handle, int32_t address, uint32_t value) {
  return WriteOne(handle, address, 2, kTypeU32, static_cast<double>(value));
}

int WriteFloatRegister(int handle, int32_t address, float value) {
  return WriteOne(handle, address, 2, kTypeFloat, static_cast<double>(value));
}

int WriteU16Register(int handle, int32_t address, uint16_t value) {
  return WriteOne(handle, address, 1, kTypeU16, static_cast<double>(value));
}

int ConfigureAnalogInput(int handle, int32_t channel, int32_t rangeCode, int32_t resolutionIndex,
                         int32_t negativeChannel, int32_t settling) {
  // A range code outside the table has no range to write; refuse it rather
  // than send an unset value to the device.
  static const float kRanges[4] = {9.9f, 0.9f, 0.09f, 0.009f};
  if (rangeCode < 0 || rangeCode > 3) return kBadRangeCode;
  FeedbackOp ops[4];
  MakeWriteOp(&ops[0], 40000 + 2 * channel, 2, kTypeFloat, kRanges[rangeCode]);
  MakeWriteOp(&ops[1], 41500 + channel, 1, kTypeU16, static_cast<double>(resolutionIndex & 0xFFFF));
  MakeWriteOp(&ops[2], 42000 + 2 * channel, 2, kTypeFloat, static_cast<double>(static_cast<float>(settling)));
  MakeWriteOp(&ops[3], 41000 + channel, 1, kTypeU16, static_cast<double>(negativeChannel & 0xFFFF));
  return FeedbackTransaction(handle, 4, ops);
}
