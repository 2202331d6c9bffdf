// A scripted Modbus TCP peer for tests of misbehaving devices: it listens on
// 127.0.0.1 (ephemeral port), reads each request frame (MBAP header plus
// the bytes its length field says), records it, and sends back whatever the
// script returns for it. The script may return an empty reply (nothing is
// sent: a silent device) or ask for the connection to be closed.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct PeerAnswer {
  Bytes reply;          // sent as it is
  bool close = false;   // close the connection after sending
};

class FakePeer {
 public:
  using Script = std::function<PeerAnswer(const Bytes& request)>;
  explicit FakePeer(Script script);
  ~FakePeer();
  int Port() const { return port_; }
  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<Bytes> Requests();
  int Connections() const { return connections_.load(); }

  // The well-formed reply to a function-76 request: same transaction id,
  // protocol 0, the given data bytes.
  static Bytes Reply(const Bytes& request, const Bytes& data, uint8_t function = 0x4C);

 private:
  void Run();
  Script script_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<Bytes> requests_;
  std::thread thread_;
};
