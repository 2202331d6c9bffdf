// Durable storage of the test server: allocations and results in SQLite.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Reply statuses of the server besides 200.
constexpr int kStatusOk = 200;
constexpr int kStatusMalformed = 400;   // a request line that does not parse
constexpr int kStatusLoginRefused = 401;
constexpr int kStatusNotLoggedIn = 403;
constexpr int kStatusUnknown = 404;     // unknown request word
constexpr int kStatusExhausted = 410;   // no serial number / MAC address left
constexpr int kStatusTooLong = 413;     // line longer than the server accepts
constexpr int kStatusStorage = 500;     // the database refused the write

struct Range {
  uint64_t first;
  uint64_t last;
};

struct DeviceInfo {
  uint64_t id = 0;
  uint64_t serial = 0;  // 0 when none was handed out for it
  std::vector<uint64_t> macs;
  std::vector<std::string> results;  // "time station kind {...}"
  std::vector<std::string> calPoints;
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens (creating) the file: WAL journal, synchronous FULL. 0 or an SQLite code.
  int Open(const std::string& path);
  // Each allocation is one immediate transaction, committed before it returns.
  // Returns kStatusOk with *value, kStatusExhausted or kStatusStorage.
  int AllocateSerial(Range range, const std::string& station, uint64_t* value);
  int AllocateMac(Range range, const std::string& station, uint64_t device, uint64_t* value);
  // Gives MAC addresses handed out without a known device to that device.
  int AssignMacs(const std::vector<uint64_t>& macs, uint64_t device);
  // Stores a result line ("test"/"qtest") or the points of a "cal" line.
  int StoreResults(const std::string& kind, uint64_t device, const std::string& station,
                   const std::string& body);
  int StoreCalPoints(uint64_t device, const std::string& station,
                     const std::vector<std::string>& points);

  std::vector<uint64_t> Devices();
  bool Device(uint64_t id, DeviceInfo* info);
  std::vector<uint64_t> AllSerials();

 private:
  int Exec(const char* sql);
  int Allocate(const char* table, Range range, const std::string& station, uint64_t device,
               uint64_t* value);
  sqlite3* db_ = nullptr;
  std::mutex mutex_;
};
