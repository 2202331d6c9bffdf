// Benchmark: serial numbers handed out per second with 1 and with 16
// stations, beside bare SQLite commits with the same settings on the same disk.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "server/test_server_link.h"
#include "testserver/server.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double BareCommits(const std::string& path, int count) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 0;
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE TABLE t(value INTEGER PRIMARY KEY, station TEXT, time INTEGER)", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?1, 'x', 0)", -1, &insert, nullptr);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_int(insert, 1, i + 1);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  double rate = count / Seconds(start);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return rate;
}

double Serials(const std::string& path, int stations, int each) {
  ServerOptions options;
  options.port = 0;
  options.db = path;
  TestServer server(options);
  std::string error;
  if (server.Start(&error) != 0) {
    fprintf(stderr, "%s\n", error.c_str());
    return 0;
  }
  std::string address = "127.0.0.1:" + std::to_string(server.port());
  setenv("TKTEST_SERVER", address.c_str(), 1);
  std::vector<TestServerLink> links(static_cast<size_t>(stations));
  for (TestServerLink& link : links)
    if (link.Connect(ServerLogin{"TKTestQ5", 0.65, 5890, 0x3C61E92F}) != 0) return 0;
  std::vector<int> failed(static_cast<size_t>(stations), 0);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < each; ++i) {
        uint64_t serial = 0;
        if (links[static_cast<size_t>(s)].RequestSerialNumber(&serial) != 0) ++failed[static_cast<size_t>(s)];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  double elapsed = Seconds(start);
  for (int f : failed)
    if (f != 0) fprintf(stderr, "failed requests: %d\n", f);
  return stations * each / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : ".";
  int count = argc > 2 ? atoi(argv[2]) : 2000;
  if (count <= 0) count = 2000;
  char pattern[4096];
  snprintf(pattern, sizeof(pattern), "%s/tkbenchXXXXXX", dir.c_str());
  if (mkdtemp(pattern) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string base = pattern;
  double bare = BareCommits(base + "/bare.db", count);
  double one = Serials(base + "/one.db", 1, count);
  double sixteen = Serials(base + "/sixteen.db", 16, count / 16 > 0 ? count / 16 : 1);
  printf("directory: %s (WAL, synchronous FULL)\n", base.c_str());
  printf("bare SQLite commits/s:            %.0f\n", bare);
  printf("serial numbers/s,  1 station:     %.0f\n", one);
  printf("serial numbers/s, 16 stations:    %.0f\n", sixteen);
  for (const char* name : {"bare.db", "one.db", "sixteen.db"}) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((base + "/" + name + suffix).c_str());
  }
  rmdir(base.c_str());
  return 0;
}
