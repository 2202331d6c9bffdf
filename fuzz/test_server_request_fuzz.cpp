// Our test server's request lines: the bytes go to a running server over a
// real connection (write side closed after them) and the replies are read up
// to the server's close. A hang shows as a libFuzzer time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "testserver/server.h"

namespace {

TestServer* server = nullptr;
char folder[] = "/tmp/tktest-fuzz-server-XXXXXX";

// The server is left running to the end; only its files are removed.
void RemoveFiles() {
  for (const char* suffix : {"/fuzz.db", "/fuzz.db-wal", "/fuzz.db-shm", "/fuzz.db-journal"})
    unlink((std::string(folder) + suffix).c_str());
  rmdir(folder);
}

bool StartServer() {
  static bool tried = false;
  if (tried) return server != nullptr;
  tried = true;
  if (mkdtemp(folder) == nullptr) return false;
  atexit(RemoveFiles);
  ServerOptions options;
  options.port = 0;
  options.db = std::string(folder) + "/fuzz.db";
  options.stations[1] = 1;
  options.stations[470000001] = 0x1234;
  auto* candidate = new TestServer(options);
  std::string error;
  if (candidate->Start(&error) != 0) {
    std::fprintf(stderr, "test server did not start: %s\n", error.c_str());
    delete candidate;
    return false;
  }
  server = candidate;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!StartServer()) abort();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(server->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return 0;
  }
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    // A reset is a close too: the server closes with unread lines queued
    // (after a refused login, say).
    if (n < 0 && errno == ECONNRESET) break;
    if (n < 0) {
      std::fprintf(stderr, "test server neither replied nor closed\n");
      abort();
    }
  }
  close(fd);
  return 0;
}
