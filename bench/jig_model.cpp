// Test jig identification memory.
#include "bench/jig_model.h"

#include <cstdlib>
#include <cstring>

namespace {

void PutFloat(uint8_t* at, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  at[0] = uint8_t(bits >> 24);
  at[1] = uint8_t(bits >> 16);
  at[2] = uint8_t(bits >> 8);
  at[3] = uint8_t(bits);
}

}  // namespace

void BuildJigRecord(const JigOptions& jig, uint8_t record[kJigRecordBytes]) {
  std::memset(record, 0, kJigRecordBytes);
  record[1] = uint8_t(jig.recordCode);
  record[2] = uint8_t(jig.type >> 8);
  record[3] = uint8_t(jig.type);
  PutFloat(record + 4, float(jig.values[0]));
  PutFloat(record + 8, float(jig.values[1]));
  PutFloat(record + 12, float(jig.values[2]));
  PutFloat(record + 16, 1.0f);  // record format word, not used by the station
  PutFloat(record + 20, float(jig.values[3]));
  PutFloat(record + 24, float(jig.values[4]));
  PutFloat(record + 28, float(jig.values[5]));
}

int RunJigBusRequest(const JigOptions& jig, const uint16_t block[11], uint8_t out[kJigRecordBytes]) {
  std::memset(out, 0xFF, kJigRecordBytes);
  if (jig.i2cError != 0) return jig.i2cError;
  // block: SCL line, SDA line, options, -, bus address, -, -, -, bytes to
  // send, bytes to read, first byte sent (the memory offset).
  bool busLines = block[0] == 7 && block[1] == 6;
  int readCount = block[9];
  if (!jig.fitted || !busLines || block[4] != kJigBusAddress || readCount > kJigRecordBytes) return 0;
  uint8_t record[kJigRecordBytes];
  BuildJigRecord(jig, record);
  int offset = block[8] > 0 ? (block[10] & 0xFF) : 0;
  for (int i = 0; i < readCount; ++i) out[i] = record[(offset + i) % kJigRecordBytes];
  return 0;
}

// ---- Bench module ----

std::vector<double> ParseNumberList(const std::string& text) {
  std::vector<double> numbers;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(",; ", at);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(at, end - at);
    if (!item.empty()) {
      char* stop = nullptr;
      double value = std::strtod(item.c_str(), &stop);
      if (stop != item.c_str()) numbers.push_back(value);
    }
    at = end + 1;
  }
  return numbers;
}

JigOptions ReadJigOptions(const BenchConfig& config) {
  JigOptions jig;
  jig.fitted = config.Flag("jig.fitted", true);
  jig.recordCode = int(config.Number("jig.code", 3));
  jig.lineCode = int(config.Number("jig.line_code", jig.recordCode)) & 0x1F;
  jig.type = int(config.Number("jig.type", 6));
  std::vector<double> values = ParseNumberList(config.Text("jig.values", ""));
  for (size_t i = 0; i < values.size() && i < 6; ++i) jig.values[i] = values[i];
  jig.i2cError = uint16_t(config.Number("jig.i2c_error", 0));
  return jig;
}

std::vector<std::string> JigModule::OptionKeys() const {
  return {"jig.fitted", "jig.code",     "jig.line_code",      "jig.type",           "jig.values",
          "jig.i2c_error", "jig.supply_v", "jig.supply_current_a", "jig.external_temp_k"};
}

void JigModule::Install(BenchContext& context) {
  jig_ = ReadJigOptions(context.config);
  VirtualDevice& device = context.device;
  device.AddWriteHook(5100, 5110, [this, &device](int address, int count, const uint8_t*, Interface) -> int {
    if (address + count - 1 != 5110) return 0;  // the block's last register starts the transaction
    uint16_t block[11];
    for (int i = 0; i < 11; ++i) block[i] = device.GetU16(5100 + i);
    uint8_t bytes[kJigRecordBytes];
    int code = RunJigBusRequest(jig_, block, bytes);
    if (code != 0) return code;
    for (int i = 0; i < kJigRecordBytes / 2; ++i) device.SetU16(5160 + i, uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]));
    return 0;
  });
}
