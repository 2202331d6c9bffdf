// The analog side of the virtual device and the jig wiring that feeds it:
// sixteen analog inputs with their settings, raw conversions and calibrated
// volts, the two DACs, the jig's test output with its direct and attenuated
// paths, supply and rails, the temperature sensors, the current sources and
// the input bias current.
//
// Each simulated device has its own true characteristics (converter zero
// count and slopes per range and resolution class, DAC slopes and offsets,
// current sources, bias current), drawn near the nominal calibration values
// from the option analog.seed. Raw counts follow from the true
// characteristics and the true input voltage; the volts registers convert
// the raw reading with the device's calibration constants (the nominal ones
// until a calibration block is loaded), so a calibration measured on this
// bench is real and changes what the device reports.
//
// AnalogModel is the physics alone (no registers, no locking); the module
// that installs it into the virtual device is AnalogModule below (it owns
// one AnalogModel and serves it under the device's lock).
#pragma once
#include <cstdint>
#include <map>
#include <random>
#include <string>

constexpr int kAnalogChannels = 16;
constexpr int kCalibrationConstantCount = 41;
constexpr uint32_t kRawFullScale = 0xFFFF00;  // converter span 0..0xFFFF00
constexpr int kSingleEnded = 199;               // negative channel: none

// Nominal constants of the calibration table (row = index).
extern const float kNominalCalibration[kCalibrationConstantCount];

// Volts per count above / below the zero count; nSlope is negative.
struct ConverterCharacteristics {
  double center = 33523.0;
  double pSlope = 0;
  double nSlope = 0;
};

// What a device truly is; calibration measures these.
struct TrueCharacteristics {
  ConverterCharacteristics hs[4];  // resolution index 0..8, range codes 0..3
  ConverterCharacteristics hr[4];  // resolution index 9..12
  double dacSlope[2] = {13200, 13200};   // codes per volt
  double dacOffset[2] = {100, 100};      // code at zero volts
  double currentSource10uA = 10e-6;      // amperes
  double currentSource200uA = 200e-6;
  double biasCurrent = 15e-9;            // into every input, amperes
  double testOutputGain = 1.0;           // jig test output: level * gain + offset
  double testOutputOffset = 0.0;
  double attenuation = 22.0;             // attenuated path divides by this
};

// The jig's fixed properties as far as the analog side sees them.
struct JigAnalog {
  bool fitted = true;
  double values[6] = {2.0017, 2.0023, 24900.0, 49900.0, 0.2, 100000.0};  // as in the jig record
  double supplyVolts = 5.02;       // Vs at AIN6
  double supplyCurrent = 0.180;    // A through the sense resistor values[4]
  double externalKelvin = 298.15;  // sensor on AIN5, 10 mV per degree F
};

struct AnalogOptions {
  uint32_t seed = 1;
  double spread = 0.003;          // relative spread of the converter slopes
  double centerSpread = 10.0;     // zero-count spread in counts
  double internalKelvin = 301.0;  // sensor behind AIN14 and register 60052
  double vmPlus = 12.6;           // Vmux rails (AIN13 and AIN12 through the jig)
  double vmMinus = -12.4;
  uint16_t diagnostic = 0;        // register 60090
  double noiseScale = 1.0;        // multiplies every noise amplitude
  int noiseBurstReads = 0;        // the first N conversions of AIN15 are 100x noisier
  bool outputStuck = false;       // the test output ignores 30014 (cannot balance)
  double dacShift[2] = {0, 0};    // extra volts on a DAC output (fault)
  bool calibrated = false;        // unloaded device uses its true constants
  // Exact peak-to-peak noise in counts for (range code, resolution index).
  std::map<int, double> noiseOverride;  // key range * 100 + resolution
  // Test overrides: key channel * 10 + range code, or channel * 10 + 9 for
  // every range.
  std::map<int, double> forcedVolts;  // single-ended volts register
  std::map<int, uint32_t> forcedRaw;  // raw register
};

struct AnalogInputSettings {
  int rangeCode = 0;  // from the range value written to 40000 + 2n
  int resolution = 0;
  int negative = kSingleEnded;
  int settling = 0;
};

class AnalogModel {
 public:
  AnalogModel(const AnalogOptions& options, const JigAnalog& jig);

  // Seeded true characteristics of this device.
  const TrueCharacteristics& Truth() const { return truth_; }
  // The constants that a perfect calibration of this device would yield.
  void TrueCalibration(float constants[kCalibrationConstantCount]) const;

  // Constants used by the volts registers, the DAC volts and 60052.
  void SetCalibration(const float constants[kCalibrationConstantCount]);
  // Back to the device's default (nominal, or true with analog.calibrated).
  void UseDefaultCalibration();
  const float* Calibration() const { return calibration_; }

  // Settings of input n (0..15).
  void SetRangeValue(int channel, float rangeVolts);
  void SetResolution(int channel, int index);
  void SetNegative(int channel, int negative);
  void SetSettling(int channel, int settling);
  const AnalogInputSettings& Settings(int channel) const { return settings_[channel]; }

  // Jig test output level (register 30014) and line 5 (1 direct, 0 attenuated).
  void SetTestOutputLevel(float level) { testLevel_ = level; }
  float TestOutputLevel() const { return testLevel_; }
  void SetDirectPath(bool direct) { directPath_ = direct; }
  // True voltage the jig puts on AIN8 against AIN9 and on the multimeter.
  double TestPathVolts() const;

  // DACs: codes (51000/51002) and volts (1000/1002, through the constants).
  void SetDacCode(int dac, uint32_t code);
  void SetDacVolts(int dac, float volts);
  uint32_t DacCode(int dac) const { return dacCode_[dac]; }
  float DacVolts(int dac) const;
  double DacOutputVolts(int dac) const;  // true output

  // True voltage of input n against ground.
  double InputVolts(int channel) const;
  // One conversion of input n with its settings: raw (0..0xFFFF00).
  uint32_t ConvertRaw(int channel);
  // One conversion in volts through the calibration constants.
  float ConvertVolts(int channel);
  // Volts of a raw reading for a range code and resolution.
  float RawToVolts(uint32_t raw, int rangeCode, int resolution) const;
  // Internal temperature in kelvin as the device reports it (60052).
  float InternalTemperature();
  uint16_t Diagnostic() const { return options_.diagnostic; }

  const AnalogOptions& Options() const { return options_; }
  const JigAnalog& Jig() const { return jig_; }
  // Restart: settings back to their defaults, DACs and test output to 0.
  void Reset();

 private:
  const ConverterCharacteristics& TrueConverter(int rangeCode, int resolution) const;
  double NoisePeakToPeak(int channel, int rangeCode, int resolution) const;
  double DifferentialVolts(int channel) const;

  AnalogOptions options_;
  JigAnalog jig_;
  TrueCharacteristics truth_;
  float calibration_[kCalibrationConstantCount] = {};
  AnalogInputSettings settings_[kAnalogChannels];
  uint32_t conversions_[kAnalogChannels] = {};
  float testLevel_ = 0;
  bool directPath_ = true;
  uint32_t dacCode_[2] = {0, 0};
  std::mt19937 noise_;
};

// Range code for a range value in volts (9.9, 0.9, 0.09, 0.009).
int RangeCodeForValue(float rangeVolts);
