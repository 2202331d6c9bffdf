// BenchTest: a GoogleTest fixture for step tests against the virtual bench.
//
//   class MyStepTest : public BenchTest {};
//   TEST_F(MyStepTest, Works) {
//     ASSERT_TRUE(StartBench({"fault.error=2005:2301"}));  // options, as for tktest-bench
//     StepContext context;
//     context.handle = Handle();          // an open USB handle
//     StepOpenTavrick(&context);
//     EXPECT_EQ(Device().GetU16(2005), 1);
//     EXPECT_NE(Console().find("Running"), std::string::npos);
//   }
//
// StartBench installs a VirtualClock (Clock(); sleeps take no wall time),
// starts an in-process Bench on ephemeral ports, exports TKM_USB_ENDPOINT,
// TKM_TCP_PORT and TKTEST_COM1, opens a USB handle and captures the
// console. TearDown closes the handle, stops the bench and restores the real
// clock and standard output. Call StartBench once per test.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "platform/clock.h"
#include "platform/console.h"

// Collects everything ConsolePrint writes.
class CapturedConsole : public ConsoleSink {
 public:
  void Write(const char* text, size_t length) override;
  std::string Text();
  void Clear();

 private:
  std::mutex mutex_;
  std::string text_;
};

class BenchTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // Options every StartBench of this fixture starts with (a test's own
  // options follow and win).
  virtual std::vector<std::string> BaseOptions() { return {}; }

  // Starts everything; false (with a test failure) when the bench or the
  // USB open fails. openUsb false: no handle is opened.
  bool StartBench(std::vector<std::string> options = {}, bool openUsb = true);

  Bench& TheBench() { return *bench_; }
  VirtualDevice& Device() { return bench_->Device(); }
  VirtualClock& Clock() { return clock_; }
  int Handle() const { return handle_; }
  std::string Console() { return console_.Text(); }
  void ClearConsole() { console_.Clear(); }
  uint64_t Exchanges(Interface via = Interface::kUsb) { return bench_->Exchanges(via); }
  // A copy of the device's flash bytes.
  std::vector<uint8_t> FlashBytes(uint32_t address, uint32_t length);

 private:
  VirtualClock clock_;
  std::unique_ptr<Bench> bench_;
  CapturedConsole console_;
  int handle_ = 0;
};
