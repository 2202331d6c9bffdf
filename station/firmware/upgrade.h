// The upgrade engine: writes an image file into the device's flash, one
// state per call, and restarts the device after a main firmware image.
#pragma once
#include <cstdint>

#include "firmware/image_file.h"

constexpr int kUnknownProduct = 12345;
constexpr int32_t kRestartRegister = 61996;
constexpr uint32_t kRestartKey = 0x544B0020;

struct UpgradeState {
  int state = 0;
  uint32_t eraseCount = 0;
  uint32_t writeCount = 0;
  uint32_t pagesToErase = 0;
  bool restart = false;
  int waitSeconds = 0;
  float bootstrapVersion = 0;
  ImageHeader header;
  const uint8_t* image = nullptr;
  const uint8_t* headerBytes = nullptr;
  uint32_t imagePages = 0;
  uint32_t imageKey = 0;
  uint32_t imageAddress = 0;
  uint32_t infoKey = 0;
  uint32_t infoAddress = 0;
  int64_t restartTime = 0;
};

// Program-wide: one upgrade at a time.
UpgradeState& CurrentUpgrade();
// The names the program keeps for states 0 to 8.
const char* UpgradeStateName(int state);

int UpgradeStep(int handle, ImageFile* image, uint32_t productId, bool* done);
int UpgradeFromFile(int handle, const char* path);
