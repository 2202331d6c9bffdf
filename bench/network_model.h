// The device's network interfaces as the bench models them: which
// interface a request came through, the Ethernet address, the WiFi settings
// and association, the DHCP address and the WiFi module's version.
//
// Registers:
//   49100  Ethernet address (u32, most significant byte = first number)
//   49200  address obtained by DHCP (u32)
//   49250..49400  WiFi settings (49325 name, 49350 password, 25 registers
//          of raw bytes each; writing 49400 non-zero starts an association)
//   49450  association status (u32): 0 before any association, the pending
//          status while associating, then 2900 (associated) or 2902 (name or
//          password do not match the bench's network)
//   49600  interface identifier (u32): 10 over USB, 11 over Ethernet, 12 over WiFi
//   60008  WiFi module firmware version (float)
//   48003, 49160..49164 (Ethernet settings and interface restart) and 4008
//          are plain stored registers.
//
// Options:
//   net.ssid=TKBench, net.pass=q5-bench-pass   the bench's WiFi network
//   net.associate_ms=3000   program-clock time from the 49400 write to the result
//   net.pending_status=2901 status while associating
//   net.wifi_never=0        1: never associates (status stays pending)
//   net.wifi_version=3.13   60008
//   net.eth_address=127.0.0.2, net.dhcp_address=127.0.0.3
//   net.eth_down_tries=0    N: Ethernet refuses connections until the
//                           (N+1)-th read of 49100 over USB
//   net.id_usb=10, net.id_ethernet=11, net.id_wifi=12   49600 per interface
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_module.h"

class NetworkModel : public BenchModule {
 public:
  void Install(BenchContext& context) override;
  std::vector<std::string> OptionKeys() const override;

 private:
  uint32_t AssociationStatus();
  std::string FieldText(int address);
  void StartAssociation();
  void SetWifiListening(bool listening);
  void SetEthernetListening(bool listening);

  BenchContext* context_ = nullptr;
  std::string ssid_;
  std::string pass_;
  int64_t associateMs_ = 3000;
  uint32_t pendingStatus_ = 2901;
  bool wifiNever_ = false;
  float wifiVersion_ = 3.13f;
  uint32_t ethernetAddress_ = 0;
  uint32_t dhcpAddress_ = 0;
  int ethernetDownTries_ = 0;
  uint32_t ids_[kInterfaceCount] = {10, 11, 12};

  // State, guarded by the device's mutex (hooks run under it).
  int64_t associationStartMs_ = -1;  // -1: no association started
  bool credentialsMatch_ = false;
  int ethernetAddressReads_ = 0;
  bool ethernetListening_ = true;
  bool wifiListening_ = true;
};
