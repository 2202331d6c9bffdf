#include "device/flash.h"

#include <cstring>
#include <vector>

#include "device/feedback.h"

namespace {

constexpr int32_t kKeyRegister = 61800;
constexpr int32_t kReadPointerRegister = 61810;
constexpr int32_t kReadWindowRegister = 61812;
constexpr int32_t kEraseRegister = 61820;
constexpr int32_t kWriteRegister = 61830;
constexpr uint32_t kBlock = 32;

int ReadSetUp(int handle, uint32_t key, uint32_t address) {
  FeedbackOp ops[4];
  MakeWriteOp(&ops[0], kKeyRegister, 2, kTypeU32, key);
  MakeWriteOp(&ops[1], kReadPointerRegister, 2, kTypeU32, address);
  MakeReadOp(&ops[2], kKeyRegister, 2, kTypeU32);
  MakeReadOp(&ops[3], kReadPointerRegister, 2, kTypeU32);
  return FeedbackTransaction(handle, 4, ops);
}

// One pass over the whole read; 2358 from a block is handed back so the
// caller can start over.
int ReadPass(int handle, uint32_t key, uint32_t address, uint32_t blocks, uint8_t* destination) {
  int code = ReadSetUp(handle, key, address);
  if (code != 0) return code;
  FeedbackOp ops[2];
  for (uint32_t i = 0; i < blocks; ++i) {
    MakeWriteOp(&ops[0], kReadPointerRegister, 2, kTypeU32, address + kBlock * i);
    MakeReadOp(&ops[1], kReadWindowRegister, 16, kTypeRawBytes);
    code = FeedbackTransaction(handle, 2, ops);
    if (code != 0) return code;
    memcpy(destination + kBlock * i, ops[1].data, kBlock);
  }
  return 0;
}

}  // namespace

int FlashRead(int handle, uint32_t key, uint32_t address, uint32_t length, uint8_t* destination) {
  uint32_t blocks = length / kBlock;
  if (blocks > 0 && destination == nullptr) return kFlashBadRange;
  // The device answers 2358 while its flash is busy: start the whole read
  // again, but not for ever (a device stuck busy gives 2358 back).
  int code = kFlashBusyCode;
  for (int attempt = 0; attempt <= kFlashReadRestarts; ++attempt) {
    code = ReadPass(handle, key, address, blocks, destination);
    if (code != kFlashBusyCode) return code;
  }
  return code;
}

int FlashWrite(int handle, uint32_t key, uint32_t address, uint32_t length, const uint8_t* source) {
  if (length % 2 != 0) return kFlashBadRange;
  if (length > 0 && source == nullptr) return kFlashBadRange;
  FeedbackOp ops[2];
  uint8_t bytes[4 + kBlock];
  for (uint32_t done = 0; done < length; done += kBlock) {
    uint32_t chunk = length - done < kBlock ? length - done : kBlock;
    uint32_t flashAddress = address + done;
    bytes[0] = static_cast<uint8_t>(flashAddress >> 24);
    bytes[1] = static_cast<uint8_t>(flashAddress >> 16);
    bytes[2] = static_cast<uint8_t>(flashAddress >> 8);
    bytes[3] = static_cast<uint8_t>(flashAddress);
    memcpy(bytes + 4, source + done, chunk);
    MakeWriteOp(&ops[0], kKeyRegister, 2, kTypeU32, key);
    MakeWriteBytesOp(&ops[1], kWriteRegister, static_cast<int32_t>(2 + chunk / 2), bytes);
    int code = FeedbackTransaction(handle, 2, ops);
    if (code != 0) return code;
  }
  return 0;
}

int FlashErasePage(int handle, uint32_t key, uint32_t pageAddress) {
  FeedbackOp ops[2];
  MakeWriteOp(&ops[0], kKeyRegister, 2, kTypeU32, key);
  MakeWriteOp(&ops[1], kEraseRegister, 2, kTypeU32, pageAddress);
  return FeedbackTransaction(handle, 2, ops);
}

int FlashWriteRange(int handle, uint32_t key, uint32_t address, uint32_t length, const uint8_t* source) {
  uint32_t page = address & 0xFFF000u;
  uint32_t offset = address & 0xFFFu;
  // The last byte (offset + length - 1) must stay in this page; a length of
  // 0 at offset 0 wraps and is refused the same way.
  if (((offset + length - 1) & 0xFFF000u) != 0) return kFlashBadRange;
  if (length > kFlashPageSize || source == nullptr) return kFlashBadRange;
  std::vector<uint8_t> copy(kFlashPageSize);
  int code = FlashRead(handle, key, page, kFlashPageSize, copy.data());
  if (code != 0) return code;
  bool erase = false;
  bool write = false;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t oldByte = copy[offset + i];
    uint8_t newByte = source[i];
    if ((newByte & ~oldByte) != 0) erase = true;
    if ((~newByte & oldByte) != 0) write = true;
    copy[offset + i] = newByte;
  }
  if (erase) {
    code = FlashErasePage(handle, key, page);
    if (code != 0) return code;
    write = true;
  }
  if (write) return FlashWrite(handle, key, page, kFlashPageSize, copy.data());
  return 0;
}
