// Device library replies: a fake device on a loopback socket answers each
// request with the input's bytes and closes, and the library reads and checks
// them as one reply frame. Input: byte 0 picks the call and whether the
// request's transaction identifier is copied into the reply; the rest is the
// reply as sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tkm/tkm.h"

namespace {

std::mutex mutex;
std::vector<uint8_t> reply;  // the current input's reply bytes
bool patchTid = false;
int listener = -1;
int handle = 0;

bool ReadExact(int fd, uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = recv(fd, data + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The fake device: every request on every connection gets the current
// reply, then the connection is closed, so no reply waits for a time-out.
void Peer() {
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    uint8_t header[6];
    if (ReadExact(fd, header, sizeof header)) {
      int length = (header[4] << 8) | header[5];
      std::vector<uint8_t> body(static_cast<size_t>(length));
      if (ReadExact(fd, body.data(), body.size())) {
        std::vector<uint8_t> out;
        {
          std::lock_guard<std::mutex> lock(mutex);
          out = reply;
          if (patchTid && out.size() >= 2) {
            out[0] = header[0];
            out[1] = header[1];
          }
        }
        size_t sent = 0;
        while (sent < out.size()) {
          ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
      }
    }
    close(fd);
  }
}

bool Setup() {
  static bool tried = false;
  if (tried) return handle != 0;
  tried = true;
  listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return false;
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "127.0.0.1:%d", ntohs(address.sin_port));
  setenv("TKM_USB_ENDPOINT", endpoint, 1);
  setenv("TKM_REPLY_TIMEOUT_MS", "2000", 1);
  setenv("TKM_RECONNECT_MS", "0", 1);
  std::thread(Peer).detach();
  int code = TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "ANY", &handle);
  if (code != TKM_OK) {
    std::fprintf(stderr, "device library did not open the fake device: %d\n", code);
    abort();
  }
  return handle != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || !Setup()) return 0;
  if (size > 2 * TKM_FRAME_CAPACITY) size = 2 * TKM_FRAME_CAPACITY;
  {
    std::lock_guard<std::mutex> lock(mutex);
    reply.assign(data + 1, data + size);
    patchTid = (data[0] & 1) != 0;
  }
  if ((data[0] & 2) == 0) {
    double value = 0;
    TKM_eReadAddress(handle, 1000 + (data[0] >> 2), 1, &value);
  } else {
    // A function-76 request reading (byte 0 >> 2) + 1 registers.
    uint8_t frame[TKM_FRAME_CAPACITY] = {};
    int count = (data[0] >> 2) + 1;
    frame[5] = 6;  // unit, function and one read descriptor
    frame[6] = 1;
    frame[7] = 0x4C;
    frame[8] = 0;
    frame[9] = 0x03;
    frame[10] = 0xE8;
    frame[11] = static_cast<uint8_t>(count);
    int errorAddress = 0;
    TKM_MBFBComm(handle, 1, frame, &errorAddress);
  }
  return 0;
}
