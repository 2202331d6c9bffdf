// Our test server: the station's line protocol over TCP, one thread per station.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testserver/store.h"

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 5001;
  std::string db = "tktest-server.db";
  std::map<uint32_t, uint32_t> stations;  // station id -> password
  Range serials{470010002, 480010000};
  Range macs{0x0A7CE3002001ull, 0x0A7CE3FFFFFFull};
};

// Longest request line accepted (a "test" line of the station is below 16000).
constexpr size_t kMaxLineLength = 16384;

class TestServer {
 public:
  explicit TestServer(ServerOptions options);
  ~TestServer();
  // Opens the database and listens. 0, or -1 with *error set.
  int Start(std::string* error);
  int port() const { return port_; }
  // Stops accepting, ends every connection and joins their threads.
  void Stop();
  Store& store() { return store_; }

 private:
  void AcceptLoop();
  void Serve(int connection);
  std::string Handle(const std::string& line, struct Session* session);

  ServerOptions options_;
  Store store_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::set<int> connections_;
  std::condition_variable idle_;
  int active_ = 0;  // connection threads (detached) still running
};

// Parses "HOST:PORT", "FIRST-LAST" (decimal or 0x hex) and "ID:PASSWORD".
bool ParseListen(const std::string& text, std::string* host, int* port);
bool ParseRange(const std::string& text, bool hex, Range* range);
bool ParseStation(const std::string& text, uint32_t* id, uint32_t* password);
