// Options of the virtual bench: key=value pairs, namespaced by module
// (device.*, fault.*, flash.*, identity.*, jig.*, analog.*, dio.*, net.*,
// meter.*, cal.*, firmware.*).
#pragma once
#include <map>
#include <string>
#include <vector>

class BenchConfig {
 public:
  BenchConfig() = default;
  // Each option is "key=value", "--key=value" or "--set", "key=value".
  // Malformed entries are kept in Errors().
  explicit BenchConfig(const std::vector<std::string>& options);

  void Set(const std::string& key, const std::string& value);
  bool Has(const std::string& key) const;
  std::string Text(const std::string& key, const std::string& fallback = "") const;
  // Decimal or 0x hexadecimal; the fallback when absent or not a number.
  double Number(const std::string& key, double fallback = 0) const;
  // 1/0, true/false, yes/no, on/off; the fallback otherwise.
  bool Flag(const std::string& key, bool fallback = false) const;
  std::vector<std::string> Keys() const;
  const std::vector<std::string>& Errors() const { return errors_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> errors_;
};
