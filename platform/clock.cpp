#include "platform/clock.h"

#include <chrono>
#include <thread>

void RealClock::SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int64_t RealClock::NowSeconds() { return NowMs() / 1000; }

int64_t RealClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

VirtualClock::VirtualClock(int64_t startMs) : nowMs_(startMs >= 0 ? startMs : RealClock().NowMs()) {}

void VirtualClock::SleepMs(uint32_t milliseconds) {
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard<std::mutex> lock(hooksMutex_);
    hooks = hooks_;
  }
  for (auto& hook : hooks) hook();
  nowMs_ += milliseconds;
  slept_ += milliseconds;
}

int64_t VirtualClock::NowSeconds() { return nowMs_.load() / 1000; }
int64_t VirtualClock::NowMs() { return nowMs_.load(); }
void VirtualClock::Advance(int64_t milliseconds) { nowMs_ += milliseconds; }

void VirtualClock::AddSettleHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.push_back(std::move(hook));
}

void VirtualClock::ClearSettleHooks() {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.clear();
}

namespace {
RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};
}  // namespace

Clock& GetClock() { return *g_clock.load(); }
void SetClock(Clock* clock) { g_clock.store(clock != nullptr ? clock : &g_realClock); }
void SleepMs(uint32_t milliseconds) { GetClock().SleepMs(milliseconds); }
int64_t NowSeconds() { return GetClock().NowSeconds(); }
int64_t NowMs() { return GetClock().NowMs(); }
