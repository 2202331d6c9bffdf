// Identity and settings registers of the virtual device.
//
// Options (identity.*), defaults giving a good, programmed Pro device:
//   pro=1                 status word bit 0 (Pro variant)
//   sd_card=1             status word bit 3 (SD card mounted)
//   status=N              the whole status word instead of pro/sd_card
//   hw_id=7               hardware identifier (float at 60000)
//   hardware_version=1.3  firmware_version=1.0216  bootstrap_version=0.95
//   flash_chip=66
//   unprogrammed=0        1: identity records erased (the device then runs
//                         with serial 470010000 and MAC 0A7CE3002000)
//   serial=N              the serial the device runs with (default: from
//                         the serial record)
//   serial_record=N|erased  the serial record in flash (default: serial,
//                         else 470010002; erased when unprogrammed)
//   mac=HEX               the MAC the device runs with (default: from the
//                         MAC record); 12 hex digits, "." ":" "-" allowed
//   mac_record=HEX|erased the MAC record (default: mac, else 0A7CE3002002;
//                         erased when unprogrammed)
//   name=TEXT             device name (default My_Q5_ + last four digits of
//                         the running serial); an empty value: all zeros
//   name_erased=0         1: the name reads all 0xFF (never written)
//   startup_factory=1     49000 reads 1 (factory start-up settings)
//   clock_offset=0        device clock minus program clock, in seconds
//
// At start the records are put into flash and the running serial number and
// MAC are taken from them, as at every restart; a record written later
// shows only after the next restart.
#include "bench/identity_model.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

using namespace identity_regs;

namespace {

constexpr uint32_t kErasedSerial = 0xFFFFFFFF;
constexpr uint32_t kDefaultRecordSerial = 470010002;
constexpr uint64_t kDefaultRecordMac = 0x0A7CE3002002ull;

// "0A7CE3002000", "0A.7C.E3.00.20.00", "0x0a7ce3002000"; false if not 1..12
// hex digits.
bool ParseMac(const std::string& text, uint64_t* mac) {
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  uint64_t value = 0;
  int digits = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' || c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    value = value * 16 + static_cast<uint64_t>(digit);
    if (++digits > 12) return false;
  }
  if (digits == 0) return false;
  *mac = value;
  return true;
}

void StoreBytes(VirtualDevice& device, int address, const uint8_t* bytes, int registerCount) {
  for (int i = 0; i < registerCount; ++i)
    device.SetU16(address + i, static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]));
}

void WriteSerialRecord(FlashMemory& flash, bool erased, uint32_t serial) {
  uint8_t record[12];
  std::memset(record, 0xFF, sizeof record);
  if (!erased) {
    for (int i = 0; i < 4; ++i) {
      record[i] = static_cast<uint8_t>(kBenchSerialRecordMarker >> (8 * i));
      record[4 + i] = 0;
      record[8 + i] = static_cast<uint8_t>(serial >> (8 * i));
    }
  }
  flash.Store(kBenchSerialRecordAddress, record, sizeof record);
}

void WriteMacRecord(FlashMemory& flash, bool erased, uint64_t mac) {
  uint8_t record[8];
  std::memset(record, 0xFF, sizeof record);
  if (!erased) {
    record[0] = 0;
    record[1] = 0;
    for (int i = 0; i < 6; ++i) record[2 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
  }
  flash.Store(kBenchMacRecordAddress, record, sizeof record);
}

}  // namespace

std::vector<std::string> IdentityModel::OptionKeys() const {
  return {"identity.pro",           "identity.sd_card",         "identity.status",
          "identity.hw_id",         "identity.hardware_version", "identity.firmware_version",
          "identity.bootstrap_version", "identity.flash_chip",  "identity.unprogrammed",
          "identity.serial",        "identity.serial_record",   "identity.mac",
          "identity.mac_record",    "identity.name",            "identity.name_erased",
          "identity.startup_factory", "identity.clock_offset"};
}

void IdentityModel::Install(BenchContext& context) {
  device_ = &context.device;
  const BenchConfig& config = context.config;
  VirtualDevice& device = context.device;
  std::lock_guard<std::recursive_mutex> lock(device.Mutex());

  device.SetFloat(kHardwareId, static_cast<float>(config.Number("identity.hw_id", 7.0)));
  device.SetFloat(kHardwareVersion, static_cast<float>(config.Number("identity.hardware_version", 1.3)));
  device.SetFloat(kFirmwareVersion, static_cast<float>(config.Number("identity.firmware_version", 1.0216)));
  device.SetFloat(kBootstrapVersion, static_cast<float>(config.Number("identity.bootstrap_version", 0.95)));
  device.SetU32(kFlashChip, static_cast<uint32_t>(config.Number("identity.flash_chip", 66)));

  uint32_t status = 0;
  if (config.Flag("identity.pro", true)) status |= 0x1;
  if (config.Flag("identity.sd_card", true)) status |= 0x8;
  if (config.Has("identity.status")) status = static_cast<uint32_t>(config.Number("identity.status", status));
  device.SetU32(kStatusWord, status);

  // Identity records in flash, then the running values from them.
  bool unprogrammed = config.Flag("identity.unprogrammed", false);
  bool serialErased = unprogrammed;
  uint32_t recordSerial =
      static_cast<uint32_t>(config.Number("identity.serial", kDefaultRecordSerial));
  if (config.Has("identity.serial_record")) {
    std::string text = config.Text("identity.serial_record");
    serialErased = text == "erased";
    if (!serialErased) recordSerial = static_cast<uint32_t>(config.Number("identity.serial_record", 0));
  }
  WriteSerialRecord(device.Flash(), serialErased, recordSerial);

  bool macErased = unprogrammed;
  uint64_t recordMac = kDefaultRecordMac;
  if (config.Has("identity.mac")) ParseMac(config.Text("identity.mac"), &recordMac);
  if (config.Has("identity.mac_record")) {
    std::string text = config.Text("identity.mac_record");
    macErased = text == "erased";
    if (!macErased) ParseMac(text, &recordMac);
  }
  WriteMacRecord(device.Flash(), macErased, recordMac);

  LoadIdentityFromFlash();
  // A device whose running values differ from its records (a record written
  // since the device started).
  if (config.Has("identity.serial"))
    device.SetU32(kRunningSerial, static_cast<uint32_t>(config.Number("identity.serial", 0)));
  uint64_t runningMac = 0;
  if (config.Has("identity.mac") && ParseMac(config.Text("identity.mac"), &runningMac)) {
    uint8_t bytes[8] = {0, 0};
    for (int i = 0; i < 6; ++i) bytes[2 + i] = static_cast<uint8_t>(runningMac >> (8 * (5 - i)));
    StoreBytes(device, kRunningMac, bytes, 4);
  }

  // Device name, 40 bytes, zero after the text.
  uint8_t name[40];
  std::memset(name, 0, sizeof name);
  if (config.Flag("identity.name_erased", false)) {
    std::memset(name, 0xFF, sizeof name);
  } else {
    std::string text;
    if (config.Has("identity.name")) {
      text = config.Text("identity.name");
    } else {
      char fallback[16];
      std::snprintf(fallback, sizeof fallback, "My_Q5_%04u", device.GetU32(kRunningSerial) % 10000u);
      text = fallback;
    }
    std::memcpy(name, text.data(), text.size() < sizeof name ? text.size() : sizeof name);
  }
  StoreBytes(device, kDeviceName, name, 20);

  // Start-up settings: the indicator turns to 1 when the key is written.
  device.SetU32(kStartupIndicator, config.Flag("identity.startup_factory", true) ? 1 : 0);
  device.AddWriteHook(kStartupKey, kStartupKey + 1, [this](int, int, const uint8_t*, Interface) {
    if (device_->GetU32(kStartupKey) == kFactorySettingsKey) device_->SetU32(kStartupIndicator, 1);
    return 0;
  });

  // Real-time clock on the program clock.
  clockOffsetMs_ = static_cast<int64_t>(std::llround(config.Number("identity.clock_offset", 0) * 1000.0));
  device.AddReadHook(kClock, kClock + 1, [this](int address, int count, uint8_t* out, Interface) {
    uint32_t seconds = ClockSeconds();
    uint8_t bytes[4] = {static_cast<uint8_t>(seconds >> 24), static_cast<uint8_t>(seconds >> 16),
                        static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)};
    for (int i = 0; i < count; ++i) {
      int index = address + i - kClock;
      if (index < 0 || index > 1) continue;
      out[2 * i] = bytes[2 * index];
      out[2 * i + 1] = bytes[2 * index + 1];
    }
    return 0;
  });
  device.AddWriteHook(kClockSet, kClockSet + 1, [this](int, int, const uint8_t*, Interface) {
    int64_t set = static_cast<int64_t>(device_->GetU32(kClockSet));
    clockOffsetMs_ = set * 1000 - GetClock().NowMs();
    return 0;
  });
}

void IdentityModel::OnRestart() {
  if (device_ == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(device_->Mutex());
  LoadIdentityFromFlash();
}

uint32_t IdentityModel::ClockSeconds() const {
  int64_t ms = GetClock().NowMs() + clockOffsetMs_;
  if (ms < 0) return 0;
  return static_cast<uint32_t>(ms / 1000);
}

void IdentityModel::LoadIdentityFromFlash() {
  VirtualDevice& device = *device_;
  uint8_t serialRecord[12];
  device.Flash().Read(kBenchSerialRecordAddress, serialRecord, sizeof serialRecord);
  uint32_t marker = 0, serial = 0;
  for (int i = 3; i >= 0; --i) {
    marker = marker << 8 | serialRecord[i];
    serial = serial << 8 | serialRecord[8 + i];
  }
  // A record without its marker, or with an erased value, leaves the
  // device on its default serial number.
  if (marker != kBenchSerialRecordMarker || serial == kErasedSerial) serial = kBenchDefaultSerial;
  device.SetU32(kRunningSerial, serial);

  uint8_t macRecord[8];
  device.Flash().Read(kBenchMacRecordAddress, macRecord, sizeof macRecord);
  uint8_t running[8] = {0, 0};
  if (macRecord[0] == 0 && macRecord[1] == 0) {
    std::memcpy(running + 2, macRecord + 2, 6);
  } else {
    for (int i = 0; i < 6; ++i) running[2 + i] = static_cast<uint8_t>(kBenchDefaultMac >> (8 * (5 - i)));
  }
  StoreBytes(device, kRunningMac, running, 4);
}
