// The virtual bench in-process: the device, its listeners and the modules.
//
//   Bench bench({"device.restart_ms=500", "fault.drop_after=3"});
//   bench.Start();                    // ephemeral ports unless given
//   bench.ExportStationEnvironment(); // TKM_USB_ENDPOINT, TKM_TCP_PORT, TKTEST_COM1
//
// With a VirtualClock, call AttachClock (before Start) so that a restart completes as soon
// as the station's sleeps pass device.restart_ms.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_config.h"
#include "bench/bench_module.h"
#include "bench/modbus_server.h"
#include "bench/virtual_device.h"

class VirtualClock;

class BenchConfig;
// The modules the configuration asks for.
std::vector<std::unique_ptr<BenchModule>> MakeBenchModules(const BenchConfig& config);

// Option keys of the core (device.*, fault.*).
std::vector<std::string> BenchCoreOptionKeys();

class Bench {
 public:
  explicit Bench(std::vector<std::string> options);
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // 0, or an errno value with the reason in Error().
  int Start();
  void Stop();
  const std::string& Error() const { return error_; }

  VirtualDevice& Device() { return device_; }
  ModbusServer& Server() { return server_; }
  const BenchConfig& Config() const { return config_; }
  BenchContext& Context() { return context_; }

  int UsbPort() const { return server_.UsbPort(); }
  int TcpPort() const { return server_.TcpPort(); }
  std::string UsbEndpoint() const;  // "127.0.0.1:<port>"
  std::string MeterPath() const { return context_.meterPath; }
  uint64_t Exchanges(Interface via) const { return device_.Exchanges(via); }

  void ExportStationEnvironment() const;
  // Keys given that neither the core nor a module declared.
  std::vector<std::string> UnknownOptionKeys() const;

  // Restart: drop every connection, refuse new ones for device.restart_ms
  // on the program clock, then every module's OnRestart and listen again.
  void Restart();
  bool Restarting() const { return restarting_.load(); }
  // Completes a restart whose time is up (runs on the bench's own ticker
  // and, once attached, at every sleep of the virtual clock).
  void Tick();
  // Call before Start; the clock's settle hooks must be cleared before the
  // bench is destroyed.
  void AttachClock(VirtualClock* clock);

 private:
  BenchConfig config_;
  VirtualDevice device_;
  ModbusServer server_;
  BenchContext context_;
  std::vector<std::unique_ptr<BenchModule>> modules_;
  std::string error_;
  int restartMs_ = 2000;
  std::mutex restartMutex_;
  std::atomic<bool> restarting_{false};
  int64_t restartUntilMs_ = 0;
  std::atomic<bool> running_{false};
  std::thread ticker_;
};
