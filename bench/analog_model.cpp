// Analog physics of the virtual device and its jig; see analog_model.h.
#include "bench/analog_model.h"

#include <algorithm>
#include <cmath>

const float kNominalCalibration[kCalibrationConstantCount] = {
    0.00031580578f, -0.0003158058f, 33523.0f, -10.586956522f,   // HS 10 V
    3.1580578e-05f, -3.15806e-05f,  33523.0f, -1.0586956522f,   // HS 1 V
    3.158058e-06f,  -3.1581e-06f,   33523.0f, -0.1058695652f,   // HS 0.1 V
    3.15806e-07f,   -3.158e-07f,    33523.0f, -0.0105869565f,   // HS 0.01 V
    0.00031580578f, -0.0003158058f, 33523.0f, -10.586956522f,   // HR 10 V
    3.1580578e-05f, -3.15806e-05f,  33523.0f, -1.0586956522f,   // HR 1 V
    3.158058e-06f,  -3.1581e-06f,   33523.0f, -0.1058695652f,   // HR 0.1 V
    3.15806e-07f,   -3.158e-07f,    33523.0f, -0.0105869565f,   // HR 0.01 V
    13200.0f,       100.0f,         13200.0f, 100.0f,           // DACs
    -92.6f,         467.6f,                                     // temperature
    1e-05f,         0.0002f,        1.5e-08f,                   // currents
};

namespace {

constexpr int kHrFirstResolution = 9;
constexpr double kTempSlope = -92.6;
constexpr double kTempOffset = 467.6;
constexpr double kOutputLimit = 10.5;
constexpr double kDacMaxVolts = 5.0;

// Peak-to-peak noise in counts at resolution index 8, by range code, and
// the factor per resolution index 0..12.
constexpr double kNoiseAtRes8[4] = {0.5, 0.8, 2.0, 6.0};
constexpr double kNoiseByResolution[13] = {7.0, 6.0, 5.0, 4.0, 3.0, 2.2, 1.6, 1.2, 1.0, 0.8, 0.6, 0.5, 0.4};

}  // namespace

int RangeCodeForValue(float rangeVolts) {
  float magnitude = std::fabs(rangeVolts);
  if (magnitude >= 5.0f) return 0;
  if (magnitude >= 0.5f) return 1;
  if (magnitude >= 0.05f) return 2;
  return 3;
}

AnalogModel::AnalogModel(const AnalogOptions& options, const JigAnalog& jig)
    : options_(options), jig_(jig), noise_(options.seed * 7919u + 17u) {
  std::mt19937 draw(options.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int klass = 0; klass < 2; ++klass) {
    for (int r = 0; r < 4; ++r) {
      ConverterCharacteristics& c = klass == 0 ? truth_.hs[r] : truth_.hr[r];
      const float* nominal = kNominalCalibration + klass * 16 + r * 4;
      c.center = nominal[2] + options.centerSpread * unit(draw);
      c.pSlope = nominal[0] * (1.0 + options.spread * unit(draw));
      c.nSlope = nominal[1] * (1.0 + options.spread * unit(draw));
    }
  }
  // DAC slopes sit a little below nominal (0.15 % to 0.45 %), so that the
  // codes 0xC000 and 0x2000 give 3.72..3.74 V and about 0.615 V.
  for (int d = 0; d < 2; ++d) {
    truth_.dacSlope[d] = 13200.0 * (1.0 - 0.003 + 0.0015 * unit(draw));
    truth_.dacOffset[d] = 100.0 + 15.0 * unit(draw);
  }
  truth_.currentSource10uA = 10e-6 * (1.0 + 0.01 * unit(draw));
  truth_.currentSource200uA = 200e-6 * (1.0 + 0.01 * unit(draw));
  truth_.biasCurrent = 15e-9 * (1.0 + 0.5 * unit(draw));
  truth_.testOutputGain = 1.0 + 0.001 * unit(draw);
  truth_.testOutputOffset = 0.0003 * unit(draw);
  truth_.attenuation = 22.0 * (1.0 + 0.0005 * unit(draw));
  UseDefaultCalibration();
}

void AnalogModel::TrueCalibration(float constants[kCalibrationConstantCount]) const {
  for (int klass = 0; klass < 2; ++klass) {
    for (int r = 0; r < 4; ++r) {
      const ConverterCharacteristics& c = klass == 0 ? truth_.hs[r] : truth_.hr[r];
      float* row = constants + klass * 16 + r * 4;
      row[0] = float(c.pSlope);
      row[1] = float(c.nSlope);
      row[2] = float(c.center);
      row[3] = float(c.nSlope * c.center);
    }
  }
  constants[32] = float(truth_.dacSlope[0]);
  constants[33] = float(truth_.dacOffset[0]);
  constants[34] = float(truth_.dacSlope[1]);
  constants[35] = float(truth_.dacOffset[1]);
  constants[36] = float(kTempSlope);
  constants[37] = float(kTempOffset);
  // What the jig measurement yields: the source plus the input bias current.
  constants[38] = float(truth_.currentSource10uA + truth_.biasCurrent);
  constants[39] = float(truth_.currentSource200uA + truth_.biasCurrent);
  constants[40] = float(truth_.biasCurrent);
}

void AnalogModel::SetCalibration(const float constants[kCalibrationConstantCount]) {
  std::copy(constants, constants + kCalibrationConstantCount, calibration_);
}

void AnalogModel::UseDefaultCalibration() {
  if (options_.calibrated)
    TrueCalibration(calibration_);
  else
    SetCalibration(kNominalCalibration);
}

void AnalogModel::SetRangeValue(int channel, float rangeVolts) {
  if (channel >= 0 && channel < kAnalogChannels) settings_[channel].rangeCode = RangeCodeForValue(rangeVolts);
}
void AnalogModel::SetResolution(int channel, int index) {
  if (channel >= 0 && channel < kAnalogChannels) settings_[channel].resolution = std::clamp(index, 0, 12);
}
void AnalogModel::SetNegative(int channel, int negative) {
  if (channel >= 0 && channel < kAnalogChannels) settings_[channel].negative = negative;
}
void AnalogModel::SetSettling(int channel, int settling) {
  if (channel >= 0 && channel < kAnalogChannels) settings_[channel].settling = settling;
}

double AnalogModel::TestPathVolts() const {
  if (!jig_.fitted) return 0.0;
  double out = options_.outputStuck ? 0.0 : testLevel_ * truth_.testOutputGain + truth_.testOutputOffset;
  out = std::clamp(out, -kOutputLimit, kOutputLimit);
  return directPath_ ? out : out / truth_.attenuation;
}

void AnalogModel::SetDacCode(int dac, uint32_t code) {
  if (dac == 0 || dac == 1) dacCode_[dac] = std::min<uint32_t>(code, 0xFFFF);
}

void AnalogModel::SetDacVolts(int dac, float volts) {
  if (dac != 0 && dac != 1) return;
  double code = double(volts) * calibration_[32 + 2 * dac] + calibration_[33 + 2 * dac];
  if (!std::isfinite(code)) code = 0;
  dacCode_[dac] = uint32_t(std::clamp(std::lround(code), 0L, 65535L));
}

float AnalogModel::DacVolts(int dac) const {
  float slope = calibration_[32 + 2 * dac];
  if (slope == 0) return 0;
  return (float(dacCode_[dac]) - calibration_[33 + 2 * dac]) / slope;
}

double AnalogModel::DacOutputVolts(int dac) const {
  double v = (double(dacCode_[dac]) - truth_.dacOffset[dac]) / truth_.dacSlope[dac] + options_.dacShift[dac];
  return std::clamp(v, 0.0, kDacMaxVolts);
}

double AnalogModel::InputVolts(int channel) const {
  if (channel == 14) return (kTempOffset - options_.internalKelvin) / -kTempSlope;
  if (!jig_.fitted) return 0.0;
  const double* v = jig_.values;
  const double bias = truth_.biasCurrent;
  switch (channel) {
    case 0: return DacOutputVolts(0);
    case 1: return DacOutputVolts(1);
    case 4: return bias * v[5];  // bias current through the jig's shunt
    case 5: {
      double fahrenheit = (jig_.externalKelvin - 273.15) * 9.0 / 5.0 + 32.0;
      return fahrenheit / 100.0;
    }
    case 6: return jig_.supplyVolts;
    case 7: return jig_.supplyVolts - jig_.supplyCurrent * v[4];
    case 8: return TestPathVolts();
    case 10: return (truth_.currentSource10uA + bias) * v[3];
    case 11: return (truth_.currentSource200uA + bias) * v[2];
    case 12: return v[1] != 0 ? options_.vmMinus / v[1] : 0.0;
    case 13: return v[0] != 0 ? options_.vmPlus / v[0] : 0.0;
    default: return 0.0;  // AIN2, 3, 9 and 15 are grounded on the jig
  }
}

double AnalogModel::DifferentialVolts(int channel) const {
  double v = InputVolts(channel);
  int negative = settings_[channel].negative;
  if (negative >= 0 && negative < kAnalogChannels) v -= InputVolts(negative);
  return v;
}

const ConverterCharacteristics& AnalogModel::TrueConverter(int rangeCode, int resolution) const {
  int r = std::clamp(rangeCode, 0, 3);
  return resolution >= kHrFirstResolution ? truth_.hr[r] : truth_.hs[r];
}

double AnalogModel::NoisePeakToPeak(int channel, int rangeCode, int resolution) const {
  auto forced = options_.noiseOverride.find(rangeCode * 100 + resolution);
  double amplitude = forced != options_.noiseOverride.end()
                         ? forced->second
                         : kNoiseAtRes8[std::clamp(rangeCode, 0, 3)] * kNoiseByResolution[std::clamp(resolution, 0, 12)];
  amplitude *= options_.noiseScale;
  if (channel == 15 && conversions_[channel] < uint32_t(std::max(options_.noiseBurstReads, 0))) amplitude *= 100.0;
  return amplitude;
}

uint32_t AnalogModel::ConvertRaw(int channel) {
  if (channel < 0 || channel >= kAnalogChannels) return 0;
  const AnalogInputSettings& s = settings_[channel];
  for (int key : {channel * 10 + s.rangeCode, channel * 10 + 9}) {
    auto forced = options_.forcedRaw.find(key);
    if (forced != options_.forcedRaw.end()) {
      ++conversions_[channel];
      return forced->second;
    }
  }
  const ConverterCharacteristics& c = TrueConverter(s.rangeCode, s.resolution);
  double volts = DifferentialVolts(channel);
  double count = volts >= 0 ? c.center + volts / c.pSlope : c.center - volts / c.nSlope;
  // Noise: the first two conversions of every 16 take the two extremes, so
  // that any run of 16 or more readings spans exactly the peak-to-peak
  // amplitude; the others fall uniformly in between.
  double amplitude = NoisePeakToPeak(channel, s.rangeCode, s.resolution);
  uint32_t index = conversions_[channel]++;
  double u;
  if (index % 16 == 0)
    u = -0.5;
  else if (index % 16 == 1)
    u = 0.5;
  else
    u = std::uniform_real_distribution<double>(-0.5, 0.5)(noise_);
  double raw = std::round(count * 256.0) + std::round(amplitude * 256.0 * u);
  return uint32_t(std::clamp(raw, 0.0, double(kRawFullScale)));
}

float AnalogModel::RawToVolts(uint32_t raw, int rangeCode, int resolution) const {
  int base = (resolution >= kHrFirstResolution ? 16 : 0) + 4 * std::clamp(rangeCode, 0, 3);
  double pSlope = calibration_[base];
  double nSlope = calibration_[base + 1];
  double center = calibration_[base + 2];
  double count = raw / 256.0;
  double volts = count >= center ? (count - center) * pSlope : (center - count) * nSlope;
  return float(volts);
}

float AnalogModel::ConvertVolts(int channel) {
  if (channel < 0 || channel >= kAnalogChannels) return 0;
  const AnalogInputSettings& s = settings_[channel];
  if (s.negative == kSingleEnded) {
    for (int key : {channel * 10 + s.rangeCode, channel * 10 + 9}) {
      auto forced = options_.forcedVolts.find(key);
      if (forced != options_.forcedVolts.end()) {
        ++conversions_[channel];
        return float(forced->second);
      }
    }
  }
  return RawToVolts(ConvertRaw(channel), s.rangeCode, s.resolution);
}

float AnalogModel::InternalTemperature() {
  float volts = ConvertVolts(14);
  return volts * calibration_[36] + calibration_[37];
}

void AnalogModel::Reset() {
  for (auto& s : settings_) s = AnalogInputSettings{};
  testLevel_ = 0;
  directPath_ = true;
  dacCode_[0] = dacCode_[1] = 0;
}
