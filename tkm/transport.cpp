// Modbus TCP transport of the device library: handles, connections with
// time-outs and reconnection, the checked feedback exchange, single-address
// reads and the library-timed stream.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tkm/tkm.h"

namespace {

constexpr int kMaxHandles = 64;
constexpr int kFunctionFeedback = 0x4C;
constexpr int kFunctionError = 0xCC;
constexpr uint32_t kReconnectIntervalMs = 250;
// Highest scan rate the library paces a stream at: one feedback exchange per
// scan; a faster request is lowered to this and reported with 203.
constexpr double kMaxScanRate = 2000.0;
// Largest scan list: one float (4 reply bytes) per address in one frame.
constexpr int kMaxStreamAddresses = (TKM_FRAME_CAPACITY - 8) / 4;

int EnvMs(const char* name, int fallback) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || value < 0 || value > 3600000) return fallback;
  return static_cast<int>(value);
}

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Device {
  std::mutex mutex;  // one call at a time on a handle
  sockaddr_in peer{};
  int fd = -1;
  bool reused = false;  // the connection has carried a complete exchange
  uint16_t transactionId = 0;
  int connectTimeoutMs = 3000;
  int replyTimeoutMs = 3000;
  int reconnectMs = 10000;
  // Stream state.
  bool streaming = false;
  int scansPerRead = 0;
  std::vector<int> streamAddresses;
  double scanPeriodMs = 0;
  double nextScanMs = 0;
};

std::mutex g_tableMutex;
std::array<std::shared_ptr<Device>, kMaxHandles + 1> g_handles;

std::shared_ptr<Device> Find(int handle) {
  if (handle < 1 || handle > kMaxHandles) return nullptr;
  std::lock_guard<std::mutex> lock(g_tableMutex);
  return g_handles[handle];
}

void CloseConnection(Device& device) {
  if (device.fd >= 0) close(device.fd);
  device.fd = -1;
  device.reused = false;
}

// One connection attempt with a time-out: 0, or TKM_NO_DEVICE.
int ConnectOnce(Device& device) {
  CloseConnection(device);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return TKM_ERR_CONNECT_FAILED;
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&device.peer), sizeof device.peer);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return TKM_NO_DEVICE;
  }
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, device.connectTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      close(fd);
      return TKM_NO_DEVICE;
    }
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  device.fd = fd;
  device.reused = false;
  return TKM_OK;
}

// True when the peer has closed the connection (or sent something nobody
// asked for, which leaves the byte stream in an unknown state).
bool ConnectionUnusable(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  return true;  // readable while idle: end of stream, an error or stray bytes
}

// Makes sure the handle has a live connection; after a break it retries for
// the handle's reconnect time on the program clock (so that a device that
// restarts is found again, and a virtual clock makes the wait instant).
int EnsureConnected(Device& device) {
  if (device.fd >= 0 && !ConnectionUnusable(device.fd)) return TKM_OK;
  CloseConnection(device);
  int64_t start = NowMs();
  for (;;) {
    int code = ConnectOnce(device);
    if (code == TKM_OK || code == TKM_ERR_CONNECT_FAILED) return code;
    if (NowMs() - start >= device.reconnectMs) return TKM_NO_DEVICE;
    SleepMs(kReconnectIntervalMs);
  }
}

enum IoResult { kIoOk, kIoClosed, kIoTimeout };

IoResult SendAll(int fd, const uint8_t* data, size_t size, int64_t deadline) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return kIoTimeout;
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, static_cast<int>(left));
      continue;
    }
    return kIoClosed;
  }
  return kIoOk;
}

// Receives exactly size bytes; *received counts what arrived.
IoResult ReceiveAll(int fd, uint8_t* data, size_t size, int64_t deadline, size_t* received) {
  size_t got = 0;
  while (got < size) {
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) {
      *received += got;
      return kIoTimeout;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;  // the deadline check above ends it
    ssize_t n = recv(fd, data + got, size - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    *received += got;
    return kIoClosed;
  }
  *received += got;
  return kIoOk;
}

// Reply data bytes that a function-76 request's read descriptors ask for, or
// -1 when the request's ops do not end exactly at its length.
int ExpectedReplyData(const uint8_t* frame, int frameSize) {
  int offset = 8;
  int data = 0;
  while (offset < frameSize) {
    if (offset + 4 > frameSize) return -1;
    int count = frame[offset + 3];
    bool write = frame[offset] == 1;
    offset += 4;
    if (write) {
      offset += 2 * count;
    } else {
      data += 2 * count;
    }
  }
  return offset == frameSize ? data : -1;
}

constexpr int kBrokenBeforeReply = -1;

// Sends frame[0..requestSize) with a fresh transaction identifier and reads
// one reply into reply[]. Returns 0 with the reply checked, a code, or
// kBrokenBeforeReply when the connection broke before a reply byte came.
int ExchangeOnce(Device& device, uint8_t* frame, int requestSize, int expectedData, uint8_t* reply) {
  uint16_t tid = ++device.transactionId;
  frame[0] = static_cast<uint8_t>(tid >> 8);
  frame[1] = static_cast<uint8_t>(tid);
  int64_t deadline = MonotonicMs() + device.replyTimeoutMs;
  IoResult io = SendAll(device.fd, frame, static_cast<size_t>(requestSize), deadline);
  if (io == kIoTimeout) return TKM_ERR_TIMEOUT;
  if (io == kIoClosed) return kBrokenBeforeReply;
  size_t received = 0;
  io = ReceiveAll(device.fd, reply, 6, deadline, &received);
  if (io == kIoClosed) return received == 0 ? kBrokenBeforeReply : TKM_ERR_CONNECTION_LOST;
  if (io == kIoTimeout) return TKM_ERR_TIMEOUT;
  int length = (reply[4] << 8) | reply[5];
  if (length < 2) return TKM_ERR_BAD_LENGTH;
  if (6 + length > TKM_FRAME_CAPACITY) return TKM_ERR_FRAME_TOO_LARGE;
  io = ReceiveAll(device.fd, reply + 6, static_cast<size_t>(length), deadline, &received);
  if (io == kIoClosed) return TKM_ERR_CONNECTION_LOST;
  if (io == kIoTimeout) return TKM_ERR_TIMEOUT;
  if (reply[0] != frame[0] || reply[1] != frame[1]) return TKM_ERR_BAD_TRANSACTION;
  if (reply[2] != 0 || reply[3] != 0) return TKM_ERR_BAD_PROTOCOL;
  int function = reply[7];
  if (function == kFunctionError) {
    if (length == 4) {
      int code = (reply[8] << 8) | reply[9];
      return code != 0 ? code : TKM_ERR_EMPTY_ERROR_REPLY;
    }
    if (length == 3) return TKM_ERR_MODBUS_EXCEPTION + reply[8];
    return TKM_ERR_BAD_LENGTH;
  }
  if (function != kFunctionFeedback) return TKM_ERR_BAD_FUNCTION;
  if (length - 2 != expectedData) return TKM_ERR_BAD_LENGTH;
  return TKM_OK;
}

// A device's error reply is a complete, well-formed exchange: the connection
// stays. Anything else that is not success leaves the byte stream in doubt.
bool KeepsConnection(int code) {
  switch (code) {
    case TKM_ERR_TIMEOUT:
    case TKM_ERR_BAD_TRANSACTION:
    case TKM_ERR_BAD_PROTOCOL:
    case TKM_ERR_BAD_FUNCTION:
    case TKM_ERR_BAD_LENGTH:
    case TKM_ERR_FRAME_TOO_LARGE:
    case TKM_ERR_CONNECTION_LOST:
    case TKM_ERR_EMPTY_ERROR_REPLY:
      return false;
    default:
      return true;
  }
}

// The checked exchange, with the caller holding device.mutex. The reply
// replaces frame[] only when it passed every check (or is a device error
// reply, whose code is returned).
int Exchange(Device& device, uint8_t* frame, int requestSize, int expectedData) {
  uint8_t reply[TKM_FRAME_CAPACITY];
  for (int attempt = 0; attempt < 2; ++attempt) {
    int code = EnsureConnected(device);
    if (code != TKM_OK) return code;
    bool reused = device.reused;
    code = ExchangeOnce(device, frame, requestSize, expectedData, reply);
    if (code == kBrokenBeforeReply) {
      CloseConnection(device);
      // A connection that had been idle may have been closed by the device
      // just before the request went out (it restarted, or drops idle
      // links): the request was not taken, so it is sent once more on a new
      // connection. On a fresh connection the break is reported.
      if (reused && attempt == 0) continue;
      return TKM_ERR_CONNECTION_LOST;
    }
    if (!KeepsConnection(code)) {
      CloseConnection(device);
      return code;
    }
    device.reused = true;
    if (code == TKM_OK) {
      int replySize = 8 + expectedData;
      memcpy(frame, reply, static_cast<size_t>(replySize));
    }
    return code;
  }
  return TKM_ERR_CONNECTION_LOST;
}

bool ParseIpv4(const std::string& text, in_addr* out) { return inet_pton(AF_INET, text.c_str(), out) == 1; }

std::string Trim(const char* text) {
  std::string s(text);
  size_t begin = s.find_first_not_of(" \t\r\n\v\f");
  if (begin == std::string::npos) return std::string();
  size_t end = s.find_last_not_of(" \t\r\n\v\f");
  return s.substr(begin, end - begin + 1);
}

// HOST:PORT of the USB endpoint (a dotted address or a host name).
int ResolveUsbEndpoint(sockaddr_in* out) {
  const char* env = getenv("TKM_USB_ENDPOINT");
  std::string text = env != nullptr && *env != '\0' ? Trim(env) : std::string("127.0.0.1:5020");
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return TKM_ERR_BAD_ADDRESS;
  std::string host = text.substr(0, colon);
  char* end = nullptr;
  long port = strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || port < 1 || port > 65535)
    return TKM_ERR_BAD_ADDRESS;
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  if (ParseIpv4(host, &out->sin_addr)) return TKM_OK;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return TKM_ERR_BAD_ADDRESS;
  out->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return TKM_OK;
}

int TcpPort() {
  const char* env = getenv("TKM_TCP_PORT");
  if (env == nullptr || *env == '\0') return 502;
  char* end = nullptr;
  long port = strtol(env, &end, 10);
  if (end == env || port < 1 || port > 65535) return 502;
  return static_cast<int>(port);
}

void PutU16(uint8_t* p, int v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// A function-76 request of read ops, each 2 registers (one 32-bit value).
int BuildPairReads(uint8_t* frame, const int* addresses, int count) {
  memset(frame, 0, 8);
  frame[7] = kFunctionFeedback;
  int offset = 8;
  for (int i = 0; i < count; ++i) {
    frame[offset] = 0;
    PutU16(frame + offset + 1, addresses[i] & 0xFFFF);
    frame[offset + 3] = 2;
    offset += 4;
  }
  PutU16(frame + 4, offset - 6);
  return offset;
}

uint32_t GetU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

int TKM_OpenS(const char* deviceType, const char* connectionType, const char* identifier, int* handle) {
  if (deviceType == nullptr || connectionType == nullptr || handle == nullptr) return TKM_ERR_BAD_ARGUMENT;
  *handle = 0;
  if (strcmp(deviceType, "TKM_dtQ5") != 0) return TKM_ERR_BAD_ARGUMENT;
  auto device = std::make_shared<Device>();
  if (strcmp(connectionType, "TKM_ctUSB") == 0) {
    // One device stands behind the USB endpoint: any identifier finds it.
    int code = ResolveUsbEndpoint(&device->peer);
    if (code != TKM_OK) return code;
  } else if (strcmp(connectionType, "TKM_ctTCP") == 0) {
    if (identifier == nullptr) return TKM_ERR_BAD_ARGUMENT;
    // Configuration values come with their line end: trim white space.
    std::string address = Trim(identifier);
    device->peer.sin_family = AF_INET;
    device->peer.sin_port = htons(static_cast<uint16_t>(TcpPort()));
    if (!ParseIpv4(address, &device->peer.sin_addr)) return TKM_ERR_BAD_ADDRESS;
  } else {
    return TKM_ERR_BAD_ARGUMENT;
  }
  device->connectTimeoutMs = EnvMs("TKM_CONNECT_TIMEOUT_MS", 3000);
  device->replyTimeoutMs = EnvMs("TKM_REPLY_TIMEOUT_MS", 3000);
  device->reconnectMs = EnvMs("TKM_RECONNECT_MS", 10000);
  int code = ConnectOnce(*device);
  if (code != TKM_OK) return code;
  std::lock_guard<std::mutex> lock(g_tableMutex);
  for (int h = 1; h <= kMaxHandles; ++h) {
    if (!g_handles[h]) {
      g_handles[h] = device;
      *handle = h;
      return TKM_OK;
    }
  }
  CloseConnection(*device);
  return TKM_ERR_TOO_MANY_HANDLES;
}

int TKM_Close(int handle) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (handle < 1 || handle > kMaxHandles || !g_handles[handle]) return TKM_ERR_UNKNOWN_HANDLE;
    device = std::move(g_handles[handle]);
    g_handles[handle].reset();
  }
  std::lock_guard<std::mutex> lock(device->mutex);
  device->streaming = false;
  CloseConnection(*device);
  return TKM_OK;
}

int TKM_MBFBComm(int handle, int unitId, unsigned char* frame, int* errorAddress) {
  (void)unitId;  // the frame carries its unit identifier and is sent as it stands
  if (errorAddress != nullptr) *errorAddress = 0;
  if (frame == nullptr) return TKM_ERR_BAD_ARGUMENT;
  auto device = Find(handle);
  if (!device) return TKM_ERR_UNKNOWN_HANDLE;
  int length = (frame[4] << 8) | frame[5];
  int requestSize = 6 + length;
  if (length < 2 || requestSize > TKM_FRAME_CAPACITY) return TKM_ERR_FRAME_TOO_LARGE;
  if (frame[7] != kFunctionFeedback) return TKM_ERR_BAD_ARGUMENT;
  int expected = ExpectedReplyData(frame, requestSize);
  if (expected < 0) return TKM_ERR_BAD_ARGUMENT;
  if (8 + expected > TKM_FRAME_CAPACITY) return TKM_ERR_FRAME_TOO_LARGE;
  std::lock_guard<std::mutex> lock(device->mutex);
  return Exchange(*device, frame, requestSize, expected);
}

int TKM_eReadAddress(int handle, int address, int typeCode, double* value) {
  if (value == nullptr || typeCode != 1 || address < 0 || address > 65534) return TKM_ERR_BAD_ARGUMENT;
  auto device = Find(handle);
  if (!device) return TKM_ERR_UNKNOWN_HANDLE;
  uint8_t frame[TKM_FRAME_CAPACITY];
  int size = BuildPairReads(frame, &address, 1);
  std::lock_guard<std::mutex> lock(device->mutex);
  int code = Exchange(*device, frame, size, 4);
  if (code != TKM_OK) return code;
  *value = static_cast<double>(GetU32(frame + 8));
  return TKM_OK;
}

int TKM_eStreamStart(int handle, int scansPerRead, int numAddresses, const int* addresses, double* scanRate) {
  if (scansPerRead < 1 || numAddresses < 1 || numAddresses > kMaxStreamAddresses || addresses == nullptr ||
      scanRate == nullptr || !std::isfinite(*scanRate) || *scanRate <= 0)
    return TKM_ERR_BAD_ARGUMENT;
  for (int i = 0; i < numAddresses; ++i)
    if (addresses[i] < 0 || addresses[i] > 65534) return TKM_ERR_BAD_ARGUMENT;
  auto device = Find(handle);
  if (!device) return TKM_ERR_UNKNOWN_HANDLE;
  std::lock_guard<std::mutex> lock(device->mutex);
  int code = TKM_OK;
  double rate = *scanRate;
  // TKM_MAX_SCAN_RATE: the highest rate the link holds (a slower link, or a
  // test of the lowered-rate path).
  const double maxRate = EnvMs("TKM_MAX_SCAN_RATE", static_cast<int>(kMaxScanRate));
  if (rate > maxRate && maxRate > 0) {
    rate = maxRate;
    *scanRate = rate;
    code = TKM_STREAM_RATE_LOWERED;
  }
  device->streaming = true;
  device->scansPerRead = scansPerRead;
  device->streamAddresses.assign(addresses, addresses + numAddresses);
  device->scanPeriodMs = 1000.0 / rate;
  device->nextScanMs = static_cast<double>(NowMs());
  return code;
}

int TKM_eStreamRead(int handle, double* data, int* deviceBacklog, int* libraryBacklog) {
  if (data == nullptr) return TKM_ERR_BAD_ARGUMENT;
  auto device = Find(handle);
  if (!device) return TKM_ERR_UNKNOWN_HANDLE;
  std::lock_guard<std::mutex> lock(device->mutex);
  if (!device->streaming) return TKM_ERR_NOT_STREAMING;
  if (deviceBacklog != nullptr) *deviceBacklog = 0;
  if (libraryBacklog != nullptr) *libraryBacklog = 0;
  const int n = static_cast<int>(device->streamAddresses.size());
  uint8_t frame[TKM_FRAME_CAPACITY];
  for (int scan = 0; scan < device->scansPerRead; ++scan) {
    // Pace the scans on the program clock. A link slower than the rate runs
    // them back to back and starts the schedule again from now.
    double now = static_cast<double>(NowMs());
    if (now < device->nextScanMs) {
      SleepMs(static_cast<uint32_t>(std::ceil(device->nextScanMs - now)));
    } else if (now > device->nextScanMs + device->scanPeriodMs) {
      device->nextScanMs = now;
    }
    device->nextScanMs += device->scanPeriodMs;
    int size = BuildPairReads(frame, device->streamAddresses.data(), n);
    int code = Exchange(*device, frame, size, 4 * n);
    if (code != TKM_OK) return code;
    for (int i = 0; i < n; ++i) {
      uint32_t bits = GetU32(frame + 8 + 4 * i);
      float value;
      memcpy(&value, &bits, sizeof value);
      data[scan * n + i] = static_cast<double>(value);
    }
  }
  return TKM_OK;
}

int TKM_eStreamStop(int handle) {
  auto device = Find(handle);
  if (!device) return TKM_ERR_UNKNOWN_HANDLE;
  std::lock_guard<std::mutex> lock(device->mutex);
  device->streaming = false;  // stopping a handle that does not stream is harmless
  return TKM_OK;
}
