// Calibration on the virtual bench; see calibration_model.h.
#include "bench/calibration_model.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "bench/virtual_meter.h"

namespace {

std::atomic<CalibrationModel*> g_current{nullptr};

float FloatAt(const uint8_t* bytes) {
  uint32_t bits = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  float value = 0;
  memcpy(&value, &bits, sizeof value);
  return value;
}

uint32_t U32At(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

// Register ranges served here.
constexpr int kVoltsFirst = 0, kVoltsLast = 2 * kAnalogChannels - 1;
constexpr int kRawFirst = 50000, kRawLast = 50000 + 2 * kAnalogChannels - 1;
constexpr int kRangeFirst = 40000, kRangeLast = 40000 + 2 * kAnalogChannels - 1;
constexpr int kNegativeFirst = 41000, kNegativeLast = 41000 + kAnalogChannels - 1;
constexpr int kResolutionFirst = 41500, kResolutionLast = 41500 + kAnalogChannels - 1;
constexpr int kSettlingFirst = 42000, kSettlingLast = 42000 + 2 * kAnalogChannels - 1;
constexpr int kDacVoltsFirst = 1000, kDacVoltsLast = 1003;
constexpr int kDacCodeFirst = 51000, kDacCodeLast = 51003;
constexpr int kRegLine5 = 2005;
constexpr int kRegFlashWriteWindow = 61830;

// Fills out[] for registers [address, address + count) of 32-bit values
// that start at `first` (two registers each), computing each value once.
template <typename Fn>
void ServePairs(int address, int count, int first, uint8_t* out, Fn valueOf) {
  for (int pair = (address - first) / 2; first + 2 * pair < address + count; ++pair) {
    const uint32_t value = valueOf(pair);
    const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    for (int half = 0; half < 2; ++half) {
      const int reg = first + 2 * pair + half;
      if (reg < address || reg >= address + count) continue;
      out[2 * (reg - address)] = bytes[2 * half];
      out[2 * (reg - address) + 1] = bytes[2 * half + 1];
    }
  }
}

}  // namespace

CalibrationModel::CalibrationModel() = default;
CalibrationModel::~CalibrationModel() { Stop(); }

CalibrationModel* CalibrationModel::Current() { return g_current.load(); }

std::vector<std::string> CalibrationModel::OptionKeys() const {
  return {"analog.seed", "analog.spread", "cal.meter_noise_volts", "cal.drift", "cal.glitch_range",
          "cal.glitch_reads", "cal.glitch_volts", "meter.mode", "meter.sample_ms", "meter.noise_volts",
          "meter.first_off_volts", "meter.seed"};
}

void CalibrationModel::Install(BenchContext& context) {
  context_ = &context;
  const BenchConfig& config = context.config;
  AnalogOptions options;
  options.seed = uint32_t(config.Number("analog.seed", 1));
  options.spread = config.Number("analog.spread", options.spread);
  model_ = std::make_unique<AnalogModel>(options, JigAnalog{});
  meterNoiseVolts_ = config.Number("cal.meter_noise_volts", 2e-6);
  meterNoiseState_ ^= uint64_t(options.seed) * 0xD1B54A32D192ED03ull;
  drift_ = config.Number("cal.drift", 0);
  glitchRange_ = config.Has("cal.glitch_range") ? int(config.Number("cal.glitch_range", -1)) : -1;
  glitchReads_ = int(config.Number("cal.glitch_reads", 0));
  glitchVolts_ = config.Number("cal.glitch_volts", 0.01);

  VirtualDevice& device = context.device;
  {
    std::lock_guard<std::recursive_mutex> lock(device.Mutex());
    LoadBlock();
  }

  device.AddReadHook(kVoltsFirst, kVoltsLast, [this](int address, int count, uint8_t* out, Interface) {
    ServePairs(address, count, kVoltsFirst, out, [this](int channel) {
      float volts = model_->ConvertVolts(channel);
      if (channel == 8 && glitchReads_ > 0 && model_->Settings(channel).rangeCode == glitchRange_) {
        --glitchReads_;
        volts += float(glitchVolts_);
      }
      uint32_t bits = 0;
      memcpy(&bits, &volts, sizeof bits);
      return bits;
    });
    return 0;
  });
  device.AddReadHook(kRawFirst, kRawLast, [this](int address, int count, uint8_t* out, Interface) {
    ServePairs(address, count, kRawFirst, out, [this](int channel) { return model_->ConvertRaw(channel); });
    return 0;
  });
  device.AddWriteHook(kRangeFirst, kRangeLast, [this, &device](int address, int count, const uint8_t*, Interface) {
    for (int reg = address & ~1; reg < address + count; reg += 2)
      model_->SetRangeValue((reg - kRangeFirst) / 2, device.GetFloat(reg));
    return 0;
  });
  device.AddWriteHook(kSettlingFirst, kSettlingLast, [this, &device](int address, int count, const uint8_t*, Interface) {
    for (int reg = address & ~1; reg < address + count; reg += 2)
      model_->SetSettling((reg - kSettlingFirst) / 2, int(device.GetFloat(reg)));
    return 0;
  });
  device.AddWriteHook(kNegativeFirst, kNegativeLast, [this, &device](int address, int count, const uint8_t*, Interface) {
    for (int reg = address; reg < address + count; ++reg) model_->SetNegative(reg - kNegativeFirst, device.GetU16(reg));
    return 0;
  });
  device.AddWriteHook(kResolutionFirst, kResolutionLast,
                      [this, &device](int address, int count, const uint8_t*, Interface) {
                        for (int reg = address; reg < address + count; ++reg)
                          model_->SetResolution(reg - kResolutionFirst, device.GetU16(reg));
                        return 0;
                      });
  device.AddWriteHook(kRegTestOutput, kRegTestOutput + 1, [this, &device](int, int, const uint8_t*, Interface) {
    model_->SetTestOutputLevel(device.GetFloat(kRegTestOutput));
    return 0;
  });
  // Line 5 belongs to the digital lines; here only its effect on the jig's
  // test path (1 direct, 0 attenuated) is observed.
  device.AddWriteHook(kRegLine5, kRegLine5, [this, &device](int, int, const uint8_t*, Interface) {
    model_->SetDirectPath(device.GetU16(kRegLine5) != 0);
    return 0;
  });
  device.AddWriteHook(kDacCodeFirst, kDacCodeLast, [this, &device](int address, int count, const uint8_t*, Interface) {
    for (int reg = address & ~1; reg < address + count; reg += 2)
      model_->SetDacCode((reg - kDacCodeFirst) / 2, device.GetU32(reg));
    return 0;
  });
  device.AddWriteHook(kDacVoltsFirst, kDacVoltsLast, [this, &device](int address, int count, const uint8_t*, Interface) {
    for (int reg = address & ~1; reg < address + count; reg += 2)
      model_->SetDacVolts((reg - kDacVoltsFirst) / 2, device.GetFloat(reg));
    return 0;
  });
  device.AddReadHook(kDacVoltsFirst, kDacVoltsLast, [this](int address, int count, uint8_t* out, Interface) {
    ServePairs(address, count, kDacVoltsFirst, out, [this](int dac) {
      const float volts = model_->DacVolts(dac);
      uint32_t bits = 0;
      memcpy(&bits, &volts, sizeof bits);
      return bits;
    });
    return 0;
  });
  // Watches flash writes for the calibration page (the drift option starts
  // with the first block written during the run).
  device.AddWriteHook(kRegFlashWriteWindow, kRegFlashWriteWindow + 1,
                      [this, &device](int address, int count, const uint8_t*, Interface) {
                        if (address != kRegFlashWriteWindow || count < 2) return 0;
                        uint8_t bytes[4];
                        for (int i = 0; i < 2; ++i) {
                          const uint16_t word = device.GetU16(kRegFlashWriteWindow + i);
                          bytes[2 * i] = uint8_t(word >> 8);
                          bytes[2 * i + 1] = uint8_t(word);
                        }
                        const uint32_t flashAddress = U32At(bytes);
                        if (flashAddress >= kBenchCalBlockAddress && flashAddress < kBenchCalBlockAddress + kBenchCalBlockLength)
                          blockWrittenThisRun_ = true;
                        return 0;
                      });
  // The soft-reset request.
  device.AddWriteHook(kRegSoftReset, kRegSoftReset + 1, [&device](int, int, const uint8_t*, Interface) {
    device.Restart();
    return 0;
  });

  std::vector<std::string> meterOptions;
  for (const std::string& key : config.Keys())
    if (key.rfind("meter.", 0) == 0) meterOptions.push_back(key + "=" + config.Text(key));
  meter_ = std::make_unique<VirtualMeter>(meterOptions, [this] { return MeterVolts(); });
  if (meter_->Start() == 0) {
    context.meterPath = meter_->SlavePath();
    if (context.virtualClock != nullptr) meter_->UseVirtualClock(*context.virtualClock);
  }
  context.meterInputVolts = [this] { return MeterVolts(); };
  g_current.store(this);
}

void CalibrationModel::Stop() {
  if (meter_) meter_->Stop();
  meter_.reset();
  CalibrationModel* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

void CalibrationModel::OnRestart() {
  model_->Reset();
  LoadBlock();
}

void CalibrationModel::LoadBlock() {
  uint8_t block[kBenchCalBlockLength];
  context_->device.Flash().Read(kBenchCalBlockAddress, block, kBenchCalBlockLength);
  if (block[0] == 0xFF) {
    model_->UseDefaultCalibration();
    return;
  }
  float constants[kCalibrationConstantCount];
  for (int k = 0; k < kCalibrationConstantCount; ++k) constants[k] = FloatAt(block + 4 * k);
  if (drift_ != 0 && blockWrittenThisRun_) {
    // A true slope that moved by the factor (1 + drift) since calibration
    // shows as reported volts off by 1 / (1 + drift): the same as converting
    // with slopes scaled by that factor against the unchanged truth.
    for (int row = 0; row < 32; ++row) {
      if (row % 4 == 2) continue;  // zero counts stay
      constants[row] = float(double(constants[row]) / (1.0 + drift_));
    }
  }
  model_->SetCalibration(constants);
}

std::vector<float> CalibrationModel::LoadedConstants() {
  std::lock_guard<std::recursive_mutex> lock(context_->device.Mutex());
  const float* c = model_->Calibration();
  return std::vector<float>(c, c + kCalibrationConstantCount);
}

double CalibrationModel::MeterVolts() {
  double volts = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(context_->device.Mutex());
    volts = model_->TestPathVolts();
  }
  std::lock_guard<std::mutex> lock(meterNoiseMutex_);
  // xorshift64*: the meter's own small noise, uniform in +-meterNoiseVolts_.
  meterNoiseState_ ^= meterNoiseState_ >> 12;
  meterNoiseState_ ^= meterNoiseState_ << 25;
  meterNoiseState_ ^= meterNoiseState_ >> 27;
  const uint64_t r = meterNoiseState_ * 0x2545F4914F6CDD1Dull;
  const double unit = double(r >> 11) / double(1ull << 53);  // 0..1
  return volts + meterNoiseVolts_ * (2.0 * unit - 1.0);
}
