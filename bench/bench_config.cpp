#include "bench/bench_config.h"

#include <cstdlib>

BenchConfig::BenchConfig(const std::vector<std::string>& options) {
  for (size_t i = 0; i < options.size(); ++i) {
    std::string option = options[i];
    if (option == "--set") {
      if (i + 1 >= options.size()) {
        errors_.push_back("--set without key=value");
        break;
      }
      option = options[++i];
    } else if (option.rfind("--set=", 0) == 0) {
      option = option.substr(6);
    } else if (option.rfind("--", 0) == 0) {
      option = option.substr(2);
    }
    size_t equals = option.find('=');
    if (equals == std::string::npos || equals == 0) {
      errors_.push_back("not key=value: " + options[i]);
      continue;
    }
    Set(option.substr(0, equals), option.substr(equals + 1));
  }
}

void BenchConfig::Set(const std::string& key, const std::string& value) { values_[key] = value; }

bool BenchConfig::Has(const std::string& key) const { return values_.count(key) != 0; }

std::string BenchConfig::Text(const std::string& key, const std::string& fallback) const {
  auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}

double BenchConfig::Number(const std::string& key, double fallback) const {
  auto it = values_.find(key);
  if (it == values_.end() || it->second.empty()) return fallback;
  const char* text = it->second.c_str();
  char* end = nullptr;
  double value;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    value = static_cast<double>(strtoull(text, &end, 16));
  } else {
    value = strtod(text, &end);
  }
  return (end == text || *end != '\0') ? fallback : value;
}

bool BenchConfig::Flag(const std::string& key, bool fallback) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  const std::string& v = it->second;
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return fallback;
}

std::vector<std::string> BenchConfig::Keys() const {
  std::vector<std::string> keys;
  for (auto& [key, value] : values_) keys.push_back(key);
  return keys;
}
