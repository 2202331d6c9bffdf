// A part of the virtual bench (identity, jig, analog inputs, meter ...).
// Modules own registers through the device's hooks; everything physical
// that several modules share goes through the BenchContext.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_config.h"
#include "bench/virtual_device.h"

class ModbusServer;
class VirtualClock;

struct BenchContext {
  VirtualDevice& device;
  const BenchConfig& config;
  ModbusServer& server;  // to open or close the Ethernet / WiFi listeners
  // The voltage the jig puts on the multimeter's input (the jig/analog
  // module sets it, the virtual meter reads it).
  std::function<double()> meterInputVolts;
  // The meter's pseudo-terminal slave path, set by the meter module.
  std::string meterPath;
  // The virtual clock the bench runs under in tests (null on the real
  // clock); a module that must finish work before a sleeper looks adds a
  // settle hook to it.
  VirtualClock* virtualClock = nullptr;
};

class BenchModule {
 public:
  virtual ~BenchModule() = default;
  // Called once when the bench starts, before the listeners accept.
  virtual void Install(BenchContext& context) = 0;
  // Called when the device comes back from a restart (under the device's
  // mutex): reload identity, calibration ... from flash.
  virtual void OnRestart() {}
  // Called when the bench stops, before the module is destroyed.
  virtual void Stop() {}
  // Option keys the module reads (the program reports other keys).
  virtual std::vector<std::string> OptionKeys() const { return {}; }
};
