#include "bench/bench.h"

#include <cstdlib>
#include <ctime>

#include "platform/clock.h"

std::vector<std::string> BenchCoreOptionKeys() {
  return {"device.usb_port", "device.tcp_port", "device.restart_ms", "fault.error", "fault.flash_busy_at",
          "fault.drop_after", "fault.vanish_after", "fault.restart_after", "device.bare", "cal.model"};
}

Bench::Bench(std::vector<std::string> options)
    : config_(options),
      device_(config_),
      server_(device_, config_),
      context_{device_, config_, server_, nullptr, std::string(), nullptr} {
  restartMs_ = static_cast<int>(config_.Number("device.restart_ms", 2000));
  if (restartMs_ < 0) restartMs_ = 0;
  device_.SetRestartHandler([this] { Restart(); });
}

Bench::~Bench() { Stop(); }

int Bench::Start() {
  if (running_) return 0;
  // device.bare=1: the core alone (register store and flash), for tests of
  // the link itself.
  if (!config_.Flag("device.bare")) modules_ = MakeBenchModules(config_);
  for (auto& module : modules_) module->Install(context_);
  int usbPort = static_cast<int>(config_.Number("device.usb_port", 0));
  int tcpPort = static_cast<int>(config_.Number("device.tcp_port", 0));
  int code = server_.Start(usbPort, tcpPort, &error_);
  if (code != 0) {
    for (auto& module : modules_) module->Stop();
    modules_.clear();
    return code;
  }
  running_ = true;
  ticker_ = std::thread([this] {
    while (running_.load()) {
      Tick();
      struct timespec pause = {0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  });
  return 0;
}

void Bench::Stop() {
  if (!running_.exchange(false)) return;
  if (ticker_.joinable()) ticker_.join();
  server_.Stop();
  for (auto& module : modules_) module->Stop();
  modules_.clear();
}

std::string Bench::UsbEndpoint() const { return "127.0.0.1:" + std::to_string(UsbPort()); }

void Bench::ExportStationEnvironment() const {
  setenv("TKM_USB_ENDPOINT", UsbEndpoint().c_str(), 1);
  setenv("TKM_TCP_PORT", std::to_string(TcpPort()).c_str(), 1);
  if (!context_.meterPath.empty()) setenv("TKTEST_COM1", context_.meterPath.c_str(), 1);
}

std::vector<std::string> Bench::UnknownOptionKeys() const {
  std::vector<std::string> known = BenchCoreOptionKeys();
  for (auto& module : MakeBenchModules(BenchConfig({"cal.model=1"})))
    for (auto& key : module->OptionKeys()) known.push_back(key);
  std::vector<std::string> unknown;
  for (auto& key : config_.Keys()) {
    bool found = false;
    for (auto& k : known) {
      // "jig.*" declares every key under jig.
      bool prefix = k.size() >= 2 && k.compare(k.size() - 2, 2, ".*") == 0 &&
                    key.compare(0, k.size() - 1, k, 0, k.size() - 1) == 0;
      found = found || k == key || prefix;
    }
    if (!found) unknown.push_back(key);
  }
  return unknown;
}

void Bench::Restart() {
  {
    std::lock_guard<std::mutex> lock(restartMutex_);
    restartUntilMs_ = NowMs() + restartMs_;
    restarting_ = true;
  }
  server_.Vanish();
}

void Bench::Tick() {
  {
    std::lock_guard<std::mutex> lock(restartMutex_);
    if (!restarting_.load() || NowMs() < restartUntilMs_) return;
    restarting_ = false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(device_.Mutex());
    for (auto& module : modules_) module->OnRestart();
  }
  server_.Reappear();
}

void Bench::AttachClock(VirtualClock* clock) {
  context_.virtualClock = clock;
  if (clock != nullptr) clock->AddSettleHook([this] { Tick(); });
}
