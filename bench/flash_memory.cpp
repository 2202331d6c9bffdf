#include "bench/flash_memory.h"

#include <algorithm>
#include <cstring>

const std::vector<FlashRegion>& FlashRegions() {
  // Each region spans whole pages, up to where the next one begins.
  static const std::vector<FlashRegion> regions = {
      {0x000000, 0x1FFFFF, 0xC2A9047F, "web pages"},
      {0x200000, 0x37FFFF, 0x3D7EC148, "main firmware image"},
      {0x380000, 0x380FFF, 0x92F5B7E1, "main firmware info"},
      {0x382000, 0x382FFF, 0x4C8DF205, "recovery image info"},
      {0x3C3000, 0x3C3FFF, 0x7E19C0D3, "serial number and MAC"},
      {0x3C4000, 0x3C4FFF, 0x19E4B2C6, "calibration constants"},
      {0x3C6000, 0x3C6FFF, 0xD04F9A63, "manufacturing info"},
      {0x3C7000, 0x3C7FFF, 0x8B61F7D9, "calibration log"},
      {0x3E0000, 0x3FFFFF, 0x6B8E0A2C, "recovery firmware image"},
  };
  return regions;
}

const FlashRegion* FindFlashRegion(uint32_t address) {
  for (const FlashRegion& r : FlashRegions())
    if (address >= r.first && address <= r.last) return &r;
  return nullptr;
}

FlashMemory::FlashMemory() : bytes_(kBenchFlashSize, 0xFF) {}

void FlashMemory::Read(uint32_t address, uint8_t* out, uint32_t length) const {
  for (uint32_t i = 0; i < length; ++i) {
    uint64_t a = static_cast<uint64_t>(address) + i;
    out[i] = a < kBenchFlashSize ? bytes_[a] : 0xFF;
  }
}

void FlashMemory::Program(uint32_t address, const uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    uint64_t a = static_cast<uint64_t>(address) + i;
    if (a < kBenchFlashSize) bytes_[a] &= data[i];
  }
}

void FlashMemory::Store(uint32_t address, const uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    uint64_t a = static_cast<uint64_t>(address) + i;
    if (a < kBenchFlashSize) bytes_[a] = data[i];
  }
}

void FlashMemory::ErasePage(uint32_t address) {
  uint32_t page = address & ~(kBenchFlashPage - 1);
  if (page < kBenchFlashSize) memset(bytes_.data() + page, 0xFF, kBenchFlashPage);
}
