// Calibration on the virtual bench: the device's analog inputs as the
// calibration and accuracy steps see them, the device's calibration block,
// the soft reset and the multimeter wired to the jig's test path.
//
// The physics is the hardware model's AnalogModel (seeded true
// characteristics near nominal). This module serves the registers the
// calibration path uses: volts (2n) and raw conversions (50000 + 2n) of the
// sixteen inputs, their settings (40000 + 2n, 41000 + n, 41500 + n,
// 42000 + 2n), the jig's test output (30014), line 5's path switch (2005,
// observed only), the DAC codes (51000, 51002) and volts (1000, 1002), and
// the soft-reset request (61994). The device takes its calibration block
// (0x3C4000, 512 bytes, big-endian singles) from flash when the bench starts
// and at every restart; a blank block (0xFF first) means the nominal
// constants. The volts registers convert raw readings with those constants,
// so a correct calibration makes the device agree with the multimeter.
//
// The multimeter (VirtualMeter) measures TestPathVolts, the voltage the jig
// applies to AIN8-AIN9, on its own range, with a small noise of its own.
//
// Options (cal.*, analog.seed, analog.spread):
//   analog.seed=N          which device (its true characteristics), default 1
//   analog.spread=F        relative spread of the true slopes (default 0.003)
//   cal.meter_noise_volts  the meter's own uniform noise, +-volts (2e-6)
//   cal.drift=F            once the device has loaded a block written during
//                          this run, its converters' true slopes are F
//                          (relative) away from what was calibrated
//   cal.glitch_range=R, cal.glitch_reads=N, cal.glitch_volts=V
//                          the first N volts reads of AIN8 on range code R
//                          are off by V (default 0.01 V)
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/analog_model.h"
#include "bench/bench_module.h"

class VirtualMeter;

constexpr uint32_t kBenchCalBlockAddress = 0x3C4000;
constexpr uint32_t kBenchCalBlockLength = 512;
constexpr int kRegSoftReset = 61994;
constexpr int kRegTestOutput = 30014;

class CalibrationModel : public BenchModule {
 public:
  CalibrationModel();
  ~CalibrationModel() override;

  void Install(BenchContext& context) override;
  void OnRestart() override;
  void Stop() override;
  std::vector<std::string> OptionKeys() const override;

  // The device's physics (for tests: true characteristics, loaded constants).
  // Lock the device's mutex around calls while the bench runs.
  AnalogModel& Model() { return *model_; }
  // Constants the device converts with now (after drift, if any).
  std::vector<float> LoadedConstants();
  // The last instance installed in this process (for in-process tests).
  static CalibrationModel* Current();

 private:
  void LoadBlock();
  double MeterVolts();

  BenchContext* context_ = nullptr;
  std::unique_ptr<AnalogModel> model_;
  std::unique_ptr<VirtualMeter> meter_;
  std::mutex meterNoiseMutex_;
  uint64_t meterNoiseState_ = 0x9E3779B97F4A7C15ull;
  double meterNoiseVolts_ = 2e-6;
  double drift_ = 0;
  bool blockWrittenThisRun_ = false;
  int glitchRange_ = -1;
  int glitchReads_ = 0;
  double glitchVolts_ = 0.01;
};
