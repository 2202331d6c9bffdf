// The bench multimeter: plays the station's DC voltmeter on a pseudo-terminal.
// Self-contained (platform/ only) so that the bench wires it to any source.
//
// Options (strings "key=value"; other keys are ignored here):
//   meter.mode=normal|absent|silent|slow|noisy|short_idn|first_off
//     absent     no port at all: SlavePath() names a path that does not exist
//     silent     the port exists, nothing ever answers
//     slow       each READ? answer comes after Trig:Count x meter.sample_ms
//                (default 2000 ms, a 100-cycle integration): long counts run
//                past the station's 20 s limit
//     noisy      every value gets uniform noise of +-meter.noise_volts (1e-3)
//     short_idn  *IDN? answers with 9 characters ("HP34401\r\n")
//     first_off  the first value after each range line is off by
//                meter.first_off_volts (default 0.01 V): a meter that has not
//                settled yet
//   meter.sample_ms   per-value conversion time in any mode (default 0, slow 2000)
//   meter.noise_volts, meter.first_off_volts, meter.seed (noise generator seed)
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class VirtualClock;

class VirtualMeter {
 public:
  VirtualMeter(const std::vector<std::string>& options, std::function<double()> inputVolts);
  ~VirtualMeter();
  VirtualMeter(const VirtualMeter&) = delete;
  VirtualMeter& operator=(const VirtualMeter&) = delete;

  // Opens the pseudo-terminal and starts serving: with a VirtualClock in
  // GetClock() a settle hook answers synchronously before each sleep, else a
  // thread serves. Returns 0, or an errno value when the pty cannot be made.
  int Start();
  // Switches a running meter to answering through the settle hooks of the
  // given clock (for a bench started before its test installed the clock).
  void UseVirtualClock(VirtualClock& clock);
  void Stop();
  // The path the station opens as COM1.
  std::string SlavePath() const;
  // Counters for tests.
  int IdentityQueries() const;
  int ReadingsServed() const;

  struct State;  // shared with the settle hook through a weak_ptr

 private:
  int StartPort();
  void StopThread();
  std::shared_ptr<State> state_;
  std::thread thread_;
};
