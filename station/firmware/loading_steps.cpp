// Image discovery and loading steps, run against the device.
#include "firmware/loading_steps.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "device/feedback.h"
#include "firmware/file_search.h"
#include "firmware/image_file.h"
#include "firmware/upgrade.h"
#include "platform/console.h"

int32_t RunLoadRecoveryImage(StepContext* context) {
  char path[kFoundPathSize];
  FindFileWithPrefix("Q5recovery_", path);
  int code = UpgradeFromFile(context->handle, path);
  if (code != 0) {
    context->EL = kLevelFatal;
    FormatText(context->Msg, kMsgSize, "Comm Error: (%i)", code);
    return 1;
  }
  FormatText(context->Msg, kMsgSize, "Recovery Image %0.04f Loaded", RecoveryVersionFromName(path));
  context->EL = kLevelPassed;
  return 0;
}

int32_t RunLoadWebPages(StepContext* context) {
  context->EL = kLevelPassed;
  char path[kFoundPathSize];
  FindFileWithPrefix("PackedWebPages", path);
  FILE* file = path[0] != '\0' ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    CopyText(context->Msg, 200, "No webpage file found.");
    return 1;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    context->EL = kLevelFatal;
    CopyText(context->Msg, 200, "Cannot read webpage file.");
    return 1;
  }
  if (!WebPagesFit(uint64_t(size))) {
    std::fclose(file);
    context->EL = kLevelFatal;
    FormatText(context->Msg, kMsgSize, "Webpage file too large: %li bytes", size);
    return 1;
  }
  std::vector<uint8_t> buffer(size_t(size) + 16, 0);
  size_t got = std::fread(buffer.data(), 1, size_t(size), file);
  std::fclose(file);
  if (got != size_t(size)) {
    context->EL = kLevelFatal;
    CopyText(context->Msg, 200, "Cannot read webpage file.");
    return 1;
  }
  // An erase failure ends the step: writing over a region that was not
  // erased would report success for pages that hold the wrong bytes.
  for (uint32_t page = 0; page < kWebPagesPages; ++page) {
    int code = FlashErasePage(context->handle, kKeyWebPages, kFlashWebPages + page * kFlashPageSize);
    if (code != 0) {
      context->EL = kLevelFatal;
      FormatText(context->Msg, kMsgSize, "Comm Error: (%i)", code);
      return 1;
    }
  }
  int code = FlashWrite(context->handle, kKeyWebPages, kFlashWebPages,
                        uint32_t(WebPagesWriteLength(uint64_t(size))), buffer.data());
  if (code != 0) {
    context->EL = kLevelFatal;
    FormatText(context->Msg, kMsgSize, "Comm Error: (%i)", code);
    return 1;
  }
  FormatText(context->Msg, kMsgSize, "Loaded %li bytes", size);
  context->EL = kLevelPassed;
  return 0;
}

int32_t RunRecoveryVersion(StepContext* context) {
  // A failed read leaves the block erased (all ones): not a number, so the
  // check fails.
  uint8_t block[kImageHeaderSize];
  std::memset(block, 0xFF, sizeof block);
  FlashRead(context->handle, kKeyRecoveryInfo, kFlashRecoveryInfo, sizeof block, block);
  float version = ReadBigFloat(block + 8);
  if (!RecoveryVersionPasses(version)) {
    context->EL = kLevelFatal;
    FormatText(context->Msg, kMsgSize, "%.04f, %.04f Required", double(version),
               double(kRequiredRecoveryVersion));
  } else {
    context->EL = kLevelPassed;
    FormatText(context->Msg, kMsgSize, "%.04f", double(version));
  }
  return 0;
}
