// The device's identity and settings registers: hardware identifier, variant
// and status word, versions, flash-chip code, the running serial number and
// MAC address (taken from the identity records in flash at start and at each
// restart), start-up settings, device name and real-time clock.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_module.h"

// Identity record layouts in the internal flash.
constexpr uint32_t kBenchSerialRecordAddress = 0x3C3000;
constexpr uint32_t kBenchMacRecordAddress = 0x3C3014;
constexpr uint32_t kBenchSerialRecordMarker = 0x7DE1BE08;
constexpr uint32_t kBenchDefaultSerial = 470010000;
constexpr uint64_t kBenchDefaultMac = 0x0A7CE3002000ull;

// Register map of this module.
namespace identity_regs {
constexpr int kHardwareId = 60000;       // float, 7.0 for a Q5
constexpr int kHardwareVersion = 60002;  // float
constexpr int kFirmwareVersion = 60004;  // float
constexpr int kBootstrapVersion = 60006; // float
constexpr int kStatusWord = 60010;       // u32: bit 0 Pro, bit 3 SD card mounted
constexpr int kRunningMac = 60020;       // 4 registers: 00 00 + six MAC bytes
constexpr int kRunningSerial = 60028;    // u32
constexpr int kFlashChip = 60040;        // u32
constexpr int kStartupIndicator = 49000; // u32, 1 = factory settings
constexpr int kStartupKey = 49004;       // u32, factory-settings key
constexpr uint32_t kFactorySettingsKey = 0x5B17A90F;
constexpr int kDeviceName = 60500;       // 20 registers, 40 bytes
constexpr int kClock = 61500;            // u32, seconds since 1970 (read)
constexpr int kClockSet = 61504;         // u32, seconds since 1970 (write)
// Known-state registers the station writes after opening; plain stored
// registers (48003 belongs to the network module).
constexpr int kKnownState4990 = 4990;
constexpr int kKnownState48004 = 48004;
constexpr int kKnownState48005 = 48005;
constexpr int kKnownState43990 = 43990;
}  // namespace identity_regs

class IdentityModel : public BenchModule {
 public:
  void Install(BenchContext& context) override;
  void OnRestart() override;
  std::vector<std::string> OptionKeys() const override;

 private:
  // Running serial number and MAC from the identity records.
  void LoadIdentityFromFlash();
  uint32_t ClockSeconds() const;

  VirtualDevice* device_ = nullptr;
  int64_t clockOffsetMs_ = 0;  // device clock minus program clock (under the device mutex)
};
