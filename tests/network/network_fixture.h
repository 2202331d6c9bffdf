// Shared by the WiFi and Ethernet step tests: a bench test that runs in its
// own working directory with a station configuration file made from the
// demo file tests/network/TKTestQ5.cfg (which matches the bench's default
// network), and recorders for register traffic.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "sequencer/step_context.h"
#include "server/config_table.h"
#include "support/bench_fixture.h"

struct RegisterEvent {
  int64_t ms;        // program clock
  int address;
  uint16_t value;    // the register's word (writes) or 0 (reads)
  Interface via;
};

class NetworkTest : public BenchTest {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    char pattern[] = "/tmp/tktest-network-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    std::filesystem::current_path(directory_);
    std::memset(ConfigTable, 0, sizeof ConfigTable);
    std::lock_guard<std::mutex> lock(eventsMutex_);
    writes_.clear();
    reads_.clear();
  }

  void TearDown() override {
    BenchTest::TearDown();
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    std::memset(ConfigTable, 0, sizeof ConfigTable);
  }

  // Writes TKTestQ5.cfg from the demo file with the given values replaced
  // (an empty value removes the key's line) and loads it into ConfigTable.
  void LoadConfig(const std::map<std::string, std::string>& changes = {}) {
    std::ifstream demo(std::string(TKTEST_SOURCE_DIR) + "/tests/network/TKTestQ5.cfg");
    ASSERT_TRUE(demo.good());
    std::ostringstream out;
    std::string line;
    while (std::getline(demo, line)) {
      std::string key = line.substr(0, line.find(':'));
      auto change = changes.find(key);
      if (change == changes.end()) {
        out << line << "\n";
      } else if (!change->second.empty()) {
        out << key << ":" << change->second << "\n";
      }
    }
    std::ofstream("TKTestQ5.cfg") << out.str();
    std::memset(ConfigTable, 0, sizeof ConfigTable);
    int rows = 0;
    ASSERT_EQ(ReadConfigFile(&rows), 0);
  }

  StepContext UsbContext(bool pro = true) {
    StepContext context;
    context.handle = Handle();
    context.usbHandle = Handle();
    context.isPro = pro;
    return context;
  }

  // Records every write of registers first..last (one event per register).
  void RecordWrites(int first, int last) {
    Device().AddWriteHook(first, last, [this](int address, int count, const uint8_t* in, Interface via) {
      std::lock_guard<std::mutex> lock(eventsMutex_);
      for (int i = 0; i < count; ++i)
        writes_.push_back({NowMs(), address + i, static_cast<uint16_t>(in[2 * i] << 8 | in[2 * i + 1]), via});
      return 0;
    });
  }
  // Records every read that starts at address.
  void RecordReads(int address) {
    Device().AddReadHook(address, address, [this, address](int, int, uint8_t*, Interface via) {
      std::lock_guard<std::mutex> lock(eventsMutex_);
      reads_.push_back({NowMs(), address, 0, via});
      return 0;
    });
  }
  std::vector<RegisterEvent> Writes() {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return writes_;
  }
  std::vector<RegisterEvent> Reads() {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return reads_;
  }
  std::vector<RegisterEvent> WritesOf(int address) {
    std::vector<RegisterEvent> found;
    for (auto& event : Writes())
      if (event.address == address) found.push_back(event);
    return found;
  }

  // The bytes of count registers from the register store.
  std::string StoredBytes(int address, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
      uint16_t word = Device().GetU16(address + i);
      bytes.push_back(static_cast<char>(word >> 8));
      bytes.push_back(static_cast<char>(word & 0xFF));
    }
    return bytes;
  }

 private:
  std::filesystem::path previous_;
  std::string directory_;
  std::mutex eventsMutex_;
  std::vector<RegisterEvent> writes_;
  std::vector<RegisterEvent> reads_;
};
