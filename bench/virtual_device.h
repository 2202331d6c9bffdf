// The device under test as the bench models it: 65536 16-bit registers
// (32-bit values and floats as big-endian register pairs), the internal
// flash and its registers, the hooks through which modules own registers,
// fault injection on registers and flash, and exchange counters.
//
// One recursive mutex guards the device; hooks run under it (they may call
// the Get/Set helpers) and must not block. Time comes from GetClock().
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "bench/bench_config.h"
#include "bench/flash_memory.h"

enum class Interface { kUsb = 0, kEthernet = 1, kWifi = 2 };
constexpr int kInterfaceCount = 3;
const char* InterfaceName(Interface via);

// Computes the bytes of registers [address, address + count) into out
// (2 bytes per register, high byte first); returns 0 or a device error code.
using ReadHook = std::function<int(int address, int count, uint8_t* out, Interface via)>;
// Called after the bytes are stored in the register store; 0 or a code.
using WriteHook = std::function<int(int address, int count, const uint8_t* in, Interface via)>;

// Flash register numbers.
constexpr int kRegFlashKey = 61800;
constexpr int kRegFlashReadPointer = 61810;
constexpr int kRegFlashReadWindow = 61812;  // 16 registers
constexpr int kRegFlashErase = 61820;
constexpr int kRegFlashWrite = 61830;       // 2 + up to 16 registers

struct FlashWriteRecord {
  uint32_t address;
  uint32_t length;
};

class VirtualDevice {
 public:
  explicit VirtualDevice(const BenchConfig& config);

  std::recursive_mutex& Mutex() { return mutex_; }

  uint16_t GetU16(int address);
  void SetU16(int address, uint16_t value);
  uint32_t GetU32(int address);
  void SetU32(int address, uint32_t value);
  float GetFloat(int address);
  void SetFloat(int address, float value);

  // Hooks over registers first..last (inclusive); each is called with the
  // part of an op that overlaps its range, in the order installed.
  void AddReadHook(int first, int last, ReadHook fn);
  void AddWriteHook(int first, int last, WriteHook fn);

  // Lock Mutex() while touching the flash from outside a hook.
  FlashMemory& Flash() { return flash_; }

  // Serves the ops of one function-76 request (the bytes after the function
  // code), strictly in order. Returns 0 with the reply data in reply[] and
  // its size in *replySize; a device error code (> 0) for an error reply;
  // or -n for standard Modbus exception n.
  int ServeFeedback(const uint8_t* ops, int size, Interface via, uint8_t* reply, int capacity,
                    int* replySize);

  // Fault injection at run time (also from the options fault.error and
  // fault.flash_busy_at). times < 0: for ever.
  void InjectError(int address, int code, int times = -1);
  void ClearErrors();
  // The n-th flash block read from now on (1 = the next) answers 2358.
  void InjectFlashBusy(int n);

  // Restart: the bench installs what it means (drop connections, come back
  // after device.restart_ms). Safe to call from a hook.
  void SetRestartHandler(std::function<void()> handler);
  void Restart();

  // Counters.
  void CountExchange(Interface via) { exchanges_[static_cast<int>(via)]++; }
  uint64_t Exchanges(Interface via) const { return exchanges_[static_cast<int>(via)].load(); }
  uint64_t TotalExchanges() const;
  uint64_t FlashBlockReads() const { return flashBlockReads_.load(); }
  uint64_t FlashErases() const { return flashErases_.load(); }
  uint64_t FlashWrites() const { return flashWrites_.load(); }
  std::vector<FlashWriteRecord> FlashWriteLog();
  void ResetCounters();

 private:
  struct Hook {
    int first;
    int last;
    ReadHook read;
    WriteHook write;
  };
  struct InjectedError {
    int address;
    int code;
    int times;
  };
  int CheckInjected(int address, int count);
  int ReadRegisters(int address, int count, uint8_t* out, Interface via);
  int WriteRegisters(int address, int count, const uint8_t* in, Interface via);
  void InstallFlashRegisters();

  std::recursive_mutex mutex_;
  std::vector<uint8_t> registers_;  // 2 bytes per register, high byte first
  std::vector<Hook> readHooks_;
  std::vector<Hook> writeHooks_;
  std::vector<InjectedError> errors_;
  std::vector<uint64_t> busyAtRead_;  // absolute block-read numbers
  FlashMemory flash_;
  std::function<void()> restartHandler_;
  std::atomic<uint64_t> exchanges_[kInterfaceCount] = {};
  std::atomic<uint64_t> flashBlockReads_{0};
  std::atomic<uint64_t> flashErases_{0};
  std::atomic<uint64_t> flashWrites_{0};
  uint64_t blockReadNumber_ = 0;  // every block read since start
  std::vector<FlashWriteRecord> writeLog_;
};
