#include "bench/modbus_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr int kFrameCapacity = 1536;
constexpr int kFunctionFeedback = 0x4C;
constexpr int kRequestTimeoutMs = 5000;  // rest of a frame after its first byte
constexpr int kModbusIllegalFunction = 1;

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads exactly size bytes before the deadline; false on close or time-out.
bool ReadExact(int fd, uint8_t* data, size_t size, int64_t deadline, const std::atomic<bool>& stopping) {
  size_t got = 0;
  while (got < size) {
    if (stopping.load()) return false;
    int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t n = recv(fd, data + got, size - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return false;
    }
  }
  return true;
}

bool SendExact(int fd, const uint8_t* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

ModbusServer::ModbusServer(VirtualDevice& device, const BenchConfig& config)
    : device_(device),
      dropAfter_(static_cast<int>(config.Number("fault.drop_after", 0))),
      vanishAfter_(static_cast<int>(config.Number("fault.vanish_after", 0))),
      restartAfter_(static_cast<int>(config.Number("fault.restart_after", 0))) {
  listeners_[static_cast<int>(Interface::kUsb)].host = "127.0.0.1";
  listeners_[static_cast<int>(Interface::kEthernet)].host = "127.0.0.2";
  listeners_[static_cast<int>(Interface::kWifi)].host = "127.0.0.3";
}

ModbusServer::~ModbusServer() { Stop(); }

int ModbusServer::OpenListener(Listener& listener, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + strerror(errno);
    return errno;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(listener.port));
  inet_pton(AF_INET, listener.host.c_str(), &address.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    int e = errno;
    if (error) *error = "listen on " + listener.host + ":" + std::to_string(listener.port) + ": " + strerror(e);
    close(fd);
    return e;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  listener.port = ntohs(address.sin_port);
  listener.fd = fd;
  return 0;
}

void ModbusServer::CloseListenerLocked(Listener& listener) {
  // shutdown first: the accept thread may be polling the descriptor, which
  // keeps the socket listening after close() until its poll returns; a
  // listener reopened at once would then fail to bind and connections would
  // land in the dying one's queue.
  if (listener.fd >= 0) shutdown(listener.fd, SHUT_RDWR);
  if (listener.fd >= 0) close(listener.fd);
  listener.fd = -1;
}

int ModbusServer::Start(int usbPort, int tcpPort, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return 0;
  Listener& usb = listeners_[static_cast<int>(Interface::kUsb)];
  Listener& eth = listeners_[static_cast<int>(Interface::kEthernet)];
  Listener& wifi = listeners_[static_cast<int>(Interface::kWifi)];
  usb.port = usbPort;
  int code = OpenListener(usb, error);
  if (code != 0) return code;
  // Ethernet and WiFi share one port number on their own addresses; with an
  // ephemeral port, try again if the WiFi address has that port taken.
  for (int attempt = 0;; ++attempt) {
    eth.port = tcpPort;
    code = OpenListener(eth, error);
    if (code == 0) {
      wifi.port = eth.port;
      code = OpenListener(wifi, error);
      if (code == 0) break;
      CloseListenerLocked(eth);
    }
    if (tcpPort != 0 || attempt >= 20) {
      CloseListenerLocked(usb);
      return code;
    }
  }
  usbPort_ = usb.port;
  tcpPort_ = eth.port;
  stopping_ = false;
  started_ = true;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return 0;
}

void ModbusServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) return;
    started_ = false;
  }
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Listener& listener : listeners_) CloseListenerLocked(listener);
    for (auto& c : connections_)
      if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    connections.swap(connections_);
  }
  for (auto& c : connections)
    if (c->thread.joinable()) c->thread.join();
}

void ModbusServer::SetListening(Interface via, bool listening) {
  std::lock_guard<std::mutex> lock(mutex_);
  Listener& listener = listeners_[static_cast<int>(via)];
  listener.wanted = listening;
  if (!listening) {
    CloseListenerLocked(listener);
  } else if (listener.fd < 0 && started_ && !vanished_) {
    OpenListener(listener, nullptr);
  }
}

bool ModbusServer::Listening(Interface via) {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_[static_cast<int>(via)].fd >= 0;
}

void ModbusServer::DropAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : connections_) {
    if (c->finished) continue;
    c->dropped = true;
    // A connection in the middle of a request sends its reply first and
    // then closes; the others are cut now.
    if (!c->busy && c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
  }
}

void ModbusServer::Vanish() {
  vanished_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Listener& listener : listeners_) CloseListenerLocked(listener);
  }
  DropAll();
}

void ModbusServer::Reappear() {
  std::lock_guard<std::mutex> lock(mutex_);
  vanished_ = false;
  if (!started_) return;
  for (Listener& listener : listeners_)
    if (listener.wanted && listener.fd < 0) OpenListener(listener, nullptr);
}

void ModbusServer::ReapFinishedLocked() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void ModbusServer::AcceptLoop() {
  while (!stopping_.load()) {
    std::vector<pollfd> fds;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (Listener& listener : listeners_)
        if (listener.fd >= 0) fds.push_back({listener.fd, POLLIN, 0});
    }
    if (fds.empty()) {
      struct timespec pause = {0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    } else {
      poll(fds.data(), fds.size(), 20);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ReapFinishedLocked();
    // Accept under the lock: a listener closed meanwhile has fd -1 here, so
    // a descriptor number is never used after it was closed.
    for (int i = 0; i < kInterfaceCount; ++i) {
      Listener& listener = listeners_[i];
      while (listener.fd >= 0 && !stopping_.load()) {
        int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->via = static_cast<Interface>(i);
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] { Serve(raw); });
      }
    }
  }
}

bool ModbusServer::Handle(const uint8_t* request, int size, Interface via, uint8_t* reply, int* replySize) {
  if (request[2] != 0 || request[3] != 0) return false;  // not Modbus
  memcpy(reply, request, 8);  // transaction id, protocol, unit; length below
  int function = request[7];
  int code = 0;
  int dataSize = 0;
  if (function == kFunctionFeedback) {
    code = device_.ServeFeedback(request + 8, size - 8, via, reply + 8, kFrameCapacity - 8, &dataSize);
  } else {
    code = -kModbusIllegalFunction;
  }
  int length;
  if (code == 0) {
    reply[7] = kFunctionFeedback;
    length = 2 + dataSize;
  } else if (code > 0) {
    reply[7] = static_cast<uint8_t>(function | 0x80);
    reply[8] = static_cast<uint8_t>(code >> 8);
    reply[9] = static_cast<uint8_t>(code);
    length = 4;
  } else {
    reply[7] = static_cast<uint8_t>(function | 0x80);
    reply[8] = static_cast<uint8_t>(-code);
    length = 3;
  }
  reply[4] = static_cast<uint8_t>(length >> 8);
  reply[5] = static_cast<uint8_t>(length);
  *replySize = 6 + length;
  return true;
}

void ModbusServer::Serve(Connection* connection) {
  int fd = connection->fd;
  Interface via = connection->via;
  uint8_t request[kFrameCapacity];
  uint8_t reply[kFrameCapacity];
  int servedHere = 0;
  for (;;) {
    // Idle: wait for the first byte of a request.
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, 50);
    if (stopping_.load()) break;
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    int64_t deadline = MonotonicMs() + kRequestTimeoutMs;
    if (!ReadExact(fd, request, 6, deadline, stopping_)) break;
    int length = (request[4] << 8) | request[5];
    if (length < 2 || 6 + length > kFrameCapacity) break;
    if (!ReadExact(fd, request + 6, static_cast<size_t>(length), deadline, stopping_)) break;
    if (vanished_.load()) break;  // a vanished device answers nothing
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (connection->dropped) break;
      connection->busy = true;
    }
    int replySize = 0;
    bool ok = Handle(request, 6 + length, via, reply, &replySize);
    if (ok) device_.CountExchange(via);
    bool sent = ok && SendExact(fd, reply, static_cast<size_t>(replySize));
    bool drop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->busy = false;
      drop = connection->dropped;
    }
    if (!sent) break;
    uint64_t total = ++served_;
    ++servedHere;
    if (dropAfter_ > 0 && servedHere >= dropAfter_) drop = true;
    if (vanishAfter_ > 0 && total == static_cast<uint64_t>(vanishAfter_)) {
      Vanish();
      drop = true;
    }
    if (restartAfter_ > 0 && total == static_cast<uint64_t>(restartAfter_)) {
      device_.Restart();
      drop = true;
    }
    if (drop) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  close(fd);
  connection->fd = -1;
  connection->finished = true;
}
