// Test jig identification: the device reads the jig's identification record
// over its I2C bus; the record must name a jig of type 6 whose code matches
// the 5-bit code the jig presents on digital lines 0 to 4.
#include <cstring>

#include "device/feedback.h"
#include "platform/console.h"
#include "steps/steps.h"

namespace {

// I2C request block for registers 5100..5110: bus lines 7 and 6, options,
// bus address 0x50 of the jig memory, one read of 32 bytes.
constexpr uint8_t kJigI2cBlock[22] = {
    0x00, 0x07, 0x00, 0x06, 0xFF, 0xE0, 0x00, 0x00, 0x00, 0x50, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00,
};
constexpr int kJigTypeExpected = 6;

float BigEndianFloat(const uint8_t* bytes) {
  uint32_t bits = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
                  uint32_t(bytes[3]);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

int32_t StepReadTestJigInfo(StepContext* context) {
  context->jigCode = 0;
  context->jigType = 0;
  context->EL = kLevelPassed;

  FeedbackOp ops[3];
  MakeWriteBytesOp(&ops[0], 5100, 11, kJigI2cBlock);
  MakeReadOp(&ops[1], 5160, 16, kTypeRawBytes);
  MakeReadOp(&ops[2], 2500, 1, kTypeU16);
  int code = FeedbackTransaction(context->handle, 3, ops);
  if (code != 0) {
    char number[64];
    FormatText(number, sizeof number, "(%i)", code);
    context->EL = kLevelFatal;
    CopyText(context->Msg, kDetailsSize, "Comm Error: ");
    AppendText(context->Msg, kMsgSize, number);
    return 1;
  }

  const uint8_t* record = ops[1].data;
  context->jigCode = record[1];
  context->jigType = record[2] * 256 + record[3];
  // Words at bytes 4, 8, 12, 20, 24, 28; the word at 16..19 is not used.
  static const int kValueOffsets[6] = {4, 8, 12, 20, 24, 28};
  for (int i = 0; i < 6; ++i) context->jigValues[i] = BigEndianFloat(record + kValueOffsets[i]);

  uint32_t lineCode = ops[2].u16Values[0] & 0x1F;
  const char* text = "Jig found: ";
  if (lineCode != uint32_t(context->jigCode)) {
    context->EL = kLevelFatal;
    text = "Code mismatch: ";
  } else if (context->jigType != kJigTypeExpected) {
    context->EL = kLevelFatal;
    text = "Wrong Jig Type: ";
  }
  char number[200];
  CopyText(context->Msg, kDetailsSize, text);
  FormatText(number, sizeof number, "(%u,", unsigned(context->jigType));
  AppendText(context->Msg, kMsgSize, number);
  FormatText(number, sizeof number, "%u,", unsigned(context->jigCode));
  AppendText(context->Msg, kMsgSize, number);
  FormatText(number, sizeof number, "%u)", unsigned(lineCode));
  AppendText(context->Msg, kMsgSize, number);
  return 0;
}
