#include "firmware/upgrade.h"

#include <cstring>

#include "device/feedback.h"
#include "device/flash.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"

UpgradeState& CurrentUpgrade() {
  static UpgradeState state;
  return state;
}

const char* UpgradeStateName(int state) {
  static const char* const kNames[] = {
      "Checking Tavrick Device\r\n", "Checking Upgrade File\r\n", "Erasing: ",
      "Erasing Info Page\r\n",       "Writing: ",                 "Writing Info Page\r\n",
      "Restarting\r\n",              "Waiting: ",                 "Final Check\r\n"};
  return state >= 0 && state <= 8 ? kNames[state] : "";
}

int UpgradeStep(int handle, ImageFile* image, uint32_t productId, bool* done) {
  UpgradeState& s = CurrentUpgrade();
  switch (s.state) {
    case 0: {
      FeedbackOp ops[2];
      MakeReadOp(&ops[0], 60004, 2, kTypeFloat);
      MakeReadOp(&ops[1], 60006, 2, kTypeFloat);
      int code = FeedbackTransaction(handle, 2, ops);
      if (code != 0) return code;
      // A float read lands as its bit pattern where the op's views point.
      uint32_t bits = ops[1].u32Values[0];
      std::memcpy(&s.bootstrapVersion, &bits, sizeof bits);
      s.waitSeconds = s.bootstrapVersion >= 0.89f ? 14 : 40;
      s.state = 1;
      return 0;
    }
    case 1: {
      if (image->status == 0 && image->size < kImageHeaderSize) image->status = kImageTooShort;
      int code = ParseImageHeader(image, &s.header);
      if (code != 0) return code;
      s.image = image->data + kImageHeaderSize;
      s.headerBytes = image->data;
      s.imagePages = s.header.imageLength / kFlashPageSize;
      if (productId == 100004001 || productId == 100007001 || productId == 100007002) {
        s.pagesToErase = 120;
        s.restart = true;
        s.imageKey = kKeyMainImage;
        s.imageAddress = kFlashMainImage;
        s.infoKey = kKeyMainInfo;
        s.infoAddress = kFlashMainInfo;
      } else if (productId == 100007021) {
        s.pagesToErase = 32;
        s.restart = false;
        s.waitSeconds = 0;
        s.imageKey = kKeyRecoveryImage;
        s.imageAddress = kFlashRecoveryImage;
        s.infoKey = kKeyRecoveryInfo;
        s.infoAddress = kFlashRecoveryInfo;
      } else {
        return kUnknownProduct;
      }
      // Refused before anything is erased: an image with no whole page, one
      // beyond the erased region, or one claiming more bytes than the file has.
      code = CheckImageForRegion(image, &s.header, s.pagesToErase);
      if (code != 0) {
        image->status = code;
        return code;
      }
      s.state = 2;
      return 0;
    }
    case 2: {
      int code = FlashErasePage(handle, s.imageKey, s.imageAddress + kFlashPageSize * s.eraseCount);
      if (code != 0) return code;
      if (++s.eraseCount == s.pagesToErase) s.state = 3;
      return 0;
    }
    case 3: {
      int code = FlashErasePage(handle, s.infoKey, s.infoAddress);
      if (code != 0) return code;
      s.state = 4;
      return 0;
    }
    case 4: {
      int code = FlashWrite(handle, s.imageKey, s.imageAddress + kFlashPageSize * s.writeCount,
                            kFlashPageSize, s.image + size_t(kFlashPageSize) * s.writeCount);
      if (code != 0) return code;
      if (++s.writeCount == s.imagePages) s.state = 5;
      return 0;
    }
    case 5: {
      int code = FlashWrite(handle, s.infoKey, s.infoAddress, kImageHeaderSize, s.headerBytes);
      if (code != 0) return code;
      s.state = s.restart ? 6 : 8;
      return 0;
    }
    case 6: {
      int code = WriteU32Register(handle, kRestartRegister, kRestartKey);
      if (code != 0) return code;
      s.restartTime = NowSeconds();
      s.state = 7;
      return 0;
    }
    case 7:
      if (NowSeconds() - s.restartTime >= s.waitSeconds) {
        s.state = 8;
      } else {
        SleepMs(100);
      }
      return 0;
    default:
      *done = true;
      return 0;
  }
}

int UpgradeFromFile(int handle, const char* path) {
  UpgradeState& s = CurrentUpgrade();
  s = UpgradeState{};
  ImageFile image;  // its buffer is released on every return
  ReadImageFile(path, &image);
  ImageHeader header;
  ParseImageHeader(&image, &header);
  bool done = false;
  for (;;) {
    int code = UpgradeStep(handle, &image, header.productId, &done);
    if (code != 0) {
      ConsolePrint("\r\nError: %i\r\n", code);
      s.image = s.headerBytes = nullptr;
      return code;
    }
    if (done) break;
  }
  s.image = s.headerBytes = nullptr;
  return 0;
}
