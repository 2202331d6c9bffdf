// Modbus TCP listeners of the virtual device: the USB endpoint on
// 127.0.0.1:<usb port>, Ethernet on 127.0.0.2:<tcp port> and WiFi on
// 127.0.0.3:<tcp port>; one thread per connection. Serves function 76
// (feedback) with error replies (0xCC and a 16-bit code) and standard
// exceptions for anything else. Connection faults from the options:
//   fault.drop_after=N     each connection is closed after its N-th exchange
//   fault.vanish_after=N   after N exchanges in all the device stops
//                          answering and closes its listeners
//   fault.restart_after=N  the device restarts after its N-th exchange
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/bench_config.h"
#include "bench/virtual_device.h"

class ModbusServer {
 public:
  ModbusServer(VirtualDevice& device, const BenchConfig& config);
  ~ModbusServer();

  // Binds the listeners (port 0: ephemeral; the WiFi listener takes the
  // Ethernet listener's port) and starts accepting. 0, or an errno value
  // with the reason in *error.
  int Start(int usbPort, int tcpPort, std::string* error);
  void Stop();

  int UsbPort() const { return usbPort_; }
  int TcpPort() const { return tcpPort_; }

  // Closes (refuses) or reopens one interface's listener. A closed
  // listener refuses connections at once; its port stays reserved.
  void SetListening(Interface via, bool listening);
  bool Listening(Interface via);
  // Drops every connection (a connection busy with a request sends its
  // reply first).
  void DropAll();
  // The device vanishes: connections dropped, listeners closed, nothing
  // answered until Reappear().
  void Vanish();
  void Reappear();
  bool Vanished() const { return vanished_.load(); }

 private:
  struct Connection {
    int fd = -1;
    Interface via = Interface::kUsb;
    bool busy = false;
    bool dropped = false;
    bool finished = false;
    std::thread thread;
  };
  struct Listener {
    std::string host;
    int port = 0;
    int fd = -1;
    bool wanted = true;
  };
  int OpenListener(Listener& listener, std::string* error);
  void CloseListenerLocked(Listener& listener);
  void AcceptLoop();
  void Serve(Connection* connection);
  // 0 with the reply in reply[]/*replySize, or false to drop the connection.
  bool Handle(const uint8_t* request, int size, Interface via, uint8_t* reply, int* replySize);
  void ReapFinishedLocked();

  VirtualDevice& device_;
  int dropAfter_ = 0;
  int vanishAfter_ = 0;
  int restartAfter_ = 0;
  std::atomic<uint64_t> served_{0};
  std::mutex mutex_;
  Listener listeners_[kInterfaceCount];
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> vanished_{false};
  std::thread acceptThread_;
  int usbPort_ = 0;
  int tcpPort_ = 0;
  bool started_ = false;
};
