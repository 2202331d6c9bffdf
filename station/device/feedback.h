// Feedback requests: several register reads and writes in one function-76
// Modbus frame, exchanged through the device library.
#pragma once
#include <cstdint>

enum FeedbackDirection : int32_t { kFeedbackRead = 1, kFeedbackWrite = 2 };
enum FeedbackDataType : int32_t {
  kTypeRawBytes = 0,
  kTypeU16 = 1,
  kTypeU32 = 2,
  kTypeFloat = 3,
  kTypeNone = 4,
};
constexpr int kFeedbackFrameSize = 1536;
constexpr int kFeedbackBadType = 257;  // data type above 4 (skipped)
// An op the frame cannot carry: direction other than read or write, register
// count outside 0..255, an odd count for a 32-bit read, or a null view.
constexpr int kFeedbackBadOp = 258;

struct FeedbackOp {
  int32_t direction = 0;
  int32_t address = 0;
  int32_t registerCount = 0;
  int32_t dataType = 0;
  uint8_t data[2048] = {};
  uint16_t* u16Values = nullptr;
  uint32_t* u32Values = nullptr;
  float* floatValues = nullptr;
};

void MakeWriteOp(FeedbackOp* op, int32_t address, int32_t registerCount, int32_t dataType, double value);
void MakeWriteBytesOp(FeedbackOp* op, int32_t address, int32_t registerCount, const uint8_t* bytes);
void MakeReadOp(FeedbackOp* op, int32_t address, int32_t registerCount, int32_t dataType);

// Encode / decode one op at frame + offset; 0, or 257 for a type above 4.
int PackFeedbackOp(const FeedbackOp* op, uint8_t* frame, int offset);
int UnpackFeedbackOp(FeedbackOp* op, const uint8_t* frame, int offset);

// Builds the request frame for the ops into frame[kFeedbackFrameSize]
// (zero-filled first) and stores its size in *frameSize. Refuses, before
// anything is written to the device, a request or an expected reply that
// would not fit the frame (TKM_ERR_FRAME_TOO_LARGE) and ops the frame cannot
// carry (kFeedbackBadType, kFeedbackBadOp). Returns 0 on success.
int BuildFeedbackRequest(int opCount, const FeedbackOp* ops, uint8_t* frame, int* frameSize);
// Decodes the reads of ops from a reply frame (data from offset 8 on).
void DecodeFeedbackReply(int opCount, FeedbackOp* ops, const uint8_t* frame);
// Number of reply data bytes the ops' reads ask for.
int FeedbackReplyDataSize(int opCount, const FeedbackOp* ops);

// Sends the ops as one request and decodes the reads. Returns the library's
// code (0 success); on failure no read op is touched.
int FeedbackTransaction(int handle, int opCount, FeedbackOp* ops);
