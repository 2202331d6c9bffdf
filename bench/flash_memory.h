// The device's 4 MB internal flash: erased bytes read 0xFF, a write only
// clears bits, an erase sets a 4096-byte page back to 0xFF. Each region is
// opened by its own 32-bit key.
#pragma once
#include <cstdint>
#include <vector>

constexpr uint32_t kBenchFlashSize = 4u * 1024 * 1024;
constexpr uint32_t kBenchFlashPage = 4096;

// Device error codes of the flash registers.
constexpr int kFlashErrWrongKey = 2351;   // the key register does not open this region
constexpr int kFlashErrAddress = 2352;    // address outside the flash or its keyed regions
constexpr int kFlashErrRequest = 2353;    // malformed write request (no address, over 32 bytes)
constexpr int kFlashErrBusy = 2358;       // flash busy: try again

struct FlashRegion {
  uint32_t first;
  uint32_t last;  // inclusive
  uint32_t key;
  const char* name;
};

// The keyed regions, in address order.
const std::vector<FlashRegion>& FlashRegions();
// The region holding address, or null.
const FlashRegion* FindFlashRegion(uint32_t address);

class FlashMemory {
 public:
  FlashMemory();
  // Byte-level access for tests and modules; out-of-range parts are ignored
  // (reads give 0xFF).
  void Read(uint32_t address, uint8_t* out, uint32_t length) const;
  // Programs bytes: each stored byte becomes old AND new.
  void Program(uint32_t address, const uint8_t* data, uint32_t length);
  // Stores bytes as they are (test set-up, module start-up state).
  void Store(uint32_t address, const uint8_t* data, uint32_t length);
  void ErasePage(uint32_t address);
  const uint8_t* Bytes() const { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;
};
