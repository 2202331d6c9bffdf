// The program's one clock seam: every wait and every calendar reading of the
// station (and of the virtual bench) goes through the current Clock, so that
// tests can put a virtual clock there and a run's waits take no wall time.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMs(uint32_t milliseconds) = 0;
  // Calendar time in seconds since 1970-01-01 UTC.
  virtual int64_t NowSeconds() = 0;
  // Calendar time in milliseconds since 1970-01-01 UTC.
  virtual int64_t NowMs() = 0;
};

// Wall-clock time and real sleeps.
class RealClock : public Clock {
 public:
  void SleepMs(uint32_t milliseconds) override;
  int64_t NowSeconds() override;
  int64_t NowMs() override;
};

// Time that only moves when somebody sleeps. Safe to read from other threads
// (the in-process bench reads it while the station sleeps).
class VirtualClock : public Clock {
 public:
  // Starts at the given calendar time in ms (default: the real time now).
  explicit VirtualClock(int64_t startMs = -1);
  void SleepMs(uint32_t milliseconds) override;
  int64_t NowSeconds() override;
  int64_t NowMs() override;
  // Moves time forward without sleeping.
  void Advance(int64_t milliseconds);
  // Total virtual time slept so far, in ms.
  int64_t SleptMs() const { return slept_.load(); }
  // Hooks run at the start of every SleepMs, before time moves: an in-process
  // peer (the bench's multimeter, say) finishes what it was asked to do
  // before the sleeper looks at the result. Hooks must not sleep.
  void AddSettleHook(std::function<void()> hook);
  void ClearSettleHooks();

 private:
  std::atomic<int64_t> nowMs_;
  std::atomic<int64_t> slept_{0};
  std::mutex hooksMutex_;
  std::vector<std::function<void()>> hooks_;
};

// The clock in use; a RealClock unless a test installed another.
Clock& GetClock();
// Installs a clock (null restores the real clock). Not owned.
void SetClock(Clock* clock);

// Shorthands on the current clock.
void SleepMs(uint32_t milliseconds);
int64_t NowSeconds();
int64_t NowMs();
