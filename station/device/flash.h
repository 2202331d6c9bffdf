// The device's internal flash: 4 MB, 4096-byte pages, erased bytes read 0xFF.
#pragma once
#include <cstdint>

constexpr uint32_t kFlashPageSize = 4096;

// Regions and their keys.
constexpr uint32_t kFlashWebPages = 0x000000, kKeyWebPages = 0xC2A9047F;
constexpr uint32_t kFlashMainImage = 0x200000, kKeyMainImage = 0x3D7EC148;
constexpr uint32_t kFlashMainInfo = 0x380000, kKeyMainInfo = 0x92F5B7E1;
constexpr uint32_t kFlashRecoveryInfo = 0x382000, kKeyRecoveryInfo = 0x4C8DF205;
constexpr uint32_t kFlashSerialRecord = 0x3C3000, kKeyIdentity = 0x7E19C0D3;
constexpr uint32_t kFlashMacRecord = 0x3C3014;
constexpr uint32_t kFlashCalibration = 0x3C4000, kKeyCalibration = 0x19E4B2C6;
constexpr uint32_t kFlashManufacturing = 0x3C6000, kKeyManufacturing = 0xD04F9A63;
constexpr uint32_t kFlashCalibrationLog = 0x3C7000, kKeyCalibrationLog = 0x8B61F7D9;
constexpr uint32_t kFlashRecoveryImage = 0x3E0000, kKeyRecoveryImage = 0x6B8E0A2C;

constexpr int kFlashBadRange = 1;  // odd length, or a range across a page

// FlashRead starts over on flash busy (2358) at most this many times, then
// returns 2358.
constexpr int kFlashBusyCode = 2358;
constexpr int kFlashReadRestarts = 20;

// All return 0 or the library's code (or kFlashBadRange).
int FlashRead(int handle, uint32_t key, uint32_t address, uint32_t length, uint8_t* destination);
int FlashWrite(int handle, uint32_t key, uint32_t address, uint32_t length, const uint8_t* source);
int FlashErasePage(int handle, uint32_t key, uint32_t pageAddress);
int FlashWriteRange(int handle, uint32_t key, uint32_t address, uint32_t length, const uint8_t* source);
