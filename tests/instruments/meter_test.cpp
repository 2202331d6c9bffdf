// The COM port and the multimeter driver over a real pseudo-terminal; the test
// plays the instrument on the master side, the virtual clock carries the waits.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "instruments/meter.h"
#include "instruments/serial_port.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

class CaptureSink : public ConsoleSink {
 public:
  void Write(const char* text, size_t length) override { text_.append(text, length); }
  std::string text_;
};

// A pty whose master the test holds; the station opens the slave as COM1.
class FakeInstrument {
 public:
  FakeInstrument() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    path_ = ptsname(master_);
    // Keep one slave descriptor so the master never sees a hang-up between opens.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~FakeInstrument() {
    close(slave_);
    close(master_);
  }
  const std::string& Path() const { return path_; }
  // Collects what the station sent since the last call.
  std::string Drain() {
    std::string out;
    char buf[512];
    for (;;) {
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    received_ += out;
    return out;
  }
  // Sends bytes as the instrument and waits (bounded) until the station's
  // side of the line has them queued.
  void Reply(const std::string& text) {
    int before = Queued();
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    for (int i = 0; i < 20000 && Queued() < before + static_cast<int>(text.size()); ++i)
      usleep(100);
  }
  int Queued() const {
    int queued = 0;
    ioctl(slave_, FIONREAD, &queued);
    return queued;
  }
  std::string received_;

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

class MeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TKTEST_COM1", inst_.Path().c_str(), 1);
    SetClock(&clock_);
    SetConsoleSink(&sink_);
  }
  void TearDown() override {
    clock_.ClearSettleHooks();
    SetConsoleSink(nullptr);
    SetClock(nullptr);
  }
  // Answers *IDN? and CAL:STR? on each settle, as an instrument would.
  void AnswerIdentity(const std::string& idn) {
    clock_.AddSettleHook([this, idn] {
      std::string in = inst_.Drain();
      if (in.find("*IDN?\n") != std::string::npos) WriteAndWait(idn + "\r\n");
      if (in.find("CAL:STR?\n") != std::string::npos) WriteAndWait("\"CAL OK\"\r\n");
    });
  }
  void WriteAndWait(const std::string& text) { inst_.Reply(text); }
  FakeInstrument inst_;
  VirtualClock clock_{1700000000000};
  CaptureSink sink_;
};

TEST_F(MeterTest, OpenFailurePrintsErrno) {
  setenv("TKTEST_COM1", "/nonexistent/tty-for-test", 1);
  {
    Serial s{PortSettings{}};
    EXPECT_TRUE(s.IsOpenFailed());
    EXPECT_EQ(s.QueuedInput(), 0);
  }
  EXPECT_EQ(sink_.text_, "ERROR: Could not open COM1 (char *), " + std::to_string(ENOENT) + "\r\n");
}

TEST_F(MeterTest, SecondOpenOfHeldPortFails) {
  Serial first{PortSettings{}};
  ASSERT_FALSE(first.IsOpenFailed());
  ASSERT_TRUE(first.IsOpen());
  Serial second{PortSettings{}};
  EXPECT_TRUE(second.IsOpenFailed());
  EXPECT_EQ(sink_.text_, "ERROR: Could not open COM1 (char *), " + std::to_string(EBUSY) + "\r\n");
  char buf[8];
  EXPECT_EQ(first.ReadAvailable(buf, sizeof buf), 0);  // nothing received: 0 at once
}

// A path that opens but is no terminal: the time-outs are refused, the port is
// closed at once, and the destructor does not close the descriptor number
// again (by then another file holds it).
TEST_F(MeterTest, RefusedConfigurationClosesOnce) {
  char path[] = "/tmp/tktest-not-a-tty-XXXXXX";
  int tmp = mkstemp(path);
  ASSERT_GE(tmp, 0);
  close(tmp);
  setenv("TKTEST_COM1", path, 1);
  int reused = -1;
  {
    Serial s{PortSettings{}};
    EXPECT_FALSE(s.IsOpenFailed());
    EXPECT_FALSE(s.IsOpen());
    reused = open(path, O_RDONLY);
    ASSERT_GE(reused, 0);
    char buf[4];
    EXPECT_EQ(s.ReadAvailable(buf, sizeof buf), -1);
  }
  EXPECT_NE(fcntl(reused, F_GETFD), -1);  // still open: not closed a second time
  close(reused);
  EXPECT_EQ(sink_.text_, "ERROR: Could not set com port time-outs");
  // The Meter on such a port gets no identification.
  Meter m;
  EXPECT_EQ(m.Connect(), kMeterNotFound);
  EXPECT_EQ(clock_.SleptMs(), 7800);
  unlink(path);
}

TEST_F(MeterTest, PortReleasedAfterDestruction) {
  { Serial first{PortSettings{}}; ASSERT_TRUE(first.IsOpen()); }
  Serial again{PortSettings{}};
  EXPECT_TRUE(again.IsOpen());
  EXPECT_EQ(sink_.text_, "");
}

TEST_F(MeterTest, ConnectWithRealIdentity) {
  AnswerIdentity("HEWLETT-PACKARD,34401A,0,11-5-2");
  Meter m;
  EXPECT_EQ(m.Connect(), 0);
  EXPECT_STREQ(m.Identity(), "HEWLETT-PACKARD,34401A,0,11-5-2\r\n");
  EXPECT_STREQ(m.CalString(), "\"CAL OK\"\r\n");
  EXPECT_EQ(clock_.SleptMs(), 2600);
  inst_.Drain();
  EXPECT_EQ(inst_.received_, "SYST:LOC\nSYST:REM\n*RST\n*CLS\n*IDN?\nCAL:STR?\n");
  // A second Connect sends nothing and returns 0.
  inst_.received_.clear();
  EXPECT_EQ(m.Connect(), 0);
  inst_.Drain();
  EXPECT_EQ(inst_.received_, "");
  EXPECT_EQ(clock_.SleptMs(), 2600);
}

TEST_F(MeterTest, IdentityLengthDecidesFound) {
  struct Case { const char* reply; int code; int64_t sleptMs; };
  // The reply is the text plus CR LF: 7+2 = 9 characters is too short, 8+2 = 10 is found.
  for (const Case& c : {Case{"ABCDEFG", kMeterNotFound, 7800}, Case{"ABCDEFGH", 0, 2600}}) {
    SCOPED_TRACE(c.reply);
    clock_.ClearSettleHooks();
    AnswerIdentity(c.reply);
    int64_t before = clock_.SleptMs();
    inst_.received_.clear();
    Meter m;
    EXPECT_EQ(m.Connect(), c.code);
    EXPECT_EQ(clock_.SleptMs() - before, c.sleptMs);
    m.Disconnect();
  }
}

TEST_F(MeterTest, ConnectPortFailure) {
  setenv("TKTEST_COM1", "/nonexistent/tty-for-test", 1);
  Meter m;
  EXPECT_EQ(m.Connect(), kMeterPortFailed);
  EXPECT_EQ(clock_.SleptMs(), 0);
  m.Disconnect();  // nothing to send on a port that never opened
  EXPECT_NE(sink_.text_.find("ERROR: Could not open COM1 (char *), "), std::string::npos);
}

TEST_F(MeterTest, DisconnectSendsLocalAndClosesPort) {
  AnswerIdentity("HEWLETT-PACKARD,34401A");
  Meter m;
  ASSERT_EQ(m.Connect(), 0);
  inst_.Drain();
  inst_.received_.clear();
  m.Disconnect();
  inst_.Drain();
  EXPECT_EQ(inst_.received_, "SYST:LOC\n");
  Serial again{PortSettings{}};  // the port is free again
  EXPECT_TRUE(again.IsOpen());
}

class ConnectedMeterTest : public MeterTest {
 protected:
  void SetUp() override {
    MeterTest::SetUp();
    AnswerIdentity("HEWLETT-PACKARD,34401A");
    ASSERT_EQ(meter_.Connect(), 0);
    clock_.ClearSettleHooks();
    inst_.Drain();
    inst_.received_.clear();
  }
  Meter meter_;
};

TEST_F(ConnectedMeterTest, RangeAndSampleLimit) {
  meter_.ConfigureRange(1);
  meter_.SetNumSamples(65);
  inst_.Drain();
  EXPECT_EQ(inst_.received_,
            ":CONF:VOLT:DC 1.00E+0,1.00E-6;:VOLT:DC:NPLC 100.00;:DET:BAND 3;:ZERO:AUTO OFF;"
            ":INP:IMP:AUTO OFF;\nTrig:Count 64\n");
  EXPECT_EQ(sink_.text_,
            "From SetNumSamples: Meter class only built to handle 64 samples at a time.\r\n");
  EXPECT_EQ(meter_.SamplesPerRead(), 64);
}

TEST_F(ConnectedMeterTest, SetNumSamplesWithoutRangeExits) {
  // The child prints through a sink on standard error, where the death test looks.
  struct StderrSink : ConsoleSink {
    void Write(const char* text, size_t length) override {
      ssize_t n = write(2, text, length);
      (void)n;
    }
  };
  EXPECT_EXIT(
      {
        static StderrSink toStderr;
        SetConsoleSink(&toStderr);
        meter_.SetNumSamples(2);
      },
      ::testing::ExitedWithCode(1), "^Must config before setting number of samples$");
}

TEST_F(ConnectedMeterTest, ReadingWaitsForAllFields) {
  meter_.ConfigureRange(0);
  meter_.SetNumSamples(4);
  const std::string values = "+1.00000000E+00,-2.50000000E-01,+7.99912345E+00,+3.00000000E-03\r\n";
  ASSERT_EQ(values.size(), 65u);
  // Queue 63 bytes first: ReadSamples must not take anything yet.
  meter_.StartReading();
  inst_.Drain();
  EXPECT_NE(inst_.received_.find("READ?\n"), std::string::npos);
  WriteAndWait(values.substr(0, 63));
  double out[4] = {9, 9, 9, 9};
  bool done = false;
  meter_.ReadSamples(out, done);
  EXPECT_FALSE(done);
  EXPECT_EQ(out[0], 9);
  WriteAndWait(values.substr(63));
  meter_.ReadSamples(out, done);
  EXPECT_TRUE(done);
  EXPECT_DOUBLE_EQ(out[0], 1.0);
  EXPECT_DOUBLE_EQ(out[1], -0.25);
  EXPECT_DOUBLE_EQ(out[2], 7.99912345);
  EXPECT_DOUBLE_EQ(out[3], 0.003);
}

TEST_F(ConnectedMeterTest, TakeReadingAnswered) {
  meter_.ConfigureRange(2);
  meter_.SetNumSamples(2);
  clock_.AddSettleHook([this] {
    if (inst_.Drain().find("READ?\n") != std::string::npos)
      WriteAndWait("+5.00000000E-02,+6.00000000E-02\r\n");
  });
  double out[2] = {};
  EXPECT_EQ(meter_.TakeReading(out), 2);
  EXPECT_FALSE(meter_.LastReadingTimedOut());
  EXPECT_DOUBLE_EQ(out[0], 0.05);
  EXPECT_DOUBLE_EQ(out[1], 0.06);
}

TEST_F(ConnectedMeterTest, SilentMeterTimesOut) {
  meter_.ConfigureRange(0);
  meter_.SetNumSamples(3);
  // A partial reply that never completes.
  clock_.AddSettleHook([this] {
    if (inst_.Drain().find("READ?\n") != std::string::npos) WriteAndWait("+1.00000000E+00,");
  });
  int64_t before = clock_.NowMs();
  double out[3] = {1, 2, 3};
  EXPECT_EQ(meter_.TakeReading(out), 0);
  EXPECT_TRUE(meter_.LastReadingTimedOut());
  EXPECT_GT(clock_.NowMs() - before, 20000);
  EXPECT_LT(clock_.NowMs() - before, 22000);
  for (double v : out) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
