// The feedback frame codec: request frames byte for byte, decoding of the
// reply, and what is refused before anything is sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/feedback.h"
#include "support/fake_peer.h"
#include "tkm/tkm.h"

namespace {

Bytes Build(int opCount, const FeedbackOp* ops, int* code = nullptr) {
  uint8_t frame[kFeedbackFrameSize];
  memset(frame, 0xAA, sizeof frame);
  int size = -1;
  int rc = BuildFeedbackRequest(opCount, ops, frame, &size);
  if (code != nullptr) *code = rc;
  if (rc != 0) return {};
  return Bytes(frame, frame + size);
}

TEST(FeedbackFrame, WriteOfOneRegister) {
  FeedbackOp op;
  MakeWriteOp(&op, 2005, 1, kTypeU16, 1);
  EXPECT_EQ(Build(1, &op), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x4C, 0x01, 0x07, 0xD5, 0x01, 0x00, 0x01}));
}

TEST(FeedbackFrame, FloatReadAndItsDecoding) {
  FeedbackOp op;
  MakeReadOp(&op, 60002, 2, kTypeFloat);
  EXPECT_EQ(Build(1, &op), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x4C, 0x00, 0xEA, 0x62, 0x02}));
  uint8_t reply[kFeedbackFrameSize] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x3F, 0x80, 0x00, 0x00};
  DecodeFeedbackReply(1, &op, reply);
  EXPECT_EQ(op.floatValues[0], 1.0f);
}

TEST(FeedbackFrame, SixteenBitReadIsHighByteFirst) {
  FeedbackOp op;
  MakeReadOp(&op, 100, 1, kTypeU16);
  uint8_t reply[kFeedbackFrameSize] = {0, 0, 0, 0, 0, 4, 0, 0x4C, 0x01, 0x2C};
  DecodeFeedbackReply(1, &op, reply);
  EXPECT_EQ(op.u16Values[0], 300);
}

TEST(FeedbackFrame, WriteThenReadTakesTheReadDataFromOffset8) {
  FeedbackOp ops[2];
  MakeWriteOp(&ops[0], 61810, 2, kTypeU32, 0x3C7020);
  MakeReadOp(&ops[1], 61800, 2, kTypeU32);
  EXPECT_EQ(Build(2, ops), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x4C, 0x01, 0xF1, 0x72, 0x02, 0x00,
                                  0x3C, 0x70, 0x20, 0x00, 0xF1, 0x68, 0x02}));
  uint8_t reply[kFeedbackFrameSize] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x12, 0x34, 0x56, 0x78};
  DecodeFeedbackReply(2, ops, reply);
  EXPECT_EQ(ops[1].u32Values[0], 0x12345678u);
}

TEST(FeedbackFrame, NoOpsGivesAnEightByteFrame) {
  EXPECT_EQ(Build(0, nullptr), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x4C}));
}

TEST(FeedbackFrame, ValuesOfEachTypeAreBigEndian) {
  FeedbackOp ops[3];
  MakeWriteOp(&ops[0], 1, 2, kTypeU32, 0xA1B2C3D4u);
  MakeWriteOp(&ops[1], 2, 2, kTypeFloat, -2.5);  // 0xC0200000
  uint8_t raw[4] = {9, 8, 7, 6};
  MakeWriteBytesOp(&ops[2], 3, 2, raw);
  Bytes frame = Build(3, ops);
  EXPECT_EQ(Bytes(frame.begin() + 8, frame.end()),
            (Bytes{0x01, 0x00, 0x01, 0x02, 0xA1, 0xB2, 0xC3, 0xD4, 0x01, 0x00, 0x02, 0x02, 0xC0, 0x20, 0x00, 0x00,
                   0x01, 0x00, 0x03, 0x02, 9, 8, 7, 6}));
}

TEST(FeedbackFrame, ReadsAfterAnEmptyTypeStayAligned) {
  // A type-4 read still has its bytes in the reply; the next read must not
  // take them.
  FeedbackOp ops[2];
  MakeReadOp(&ops[0], 10, 1, kTypeNone);
  MakeReadOp(&ops[1], 11, 1, kTypeU16);
  uint8_t reply[kFeedbackFrameSize] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0xFF, 0xFF, 0x00, 0x07};
  DecodeFeedbackReply(2, ops, reply);
  EXPECT_EQ(ops[1].u16Values[0], 7);
}

TEST(FeedbackFrame, RequestsTheFrameCannotCarryAreRefused) {
  struct Case {
    const char* what;
    int direction, count, type;
    int expected;
  };
  const Case cases[] = {
      {"unknown data type", kFeedbackWrite, 1, 5, kFeedbackBadType},
      {"unknown direction", 0, 1, kTypeU16, kFeedbackBadOp},
      {"count beyond one byte", kFeedbackRead, 256, kTypeU16, kFeedbackBadOp},
      {"odd 32-bit read", kFeedbackRead, 3, kTypeU32, kFeedbackBadOp},
  };
  for (const Case& c : cases) {
    FeedbackOp op;
    MakeReadOp(&op, 5, 1, kTypeU16);
    op.direction = c.direction;
    op.registerCount = c.count;
    op.dataType = c.type;
    int code = 0;
    Build(1, &op, &code);
    EXPECT_EQ(code, c.expected) << c.what;
  }
}

TEST(FeedbackFrame, RequestOrReplyBeyondTheFrameIsRefused) {
  // 12 reads of 64 registers ask for 12 * 128 = 1536 reply data bytes.
  std::vector<FeedbackOp> reads(12);
  for (auto& op : reads) MakeReadOp(&op, 0, 64, kTypeRawBytes);
  int code = 0;
  Build(static_cast<int>(reads.size()), reads.data(), &code);
  EXPECT_EQ(code, TKM_ERR_FRAME_TOO_LARGE);
  Build(11, reads.data(), &code);  // 8 + 1408 bytes: fits
  EXPECT_EQ(code, 0);

  std::vector<FeedbackOp> writes(6);
  uint8_t bytes[2048] = {};
  for (auto& op : writes) MakeWriteBytesOp(&op, 0, 127, bytes);  // 258 bytes each
  Build(6, writes.data(), &code);  // 8 + 6 * 258 = 1556
  EXPECT_EQ(code, TKM_ERR_FRAME_TOO_LARGE);
}

// Through the library against a scripted peer: the frame goes out as built,
// apart from the library's transaction identifier.
class FeedbackExchange : public ::testing::Test {
 protected:
  void Open(FakePeer& peer) {
    setenv("TKM_USB_ENDPOINT", peer.Endpoint().c_str(), 1);
    setenv("TKM_RECONNECT_MS", "0", 1);
    ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle_), 0);
  }
  void TearDown() override {
    if (handle_ > 0) TKM_Close(handle_);
    unsetenv("TKM_RECONNECT_MS");
  }
  int handle_ = 0;
};

TEST_F(FeedbackExchange, SendsTheFrameAndDecodesTheReply) {
  FakePeer peer([](const Bytes& request) { return PeerAnswer{FakePeer::Reply(request, {0x3F, 0x80, 0, 0}), false}; });
  Open(peer);
  FeedbackOp ops[2];
  MakeWriteOp(&ops[0], 2005, 1, kTypeU16, 1);
  MakeReadOp(&ops[1], 60002, 2, kTypeFloat);
  ASSERT_EQ(FeedbackTransaction(handle_, 2, ops), 0);
  EXPECT_EQ(ops[1].floatValues[0], 1.0f);
  auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 1u);
  Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x4C, 0x01, 0x07,
                    0xD5, 0x01, 0x00, 0x01, 0x00, 0xEA, 0x62, 0x02};
  ASSERT_EQ(requests[0].size(), expected.size());
  EXPECT_EQ(Bytes(requests[0].begin() + 2, requests[0].end()), Bytes(expected.begin() + 2, expected.end()));
}

TEST_F(FeedbackExchange, AFailedExchangeLeavesReadOpsAsTheyWere) {
  // First an error reply, then a reply of the wrong size.
  int n = 0;
  FakePeer peer([&n](const Bytes& request) {
    if (n++ == 0) return PeerAnswer{FakePeer::Reply(request, {0x09, 0x36}, 0xCC), false};
    return PeerAnswer{FakePeer::Reply(request, {1, 2, 3}), false};
  });
  Open(peer);
  FeedbackOp ops[2];
  MakeReadOp(&ops[0], 10, 1, kTypeU16);
  MakeReadOp(&ops[1], 12, 2, kTypeU32);
  ops[0].u16Values[0] = 0x1111;
  ops[1].u32Values[0] = 0x22222222;
  EXPECT_EQ(FeedbackTransaction(handle_, 2, ops), 2358);
  EXPECT_EQ(FeedbackTransaction(handle_, 2, ops), TKM_ERR_BAD_LENGTH);
  EXPECT_EQ(ops[0].u16Values[0], 0x1111);
  EXPECT_EQ(ops[1].u32Values[0], 0x22222222u);
}

TEST_F(FeedbackExchange, RefusedRequestsSendNothing) {
  FakePeer peer([](const Bytes& request) { return PeerAnswer{FakePeer::Reply(request, {}), false}; });
  Open(peer);
  std::vector<FeedbackOp> reads(12);
  for (auto& op : reads) MakeReadOp(&op, 0, 64, kTypeRawBytes);
  EXPECT_EQ(FeedbackTransaction(handle_, 12, reads.data()), TKM_ERR_FRAME_TOO_LARGE);
  EXPECT_TRUE(peer.Requests().empty());
}

}  // namespace
