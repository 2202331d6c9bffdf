#include "bench/virtual_device.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

const char* InterfaceName(Interface via) {
  switch (via) {
    case Interface::kUsb:
      return "usb";
    case Interface::kEthernet:
      return "ethernet";
    case Interface::kWifi:
      return "wifi";
  }
  return "?";
}

namespace {
constexpr int kRegisterCount = 65536;
constexpr size_t kWriteLogCap = 200000;
constexpr int kModbusIllegalAddress = 2;
constexpr int kModbusIllegalValue = 3;

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}
}  // namespace

VirtualDevice::VirtualDevice(const BenchConfig& config) : registers_(2 * kRegisterCount, 0) {
  // fault.error=REG:CODE[:TIMES][,REG:CODE[:TIMES]...]
  for (const std::string& item : SplitList(config.Text("fault.error"))) {
    unsigned long reg = 0, code = 0;
    long times = -1;
    char* end = nullptr;
    reg = strtoul(item.c_str(), &end, 0);
    if (*end != ':') continue;
    code = strtoul(end + 1, &end, 0);
    if (*end == ':') times = strtol(end + 1, &end, 0);
    if (reg < kRegisterCount && code > 0 && code <= 0xFFFF) InjectError(static_cast<int>(reg), static_cast<int>(code), static_cast<int>(times));
  }
  // fault.flash_busy_at=N[,M...]: the N-th flash block read answers 2358.
  for (const std::string& item : SplitList(config.Text("fault.flash_busy_at"))) {
    long n = strtol(item.c_str(), nullptr, 0);
    if (n > 0) busyAtRead_.push_back(static_cast<uint64_t>(n));
  }
  InstallFlashRegisters();
}

uint16_t VirtualDevice::GetU16(int address) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  size_t i = 2 * static_cast<size_t>(address & 0xFFFF);
  return static_cast<uint16_t>((registers_[i] << 8) | registers_[i + 1]);
}

void VirtualDevice::SetU16(int address, uint16_t value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  size_t i = 2 * static_cast<size_t>(address & 0xFFFF);
  registers_[i] = static_cast<uint8_t>(value >> 8);
  registers_[i + 1] = static_cast<uint8_t>(value);
}

uint32_t VirtualDevice::GetU32(int address) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return (static_cast<uint32_t>(GetU16(address)) << 16) | GetU16(address + 1);
}

void VirtualDevice::SetU32(int address, uint32_t value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  SetU16(address, static_cast<uint16_t>(value >> 16));
  SetU16(address + 1, static_cast<uint16_t>(value));
}

float VirtualDevice::GetFloat(int address) {
  uint32_t bits = GetU32(address);
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

void VirtualDevice::SetFloat(int address, float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  SetU32(address, bits);
}

void VirtualDevice::AddReadHook(int first, int last, ReadHook fn) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  readHooks_.push_back({first, last, std::move(fn), nullptr});
}

void VirtualDevice::AddWriteHook(int first, int last, WriteHook fn) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  writeHooks_.push_back({first, last, nullptr, std::move(fn)});
}

void VirtualDevice::InjectError(int address, int code, int times) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  errors_.push_back({address, code, times});
}

void VirtualDevice::ClearErrors() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  errors_.clear();
  busyAtRead_.clear();
}

void VirtualDevice::InjectFlashBusy(int n) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (n > 0) busyAtRead_.push_back(blockReadNumber_ + static_cast<uint64_t>(n));
}

void VirtualDevice::SetRestartHandler(std::function<void()> handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  restartHandler_ = std::move(handler);
}

void VirtualDevice::Restart() {
  std::function<void()> handler;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handler = restartHandler_;
  }
  if (handler) handler();
}

uint64_t VirtualDevice::TotalExchanges() const {
  uint64_t total = 0;
  for (auto& count : exchanges_) total += count.load();
  return total;
}

std::vector<FlashWriteRecord> VirtualDevice::FlashWriteLog() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return writeLog_;
}

void VirtualDevice::ResetCounters() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& count : exchanges_) count = 0;
  flashBlockReads_ = 0;
  flashErases_ = 0;
  flashWrites_ = 0;
  writeLog_.clear();
}

int VirtualDevice::CheckInjected(int address, int count) {
  for (auto it = errors_.begin(); it != errors_.end(); ++it) {
    if (it->address >= address && it->address < address + count) {
      int code = it->code;
      if (it->times > 0 && --it->times == 0) errors_.erase(it);
      return code;
    }
  }
  return 0;
}

int VirtualDevice::ReadRegisters(int address, int count, uint8_t* out, Interface via) {
  memcpy(out, registers_.data() + 2 * address, 2 * static_cast<size_t>(count));
  for (Hook& hook : readHooks_) {
    int first = std::max(address, hook.first);
    int last = std::min(address + count - 1, hook.last);
    if (first > last) continue;
    int code = hook.read(first, last - first + 1, out + 2 * (first - address), via);
    if (code != 0) return code;
  }
  return 0;
}

int VirtualDevice::WriteRegisters(int address, int count, const uint8_t* in, Interface via) {
  memcpy(registers_.data() + 2 * address, in, 2 * static_cast<size_t>(count));
  for (Hook& hook : writeHooks_) {
    int first = std::max(address, hook.first);
    int last = std::min(address + count - 1, hook.last);
    if (first > last) continue;
    int code = hook.write(first, last - first + 1, in + 2 * (first - address), via);
    if (code != 0) return code;
  }
  return 0;
}

int VirtualDevice::ServeFeedback(const uint8_t* ops, int size, Interface via, uint8_t* reply, int capacity,
                                 int* replySize) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int offset = 0;
  int out = 0;
  while (offset < size) {
    if (offset + 4 > size) return -kModbusIllegalValue;
    bool write = ops[offset] == 1;
    int address = (ops[offset + 1] << 8) | ops[offset + 2];
    int count = ops[offset + 3];
    offset += 4;
    if (address + count > kRegisterCount) return -kModbusIllegalAddress;
    if (write && offset + 2 * count > size) return -kModbusIllegalValue;
    if (!write && out + 2 * count > capacity) return -kModbusIllegalValue;
    if (count > 0) {
      int code = CheckInjected(address, count);
      if (code != 0) return code;
    }
    if (write) {
      if (count > 0) {
        int code = WriteRegisters(address, count, ops + offset, via);
        if (code != 0) return code;
      }
      offset += 2 * count;
    } else {
      if (count > 0) {
        int code = ReadRegisters(address, count, reply + out, via);
        if (code != 0) return code;
      }
      out += 2 * count;
    }
  }
  *replySize = out;
  return 0;
}

void VirtualDevice::InstallFlashRegisters() {
  // Every access checks the key register against the region of the flash
  // address it touches.
  auto keyCheck = [this](uint32_t first, uint32_t length) -> int {
    const FlashRegion* region = FindFlashRegion(first);
    if (region == nullptr) return kFlashErrAddress;
    if (length > 0 && static_cast<uint64_t>(first) + length - 1 > region->last) return kFlashErrAddress;
    if (GetU32(kRegFlashKey) != region->key) return kFlashErrWrongKey;
    return 0;
  };
  // Read window: 32 bytes from the read pointer.
  AddReadHook(kRegFlashReadWindow, kRegFlashReadWindow + 15,
              [this, keyCheck](int address, int count, uint8_t* out, Interface) -> int {
                uint32_t pointer = GetU32(kRegFlashReadPointer);
                uint32_t start = pointer + 2 * static_cast<uint32_t>(address - kRegFlashReadWindow);
                uint32_t length = 2 * static_cast<uint32_t>(count);
                if (address == kRegFlashReadWindow) {
                  uint64_t number = ++blockReadNumber_;
                  for (auto it = busyAtRead_.begin(); it != busyAtRead_.end(); ++it) {
                    if (*it == number) {
                      busyAtRead_.erase(it);
                      return kFlashErrBusy;
                    }
                  }
                }
                int code = keyCheck(start, length);
                if (code != 0) return code;
                if (address == kRegFlashReadWindow) flashBlockReads_++;
                flash_.Read(start, out, length);
                return 0;
              });
  // Erase: writing a page address (both registers) erases that page.
  AddWriteHook(kRegFlashErase, kRegFlashErase + 1,
               [this, keyCheck](int address, int count, const uint8_t*, Interface) -> int {
                 if (address != kRegFlashErase || count != 2) return kFlashErrRequest;
                 uint32_t page = GetU32(kRegFlashErase) & ~(kBenchFlashPage - 1);
                 int code = keyCheck(page, kBenchFlashPage);
                 if (code != 0) return code;
                 flash_.ErasePage(page);
                 flashErases_++;
                 return 0;
               });
  // Write: 4 address bytes (most significant first), then up to 32 data
  // bytes; the bytes can only clear bits.
  AddWriteHook(kRegFlashWrite, kRegFlashWrite + 17,
               [this, keyCheck](int address, int count, const uint8_t* in, Interface) -> int {
                 if (address != kRegFlashWrite || count < 2) return kFlashErrRequest;
                 uint32_t target = (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
                                   (static_cast<uint32_t>(in[2]) << 8) | in[3];
                 uint32_t length = 2 * static_cast<uint32_t>(count - 2);
                 int code = keyCheck(target, length);
                 if (code != 0) return code;
                 flash_.Program(target, in + 4, length);
                 flashWrites_++;
                 if (writeLog_.size() < kWriteLogCap) writeLog_.push_back({target, length});
                 return 0;
               });
}
