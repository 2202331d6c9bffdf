#include "support/fake_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {
bool ReadExact(int fd, uint8_t* data, size_t size, const std::atomic<bool>& stop) {
  size_t got = 0;
  while (got < size) {
    if (stop.load()) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    ssize_t n = recv(fd, data + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

FakePeer::FakePeer(Script script) : script_(std::move(script)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listenFd_, 8);
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

FakePeer::~FakePeer() {
  stop_ = true;
  thread_.join();
  close(listenFd_);
}

std::vector<Bytes> FakePeer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

Bytes FakePeer::Reply(const Bytes& request, const Bytes& data, uint8_t function) {
  Bytes reply(8 + data.size());
  reply[0] = request[0];
  reply[1] = request[1];
  reply[6] = request[6];
  reply[7] = function;
  for (size_t i = 0; i < data.size(); ++i) reply[8 + i] = data[i];
  size_t length = reply.size() - 6;
  reply[4] = static_cast<uint8_t>(length >> 8);
  reply[5] = static_cast<uint8_t>(length);
  return reply;
}

void FakePeer::Run() {
  while (!stop_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    connections_++;
    for (;;) {
      Bytes request(6);
      if (!ReadExact(fd, request.data(), 6, stop_)) break;
      size_t length = (request[4] << 8) | request[5];
      request.resize(6 + length);
      if (!ReadExact(fd, request.data() + 6, length, stop_)) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      PeerAnswer answer = script_(request);
      if (!answer.reply.empty()) send(fd, answer.reply.data(), answer.reply.size(), MSG_NOSIGNAL);
      if (answer.close) break;
    }
    close(fd);
  }
}
