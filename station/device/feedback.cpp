#include "device/feedback.h"

#include <cstring>

#include "tkm/tkm.h"

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t GetU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void PointViewsAtData(FeedbackOp* op) {
  op->u16Values = reinterpret_cast<uint16_t*>(op->data);
  op->u32Values = reinterpret_cast<uint32_t*>(op->data);
  op->floatValues = reinterpret_cast<float*>(op->data);
}

// Truncation toward zero, taken modulo 2^32 (so -1 gives 0xFFFFFFFF),
// without undefined behaviour for values out of range (those and NaN give 0).
uint32_t TruncateToU32(double value) {
  if (!(value > -9.2e18 && value < 9.2e18)) return 0;
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

// Bytes an op takes in the request after its descriptor.
int RequestPayloadSize(const FeedbackOp& op) {
  return op.direction == kFeedbackWrite ? 2 * op.registerCount : 0;
}

// The sound subset of ops: everything else would make the device and the
// decoder disagree about where the next op's bytes are.
int CheckOp(const FeedbackOp& op) {
  if (op.direction != kFeedbackRead && op.direction != kFeedbackWrite) return kFeedbackBadOp;
  if (op.registerCount < 0 || op.registerCount > 255) return kFeedbackBadOp;
  if (op.dataType < kTypeRawBytes || op.dataType > kTypeNone) return kFeedbackBadType;
  bool wide = op.dataType == kTypeU32 || op.dataType == kTypeFloat;
  if (op.direction == kFeedbackRead && wide && op.registerCount % 2 != 0) return kFeedbackBadOp;
  if (op.registerCount > 0) {
    if (op.dataType == kTypeU16 && op.u16Values == nullptr) return kFeedbackBadOp;
    if (op.dataType == kTypeU32 && op.u32Values == nullptr) return kFeedbackBadOp;
    if (op.dataType == kTypeFloat &&
        (op.direction == kFeedbackRead ? op.u32Values == nullptr : op.floatValues == nullptr))
      return kFeedbackBadOp;
  }
  return 0;
}

}  // namespace

void MakeWriteOp(FeedbackOp* op, int32_t address, int32_t registerCount, int32_t dataType,
                 double value) {
  op->direction = kFeedbackWrite;
  op->address = address;
  op->registerCount = registerCount;
  op->dataType = dataType;
  PointViewsAtData(op);
  switch (dataType) {
    case kTypeRawBytes:
      op->data[0] = static_cast<uint8_t>(TruncateToU32(value));
      break;
    case kTypeU16: {
      uint16_t v = static_cast<uint16_t>(TruncateToU32(value));
      memcpy(op->data, &v, sizeof v);
      break;
    }
    case kTypeU32: {
      uint32_t v = TruncateToU32(value);
      memcpy(op->data, &v, sizeof v);
      break;
    }
    case kTypeFloat: {
      float v = static_cast<float>(value);
      memcpy(op->data, &v, sizeof v);
      break;
    }
    default:
      break;
  }
}

void MakeWriteBytesOp(FeedbackOp* op, int32_t address, int32_t registerCount, const uint8_t* bytes) {
  op->direction = kFeedbackWrite;
  op->address = address;
  op->registerCount = registerCount;
  op->dataType = kTypeRawBytes;
  PointViewsAtData(op);
  if (bytes != nullptr && registerCount > 0) {
    size_t n = 2 * static_cast<size_t>(registerCount);
    if (n > sizeof op->data) n = sizeof op->data;
    memcpy(op->data, bytes, n);
  }
}

void MakeReadOp(FeedbackOp* op, int32_t address, int32_t registerCount, int32_t dataType) {
  op->direction = kFeedbackRead;
  op->address = address;
  op->registerCount = registerCount;
  op->dataType = dataType;
  PointViewsAtData(op);
}

// The caller makes sure frame + offset has room for 2 x registerCount bytes
// (FeedbackTransaction checks the whole request before packing).
int PackFeedbackOp(const FeedbackOp* op, uint8_t* frame, int offset) {
  uint8_t* out = frame + offset;
  int count = op->registerCount < 0 ? 0 : op->registerCount;
  switch (op->dataType) {
    case kTypeRawBytes: {
      size_t n = 2 * static_cast<size_t>(count);
      if (n > sizeof op->data) n = sizeof op->data;
      memcpy(out, op->data, n);
      return 0;
    }
    case kTypeU16:
      for (int i = 0; i < count; ++i) PutU16(out + 2 * i, op->u16Values[i]);
      return 0;
    case kTypeU32:
      for (int i = 0; i < count / 2; ++i) PutU32(out + 4 * i, op->u32Values[i]);
      return 0;
    case kTypeFloat:
      for (int i = 0; i < count / 2; ++i) {
        uint32_t bits;
        memcpy(&bits, &op->floatValues[i], sizeof bits);
        PutU32(out + 4 * i, bits);
      }
      return 0;
    case kTypeNone:
      return 0;
    default:
      return kFeedbackBadType;
  }
}

int UnpackFeedbackOp(FeedbackOp* op, const uint8_t* frame, int offset) {
  const uint8_t* in = frame + offset;
  int count = op->registerCount < 0 ? 0 : op->registerCount;
  switch (op->dataType) {
    case kTypeRawBytes: {
      size_t n = 2 * static_cast<size_t>(count);
      if (n > sizeof op->data) n = sizeof op->data;
      memcpy(op->data, in, n);
      return 0;
    }
    case kTypeU16:
      for (int i = 0; i < count; ++i)
        op->u16Values[i] = static_cast<uint16_t>((in[2 * i] << 8) | in[2 * i + 1]);
      return 0;
    case kTypeU32:
    case kTypeFloat:
      for (int i = 0; i < (count + 1) / 2; ++i) op->u32Values[i] = GetU32(in + 4 * i);
      return 0;
    case kTypeNone:
      return 0;
    default:
      return kFeedbackBadType;
  }
}

int FeedbackReplyDataSize(int opCount, const FeedbackOp* ops) {
  int size = 0;
  for (int i = 0; i < opCount; ++i)
    if (ops[i].direction == kFeedbackRead && ops[i].registerCount > 0) size += 2 * ops[i].registerCount;
  return size;
}

int BuildFeedbackRequest(int opCount, const FeedbackOp* ops, uint8_t* frame, int* frameSize) {
  if (opCount < 0 || (opCount > 0 && ops == nullptr) || frame == nullptr) return TKM_ERR_BAD_ARGUMENT;
  // Check everything before a byte is written: a request that cannot be
  // sent whole is not sent at all.
  int requestSize = 8;
  int replySize = 8;
  for (int i = 0; i < opCount; ++i) {
    int code = CheckOp(ops[i]);
    if (code != 0) return code;
    requestSize += 4 + RequestPayloadSize(ops[i]);
    if (ops[i].direction == kFeedbackRead) replySize += 2 * ops[i].registerCount;
    if (requestSize > kFeedbackFrameSize || replySize > kFeedbackFrameSize)
      return TKM_ERR_FRAME_TOO_LARGE;
  }
  memset(frame, 0, kFeedbackFrameSize);
  frame[7] = 0x4C;
  int offset = 8;
  for (int i = 0; i < opCount; ++i) {
    const FeedbackOp& op = ops[i];
    frame[offset] = op.direction == kFeedbackWrite ? 1 : 0;
    frame[offset + 1] = static_cast<uint8_t>(op.address >> 8);
    frame[offset + 2] = static_cast<uint8_t>(op.address);
    frame[offset + 3] = static_cast<uint8_t>(op.registerCount);
    offset += 4;
    if (op.direction == kFeedbackWrite) {
      PackFeedbackOp(&op, frame, offset);
      offset += 2 * op.registerCount;
    }
  }
  PutU16(frame + 4, static_cast<uint16_t>(offset - 6));
  if (frameSize != nullptr) *frameSize = offset;
  return 0;
}

void DecodeFeedbackReply(int opCount, FeedbackOp* ops, const uint8_t* frame) {
  int offset = 8;
  for (int i = 0; i < opCount; ++i) {
    FeedbackOp& op = ops[i];
    if (op.direction != kFeedbackRead) continue;
    UnpackFeedbackOp(&op, frame, offset);
    // Every read takes its whole share of the reply (type 4 included), so
    // the next read starts where the device put its bytes.
    offset += 2 * op.registerCount;
  }
}

int FeedbackTransaction(int handle, int opCount, FeedbackOp* ops) {
  uint8_t frame[kFeedbackFrameSize];
  int code = BuildFeedbackRequest(opCount, ops, frame, nullptr);
  if (code != 0) return code;
  int errorAddress = 0;
  code = TKM_MBFBComm(handle, 0, frame, &errorAddress);
  if (code != 0) return code;
  DecodeFeedbackReply(opCount, ops, frame);
  return 0;
}
