// The bodies of the image loading steps, and the rules they apply to files.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "device/flash.h"
#include "sequencer/step_context.h"

constexpr uint32_t kWebPagesPages = 512;
constexpr uint32_t kWebPagesRegionSize = kWebPagesPages * kFlashPageSize;  // 2 MB
constexpr float kRequiredRecoveryVersion = 0.6606f;

// The web page file is written as its length rounded down to 4, plus 4
// (1 to 4 zero bytes after its end).
inline uint64_t WebPagesWriteLength(uint64_t fileSize) { return fileSize / 4 * 4 + 4; }
// A file whose write would run past the 2 MB region (into the main firmware)
// is refused before anything is erased.
inline bool WebPagesFit(uint64_t fileSize) { return WebPagesWriteLength(fileSize) <= kWebPagesRegionSize; }

// The version a recovery image's name stands for: the leading digits after
// "Q5recovery_" divided by 10000 (none gives 0).
inline double RecoveryVersionFromName(const char* path) {
  for (int i = 0; i < 11; ++i) {
    if (path[i] == '\0') return 0.0;
  }
  return std::atoi(path + 11) / 10000.0;
}

// Not-a-number (erased flash) fails, like a version below the required one.
inline bool RecoveryVersionPasses(float version) { return version >= kRequiredRecoveryVersion; }

int32_t RunLoadRecoveryImage(StepContext* context);
int32_t RunLoadWebPages(StepContext* context);
int32_t RunRecoveryVersion(StepContext* context);
