// The station's multimeter driver against the bench multimeter, end to end
// over a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/virtual_meter.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

class QuietSink : public ConsoleSink {
 public:
  void Write(const char* text, size_t length) override { text_.append(text, length); }
  std::string text_;
};

class VirtualMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClock(&clock_);
    SetConsoleSink(&sink_);
  }
  void TearDown() override {
    if (bench_) bench_->Stop();
    bench_.reset();
    clock_.ClearSettleHooks();
    SetConsoleSink(nullptr);
    SetClock(nullptr);
  }
  void StartMeter(std::vector<std::string> options) {
    bench_ = std::make_unique<VirtualMeter>(options, [this] { return volts_.load(); });
    ASSERT_EQ(bench_->Start(), 0);
    setenv("TKTEST_COM1", bench_->SlavePath().c_str(), 1);
  }
  // Connects, selects the 10 V range and asks for count values per reading.
  void Prepare(Meter& m, int count) {
    ASSERT_EQ(m.Connect(), 0);
    m.ConfigureRange(0);
    m.SetNumSamples(count);
  }
  VirtualClock clock_{1700000000000};
  QuietSink sink_;
  std::atomic<double> volts_{7.99912345};
  std::unique_ptr<VirtualMeter> bench_;
};

TEST_F(VirtualMeterTest, NormalMeterIdentifiesAndReads) {
  StartMeter({});
  Meter m;
  Prepare(m, 3);
  EXPECT_STREQ(m.Identity(), "HEWLETT-PACKARD,34401A,0,11-5-2\r\n");
  EXPECT_STREQ(m.CalString(), "\"TKTEST BENCH METER\"\r\n");
  EXPECT_EQ(bench_->IdentityQueries(), 1);
  double v[3];
  ASSERT_EQ(m.TakeReading(v), 3);
  for (double x : v) EXPECT_DOUBLE_EQ(x, 7.99912345);
  volts_ = -0.0123;
  ASSERT_EQ(m.TakeReading(v), 3);
  EXPECT_DOUBLE_EQ(v[0], -0.0123);
  EXPECT_EQ(bench_->ReadingsServed(), 2);
  m.Disconnect();
}

TEST_F(VirtualMeterTest, ConnectOutcomeByMode) {
  struct Case { const char* mode; int code; };
  for (const Case& c : {Case{"meter.mode=absent", kMeterPortFailed},
                        Case{"meter.mode=silent", kMeterNotFound},
                        Case{"meter.mode=short_idn", kMeterNotFound}}) {
    SCOPED_TRACE(c.mode);
    StartMeter({c.mode});
    int64_t before = clock_.SleptMs();
    Meter m;
    EXPECT_EQ(m.Connect(), c.code);
    EXPECT_EQ(clock_.SleptMs() - before, c.code == kMeterNotFound ? 7800 : 0);
    m.Disconnect();
    bench_->Stop();
  }
}

TEST_F(VirtualMeterTest, SlowMeterRunsPastTheLimitOnLongCounts) {
  StartMeter({"meter.mode=slow"});
  Meter m;
  Prepare(m, 4);  // 8 s of conversions: answered
  double v[11];
  EXPECT_EQ(m.TakeReading(v), 4);
  EXPECT_DOUBLE_EQ(v[3], 7.99912345);
  m.SetNumSamples(11);  // 22 s: past the 20 s limit
  EXPECT_EQ(m.TakeReading(v), 0);
  EXPECT_TRUE(m.LastReadingTimedOut());
  EXPECT_TRUE(std::isnan(v[0]));
}

TEST_F(VirtualMeterTest, NoisyAndFirstOffModes) {
  {
    StartMeter({"meter.mode=noisy", "meter.noise_volts=0.002"});
    Meter m;
    Prepare(m, 8);
    double v[8];
    ASSERT_EQ(m.TakeReading(v), 8);
    bool varied = false;
    for (double x : v) {
      EXPECT_NEAR(x, 7.99912345, 0.002 + 1e-7);
      varied = varied || std::fabs(x - v[0]) > 1e-7;
    }
    EXPECT_TRUE(varied);
    m.Disconnect();
    bench_->Stop();
  }
  StartMeter({"meter.mode=first_off"});
  Meter m;
  Prepare(m, 2);
  double v[2];
  ASSERT_EQ(m.TakeReading(v), 2);
  EXPECT_NEAR(v[0], 8.00912345, 1e-7);
  EXPECT_DOUBLE_EQ(v[1], 7.99912345);
  ASSERT_EQ(m.TakeReading(v), 2);
  EXPECT_DOUBLE_EQ(v[0], 7.99912345);  // settled now
}

TEST_F(VirtualMeterTest, OverloadAndFieldWidth) {
  StartMeter({});
  Meter m;
  ASSERT_EQ(m.Connect(), 0);
  m.ConfigureRange(1);  // 1 V range
  m.SetNumSamples(1);
  double v[1];
  ASSERT_EQ(m.TakeReading(v), 1);
  EXPECT_DOUBLE_EQ(v[0], 9.9e37);  // 8 V on the 1 V range reads as overload
}

// A meter started on the real clock (a thread serves) answers synchronously
// once the test's virtual clock is handed to it.
TEST(VirtualMeterSwitch, StartedOnRealClockThenVirtual) {
  VirtualMeter meter({}, [] { return 2.25; });
  ASSERT_EQ(meter.Start(), 0);
  VirtualClock clock(1700000000000);
  SetClock(&clock);
  meter.UseVirtualClock(clock);
  setenv("TKTEST_COM1", meter.SlavePath().c_str(), 1);
  {
    Meter m;
    ASSERT_EQ(m.Connect(), 0);
    m.ConfigureRange(0);
    m.SetNumSamples(2);
    double v[2];
    ASSERT_EQ(m.TakeReading(v), 2);
    EXPECT_DOUBLE_EQ(v[1], 2.25);
  }
  meter.Stop();
  SetClock(nullptr);
}

// Without a virtual clock the meter serves from its own thread.
TEST(VirtualMeterThread, AnswersOnRealClock) {
  VirtualMeter meter({}, [] { return 1.5; });
  ASSERT_EQ(meter.Start(), 0);
  int fd = open(meter.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const char cmd[] = "*IDN?\nREAD?\n";
  ASSERT_EQ(write(fd, cmd, sizeof cmd - 1), static_cast<ssize_t>(sizeof cmd - 1));
  std::string got;
  const std::string want = "HEWLETT-PACKARD,34401A,0,11-5-2\r\n+1.50000000E+00\r\n";
  for (int i = 0; i < 500 && got.size() < want.size(); ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  meter.Stop();
  EXPECT_EQ(got, want);
}

}  // namespace
