#include "bench/network_model.h"

#include <arpa/inet.h>

#include <cstring>

#include "bench/modbus_server.h"
#include "platform/clock.h"

namespace {

constexpr int kRegEthernetAddress = 49100;
constexpr int kRegDhcpAddress = 49200;
constexpr int kRegWifiName = 49325;
constexpr int kRegWifiPass = 49350;
constexpr int kWifiFieldRegisters = 25;
constexpr int kRegWifiApply = 49400;
constexpr int kRegWifiStatus = 49450;
constexpr int kRegInterfaceId = 49600;
constexpr int kRegWifiVersion = 60008;

constexpr uint32_t kStatusAssociated = 2900;
constexpr uint32_t kStatusNoMatch = 2902;

uint32_t ParseAddress(const std::string& text, const char* fallback) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) inet_pton(AF_INET, fallback, &address);
  return ntohl(address.s_addr);
}

// Puts the registers [address, address + count) of a value that starts at
// register first (words high word first, bytes high byte first) into out.
void CopyWords(const uint8_t* valueBytes, int valueRegisters, int first, int address, int count,
               uint8_t* out) {
  for (int i = 0; i < count; ++i) {
    int word = address + i - first;
    if (word < 0 || word >= valueRegisters) continue;
    out[2 * i] = valueBytes[2 * word];
    out[2 * i + 1] = valueBytes[2 * word + 1];
  }
}

void U32Bytes(uint32_t value, uint8_t* bytes) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

}  // namespace

std::vector<std::string> NetworkModel::OptionKeys() const {
  return {"net.ssid",         "net.pass",         "net.associate_ms", "net.pending_status",
          "net.wifi_never",   "net.wifi_version", "net.eth_address",  "net.dhcp_address",
          "net.eth_down_tries", "net.id_usb",     "net.id_ethernet",  "net.id_wifi"};
}

void NetworkModel::Install(BenchContext& context) {
  context_ = &context;
  const BenchConfig& config = context.config;
  ssid_ = config.Text("net.ssid", "TKBench");
  pass_ = config.Text("net.pass", "q5-bench-pass");
  associateMs_ = static_cast<int64_t>(config.Number("net.associate_ms", 3000));
  pendingStatus_ = static_cast<uint32_t>(config.Number("net.pending_status", 2901));
  wifiNever_ = config.Flag("net.wifi_never", false);
  wifiVersion_ = static_cast<float>(config.Number("net.wifi_version", 3.13));
  ethernetAddress_ = ParseAddress(config.Text("net.eth_address", "127.0.0.2"), "127.0.0.2");
  dhcpAddress_ = ParseAddress(config.Text("net.dhcp_address", "127.0.0.3"), "127.0.0.3");
  ethernetDownTries_ = static_cast<int>(config.Number("net.eth_down_tries", 0));
  ids_[static_cast<int>(Interface::kUsb)] = static_cast<uint32_t>(config.Number("net.id_usb", 10));
  ids_[static_cast<int>(Interface::kEthernet)] = static_cast<uint32_t>(config.Number("net.id_ethernet", 11));
  ids_[static_cast<int>(Interface::kWifi)] = static_cast<uint32_t>(config.Number("net.id_wifi", 12));

  VirtualDevice& device = context.device;

  // The Ethernet address is read over USB before every connection try; a
  // link that is down for the first N tries refuses the opens of those
  // tries. (The listener's state is set here rather than at start-up: the
  // server opens every listener when it starts.)
  device.AddReadHook(kRegEthernetAddress, kRegEthernetAddress + 1,
                     [this](int address, int count, uint8_t* out, Interface via) {
                       if (via == Interface::kUsb && ethernetDownTries_ > 0) {
                         ++ethernetAddressReads_;
                         SetEthernetListening(ethernetAddressReads_ > ethernetDownTries_);
                       }
                       uint8_t bytes[4];
                       U32Bytes(ethernetAddress_, bytes);
                       CopyWords(bytes, 2, kRegEthernetAddress, address, count, out);
                       return 0;
                     });

  device.AddReadHook(kRegDhcpAddress, kRegDhcpAddress + 1,
                     [this](int address, int count, uint8_t* out, Interface) {
                       uint8_t bytes[4];
                       U32Bytes(dhcpAddress_, bytes);
                       CopyWords(bytes, 2, kRegDhcpAddress, address, count, out);
                       return 0;
                     });

  device.AddWriteHook(kRegWifiApply, kRegWifiApply + 1, [this](int, int, const uint8_t*, Interface) {
    StartAssociation();
    return 0;
  });

  device.AddReadHook(kRegWifiStatus, kRegWifiStatus + 1,
                     [this](int address, int count, uint8_t* out, Interface) {
                       uint8_t bytes[4];
                       U32Bytes(AssociationStatus(), bytes);
                       CopyWords(bytes, 2, kRegWifiStatus, address, count, out);
                       return 0;
                     });

  device.AddReadHook(kRegInterfaceId, kRegInterfaceId + 1,
                     [this](int address, int count, uint8_t* out, Interface via) {
                       uint8_t bytes[4];
                       U32Bytes(ids_[static_cast<int>(via)], bytes);
                       CopyWords(bytes, 2, kRegInterfaceId, address, count, out);
                       return 0;
                     });

  device.AddReadHook(kRegWifiVersion, kRegWifiVersion + 1,
                     [this](int address, int count, uint8_t* out, Interface) {
                       uint32_t bits;
                       std::memcpy(&bits, &wifiVersion_, sizeof bits);
                       uint8_t bytes[4];
                       U32Bytes(bits, bytes);
                       CopyWords(bytes, 2, kRegWifiVersion, address, count, out);
                       return 0;
                     });
}

// The text of a 50-byte name or password field as the module takes it: up
// to the first zero byte, without the line end that a configuration value
// brings along.
std::string NetworkModel::FieldText(int address) {
  std::string text;
  for (int i = 0; i < kWifiFieldRegisters; ++i) {
    uint16_t word = context_->device.GetU16(address + i);
    text.push_back(static_cast<char>(word >> 8));
    text.push_back(static_cast<char>(word & 0xFF));
  }
  size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void NetworkModel::StartAssociation() {
  VirtualDevice& device = context_->device;
  if (device.GetU32(kRegWifiApply) == 0) {
    associationStartMs_ = -1;
    SetWifiListening(false);
    return;
  }
  associationStartMs_ = NowMs();
  credentialsMatch_ = FieldText(kRegWifiName) == ssid_ && FieldText(kRegWifiPass) == pass_;
  // Not reachable over WiFi until associated again.
  SetWifiListening(false);
}

uint32_t NetworkModel::AssociationStatus() {
  if (associationStartMs_ < 0) return 0;
  if (wifiNever_ || NowMs() - associationStartMs_ < associateMs_) return pendingStatus_;
  if (!credentialsMatch_) return kStatusNoMatch;
  SetWifiListening(true);
  return kStatusAssociated;
}

void NetworkModel::SetWifiListening(bool listening) {
  if (wifiListening_ == listening) return;
  wifiListening_ = listening;
  context_->server.SetListening(Interface::kWifi, listening);
}

void NetworkModel::SetEthernetListening(bool listening) {
  if (ethernetListening_ == listening) return;
  ethernetListening_ = listening;
  context_->server.SetListening(Interface::kEthernet, listening);
}
