// Flash operations against the virtual device over TCP, counting the
// exchanges it served.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/flash.h"
#include "support/bench_fixture.h"

namespace {

constexpr uint32_t kPage = kFlashCalibrationLog;  // a whole page of its own
constexpr uint32_t kKey = kKeyCalibrationLog;
constexpr uint64_t kPageReadExchanges = 1 + kFlashPageSize / 32;  // set-up + 128 blocks

class FlashTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"device.bare=1"}; }

 protected:
  void SetUp() override { ASSERT_TRUE(StartBench()); }
  void Fill(uint32_t address, uint8_t value, uint32_t length) {
    std::vector<uint8_t> bytes(length, value);
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    Device().Flash().Store(address, bytes.data(), length);
  }
  void ResetCounts() { Device().ResetCounters(); }
};

TEST_F(FlashTest, WriteRangeWithEqualBytesOnlyReadsThePage) {
  Fill(kPage, 0x5A, kFlashPageSize);
  ResetCounts();
  uint8_t same[16];
  memset(same, 0x5A, sizeof same);
  ASSERT_EQ(FlashWriteRange(Handle(), kKey, kPage + 100, sizeof same, same), 0);
  EXPECT_EQ(Exchanges(), kPageReadExchanges);
  EXPECT_EQ(Device().FlashBlockReads(), 128u);
  EXPECT_EQ(Device().FlashErases(), 0u);
  EXPECT_EQ(Device().FlashWrites(), 0u);
}

TEST_F(FlashTest, WriteRangeThatClearsBitsWritesWithoutErase) {
  ResetCounts();  // erased flash: all 0xFF
  const uint8_t zeros[4] = {0, 0, 0, 0};
  ASSERT_EQ(FlashWriteRange(Handle(), kKey, kPage + 8, 4, zeros), 0);
  EXPECT_EQ(Device().FlashErases(), 0u);
  EXPECT_EQ(Device().FlashWrites(), kFlashPageSize / 32);
  EXPECT_EQ(Exchanges(), kPageReadExchanges + kFlashPageSize / 32);
  auto bytes = FlashBytes(kPage, 16);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF,
                                         0xFF, 0xFF}));
}

TEST_F(FlashTest, WriteRangeThatSetsABitErasesThenWritesThePage) {
  Fill(kPage, 0x00, kFlashPageSize);
  ResetCounts();
  const uint8_t value[2] = {0x0F, 0x00};
  ASSERT_EQ(FlashWriteRange(Handle(), kKey, kPage + 0x800, 2, value), 0);
  EXPECT_EQ(Device().FlashErases(), 1u);
  EXPECT_EQ(Device().FlashWrites(), kFlashPageSize / 32);
  EXPECT_EQ(Exchanges(), kPageReadExchanges + 1 + kFlashPageSize / 32);
  // The rest of the page keeps its content through the erase.
  auto bytes = FlashBytes(kPage + 0x7FF, 4);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x0F, 0x00, 0x00}));
  EXPECT_EQ(FlashBytes(kPage, kFlashPageSize)[0], 0x00);
}

TEST_F(FlashTest, WriteRangeMustStayInsideOnePage) {
  const uint8_t bytes[5] = {0, 1, 2, 3, 4};
  ResetCounts();
  EXPECT_EQ(FlashWriteRange(Handle(), kKey, kPage + 0xFFC, 5, bytes), kFlashBadRange);
  EXPECT_EQ(FlashWriteRange(Handle(), kKey, kPage, 0, bytes), kFlashBadRange);
  EXPECT_EQ(Exchanges(), 0u);
  ASSERT_EQ(FlashWriteRange(Handle(), kKey, kPage + 0xFFC, 4, bytes), 0);
  EXPECT_EQ(FlashBytes(kPage + 0xFFC, 4), (std::vector<uint8_t>{0, 1, 2, 3}));
}

TEST_F(FlashTest, WriteSplitsIntoChunksOf32AtAdvancingAddresses) {
  std::vector<uint8_t> data(70);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ResetCounts();
  ASSERT_EQ(FlashWrite(Handle(), kKey, kPage + 0x40, 70, data.data()), 0);
  auto log = Device().FlashWriteLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].address, kPage + 0x40);
  EXPECT_EQ(log[0].length, 32u);
  EXPECT_EQ(log[1].address, kPage + 0x60);
  EXPECT_EQ(log[1].length, 32u);
  EXPECT_EQ(log[2].address, kPage + 0x80);
  EXPECT_EQ(log[2].length, 6u);
  EXPECT_EQ(Exchanges(), 3u);
  EXPECT_EQ(FlashBytes(kPage + 0x40, 70), data);

  EXPECT_EQ(FlashWrite(Handle(), kKey, kPage, 7, data.data()), kFlashBadRange);
  EXPECT_EQ(Exchanges(), 3u);
  EXPECT_EQ(FlashWrite(Handle(), kKey, kPage, 0, data.data()), 0);
  EXPECT_EQ(Exchanges(), 3u);
}

TEST_F(FlashTest, ReadTakesWholeBlocksOnly) {
  std::vector<uint8_t> data(64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x80 + i);
  {
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    Device().Flash().Store(kPage, data.data(), 64);
  }
  ResetCounts();
  std::vector<uint8_t> out(64, 0xEE);
  ASSERT_EQ(FlashRead(Handle(), kKey, kPage, 40, out.data()), 0);
  EXPECT_EQ(Device().FlashBlockReads(), 1u);
  EXPECT_EQ(Exchanges(), 2u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 32, data.begin()));
  EXPECT_EQ(out[32], 0xEE);  // beyond the last whole block: untouched

  ResetCounts();
  ASSERT_EQ(FlashRead(Handle(), kKey, kPage, 12, out.data()), 0);
  EXPECT_EQ(Device().FlashBlockReads(), 0u);
  EXPECT_EQ(Exchanges(), 1u);  // only the set-up
}

TEST_F(FlashTest, BusyDuringABlockReadStartsTheReadOver) {
  std::vector<uint8_t> data(256);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  {
    std::lock_guard<std::recursive_mutex> lock(Device().Mutex());
    Device().Flash().Store(kPage, data.data(), data.size());
  }
  ResetCounts();
  Device().InjectFlashBusy(3);  // the third block read answers 2358
  std::vector<uint8_t> out(256, 0);
  ASSERT_EQ(FlashRead(Handle(), kKey, kPage, 256, out.data()), 0);
  EXPECT_EQ(out, data);
  // Two blocks, the busy one, then set-up and all 8 blocks again.
  EXPECT_EQ(Device().FlashBlockReads(), 2u + 8u);
  EXPECT_EQ(Exchanges(), 1u + 3u + 1u + 8u);
}

TEST_F(FlashTest, ADeviceThatStaysBusyEndsTheReadWith2358) {
  for (int i = 1; i <= 2 * (kFlashReadRestarts + 1); ++i) Device().InjectFlashBusy(i);
  ResetCounts();
  std::vector<uint8_t> out(64, 0);
  EXPECT_EQ(FlashRead(Handle(), kKey, kPage, 64, out.data()), kFlashBusyCode);
  // Each attempt is the set-up and one refused block read.
  EXPECT_EQ(Exchanges(), 2u * (kFlashReadRestarts + 1));
}

TEST_F(FlashTest, AWrongKeyIsRefusedAndChangesNothing) {
  const uint8_t zeros[2] = {0, 0};
  EXPECT_EQ(FlashWrite(Handle(), kKeyCalibration, kPage, 2, zeros), kFlashErrWrongKey);
  EXPECT_EQ(FlashErasePage(Handle(), kKeyCalibration, kPage), kFlashErrWrongKey);
  uint8_t out[32];
  EXPECT_EQ(FlashRead(Handle(), kKeyCalibration, kPage, 32, out), kFlashErrWrongKey);
  EXPECT_EQ(FlashBytes(kPage, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Device().FlashWrites(), 0u);
}

TEST_F(FlashTest, ErasedFlashReadsAllOnesAndErasePageRestoresThem) {
  uint8_t out[32];
  ASSERT_EQ(FlashRead(Handle(), kKeyIdentity, kFlashSerialRecord, 32, out), 0);
  for (uint8_t b : out) EXPECT_EQ(b, 0xFF);
  const uint8_t zeros[4] = {0, 0, 0, 0};
  ASSERT_EQ(FlashWrite(Handle(), kKeyIdentity, kFlashSerialRecord, 4, zeros), 0);
  EXPECT_EQ(FlashBytes(kFlashSerialRecord, 4), std::vector<uint8_t>(4, 0));
  ASSERT_EQ(FlashErasePage(Handle(), kKeyIdentity, kFlashSerialRecord), 0);
  EXPECT_EQ(FlashBytes(kFlashSerialRecord, 4), std::vector<uint8_t>(4, 0xFF));
}

}  // namespace
