#include "bench/virtual_meter.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>

#include "platform/clock.h"

namespace {

enum class Mode { kNormal, kAbsent, kSilent, kSlow, kNoisy, kShortIdn, kFirstOff };

constexpr const char* kIdentity = "HEWLETT-PACKARD,34401A,0,11-5-2\r\n";
constexpr const char* kShortIdentity = "HP34401\r\n";  // 9 characters
constexpr const char* kCalString = "\"TKTEST BENCH METER\"\r\n";
constexpr const char* kAbsentPath = "/dev/tktest-meter-absent";
constexpr int kMaxTriggerCount = 512;

std::string OptionText(const std::vector<std::string>& options, const std::string& key,
                       const std::string& def) {
  std::string result = def;
  for (const std::string& opt : options) {
    std::string o = opt;
    if (o.rfind("--", 0) == 0) o = o.substr(2);
    if (o.size() > key.size() && o.compare(0, key.size(), key) == 0 && o[key.size()] == '=')
      result = o.substr(key.size() + 1);  // the last one given wins
  }
  return result;
}

double OptionNumber(const std::vector<std::string>& options, const std::string& key, double def) {
  std::string text = OptionText(options, key, "");
  if (text.empty()) return def;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  return (end != nullptr && *end == '\0') ? v : def;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// One value as the meter prints it: 15 characters, e.g. +7.99912345E+00.
std::string FormatValue(double v) {
  if (!std::isfinite(v) || std::fabs(v) >= 9.9e37) v = 9.9e37;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.8E", v);
  return std::string(buf).substr(0, 15);
}

}  // namespace

struct VirtualMeter::State {
  std::mutex mutex;
  Mode mode = Mode::kNormal;
  std::function<double()> source;
  int master = -1;
  int slave = -1;
  std::string slavePath;
  std::string lineBuffer;
  int triggerCount = 1;
  double range = 0;  // 0: no range line yet, nothing clipped
  bool firstPending = false;
  double sampleMs = 0, noiseVolts = 1e-3, firstOffVolts = 0.01;
  std::mt19937 rng{12345};
  struct Pending { int64_t dueMs; std::string text; };
  std::deque<Pending> pending;
  bool synchronous = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> threadStop{false};
  std::atomic<int> identityQueries{0};
  std::atomic<int> readingsServed{0};

  double Measure() {
    double v = source ? source() : 0.0;
    if (mode == Mode::kNoisy) {
      std::uniform_real_distribution<double> d(-noiseVolts, noiseVolts);
      v += d(rng);
    }
    if (firstPending) {
      if (mode == Mode::kFirstOff) v += firstOffVolts;
      firstPending = false;
    }
    if (range > 0 && std::fabs(v) > range * 1.2) v = 9.9e37;  // overload
    return v;
  }

  void Queue(std::string text, int64_t delayMs) {
    pending.push_back({GetClock().NowMs() + delayMs, std::move(text)});
  }

  void Command(const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::string up = Upper(line);
    if (up == "*IDN?") {
      identityQueries++;
      Queue(mode == Mode::kShortIdn ? kShortIdentity : kIdentity, 0);
    } else if (up == "CAL:STR?") {
      Queue(kCalString, 0);
    } else if (up == "*RST") {
      triggerCount = 1;
      range = 0;
    } else if (up.rfind("TRIG:COUN", 0) == 0) {
      size_t sp = up.find(' ');
      int n = sp == std::string::npos ? 1 : std::atoi(up.c_str() + sp + 1);
      triggerCount = n < 1 ? 1 : (n > kMaxTriggerCount ? kMaxTriggerCount : n);
    } else if (up.rfind(":CONF:VOLT:DC", 0) == 0 || up.rfind("CONF:VOLT:DC", 0) == 0) {
      size_t sp = up.find(' ');
      range = sp == std::string::npos ? 0 : std::fabs(std::strtod(up.c_str() + sp + 1, nullptr));
      firstPending = true;
    } else if (up == "READ?") {
      std::string reply;
      for (int i = 0; i < triggerCount; ++i) {
        if (i > 0) reply += ",";
        reply += FormatValue(Measure());
      }
      reply += "\r\n";
      readingsServed++;
      Queue(reply, static_cast<int64_t>(sampleMs * triggerCount));
    }
    // SYST:LOC, SYST:REM, *CLS and anything else: accepted, no answer.
  }

  int SlaveQueued() const {
    int queued = 0;
    if (slave >= 0) ioctl(slave, FIONREAD, &queued);
    return queued;
  }

  void Send(const std::string& text) {
    int before = SlaveQueued();
    size_t done = 0;
    for (int tries = 0; done < text.size() && tries < 1000; ++tries) {
      ssize_t n = write(master, text.data() + done, text.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      else usleep(100);
    }
    if (!synchronous) return;
    // Answering before the station looks: wait (bounded) until the bytes
    // have crossed the pty and sit in the station side's input queue.
    for (int i = 0; i < 20000 && SlaveQueued() < before + static_cast<int>(done); ++i) usleep(100);
  }

  // Reads what the station sent, answers commands, sends replies that are due.
  void Serve() {
    if (master < 0) return;
    char buf[512];
    for (;;) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      lineBuffer.append(buf, static_cast<size_t>(n));
      if (lineBuffer.size() > 65536) lineBuffer.clear();  // garbage without line ends
    }
    size_t pos;
    while ((pos = lineBuffer.find('\n')) != std::string::npos) {
      std::string line = lineBuffer.substr(0, pos);
      lineBuffer.erase(0, pos + 1);
      if (mode != Mode::kSilent) Command(line);
    }
    int64_t now = GetClock().NowMs();
    while (!pending.empty() && pending.front().dueMs <= now) {
      Send(pending.front().text);
      pending.pop_front();
    }
  }
};

VirtualMeter::VirtualMeter(const std::vector<std::string>& options,
                           std::function<double()> inputVolts)
    : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.source = std::move(inputVolts);
  std::string mode = OptionText(options, "meter.mode", "normal");
  if (mode == "absent") s.mode = Mode::kAbsent;
  else if (mode == "silent") s.mode = Mode::kSilent;
  else if (mode == "slow") s.mode = Mode::kSlow;
  else if (mode == "noisy") s.mode = Mode::kNoisy;
  else if (mode == "short_idn") s.mode = Mode::kShortIdn;
  else if (mode == "first_off") s.mode = Mode::kFirstOff;
  s.sampleMs = OptionNumber(options, "meter.sample_ms", s.mode == Mode::kSlow ? 2000 : 0);
  s.noiseVolts = OptionNumber(options, "meter.noise_volts", 1e-3);
  s.firstOffVolts = OptionNumber(options, "meter.first_off_volts", 0.01);
  s.rng.seed(static_cast<uint32_t>(OptionNumber(options, "meter.seed", 12345)));
}

VirtualMeter::~VirtualMeter() { Stop(); }

int VirtualMeter::Start() {
  int result = StartPort();
  auto* vclock = dynamic_cast<VirtualClock*>(&GetClock());
  if (result == 0 && vclock != nullptr && state_->master >= 0 && !thread_.joinable())
    UseVirtualClock(*vclock);
  return result;
}

void VirtualMeter::UseVirtualClock(VirtualClock& clock) {
  StopThread();
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->synchronous) return;
  state_->synchronous = true;
  // The hook holds the state weakly: a clock that outlives this meter finds
  // nothing to serve.
  std::weak_ptr<State> weak = state_;
  clock.AddSettleHook([weak] {
    std::shared_ptr<State> st = weak.lock();
    if (!st) return;
    std::lock_guard<std::mutex> l(st->mutex);
    if (!st->stop) st->Serve();
  });
}

void VirtualMeter::StopThread() {
  state_->threadStop = true;
  if (thread_.joinable()) thread_.join();
}

int VirtualMeter::StartPort() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& s = *state_;
  if (s.master >= 0 || s.mode == Mode::kAbsent) return 0;
  s.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (s.master < 0) return errno;
  char name[128];
  if (grantpt(s.master) != 0 || unlockpt(s.master) != 0 ||
      ptsname_r(s.master, name, sizeof name) != 0) {
    int e = errno;
    close(s.master);
    s.master = -1;
    return e;
  }
  s.slavePath = name;
  // A slave descriptor kept open: the line stays up between the station's
  // opens, and its termios is raw from the start.
  s.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (s.slave < 0) {
    int e = errno;
    close(s.master);
    s.master = -1;
    return e;
  }
  termios tio{};
  tcgetattr(s.slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(s.slave, TCSANOW, &tio);
  fcntl(s.master, F_SETFL, fcntl(s.master, F_GETFL) | O_NONBLOCK);
  s.stop = false;

  if (dynamic_cast<VirtualClock*>(&GetClock()) == nullptr) {
    s.threadStop = false;
    std::shared_ptr<State> st = state_;
    thread_ = std::thread([st] {
      while (!st->stop && !st->threadStop) {
        pollfd p{st->master, POLLIN, 0};
        poll(&p, 1, 10);
        std::lock_guard<std::mutex> l(st->mutex);
        if (!st->stop) st->Serve();
      }
    });
    return 0;
  }
  return 0;
}

void VirtualMeter::Stop() {
  state_->stop = true;
  StopThread();
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->slave >= 0) close(state_->slave);
  if (state_->master >= 0) close(state_->master);
  state_->slave = state_->master = -1;
  state_->synchronous = false;
}

std::string VirtualMeter::SlavePath() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->mode == Mode::kAbsent || state_->slavePath.empty()) return kAbsentPath;
  return state_->slavePath;
}

int VirtualMeter::IdentityQueries() const { return state_->identityQueries.load(); }
int VirtualMeter::ReadingsServed() const { return state_->readingsServed.load(); }
