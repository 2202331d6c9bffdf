// The bench core: its options, its interfaces and the tktest-bench program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/feedback.h"
#include "device/flash.h"
#include "device/registers.h"
#include "support/bench_fixture.h"
#include "tkm/tkm.h"

namespace {

TEST(BenchConfigTest, OptionsAndTypedGetters) {
  BenchConfig config({"--device.restart_ms=250", "--set", "fault.error=2005:2301", "jig.code=0x1F", "flag.on=yes",
                      "bad-option"});
  EXPECT_EQ(config.Number("device.restart_ms", 0), 250);
  EXPECT_EQ(config.Text("fault.error"), "2005:2301");
  EXPECT_EQ(config.Number("jig.code"), 31);
  EXPECT_EQ(config.Number("fault.error", -1), -1);  // not a number
  EXPECT_TRUE(config.Flag("flag.on"));
  EXPECT_FALSE(config.Has("absent"));
  EXPECT_EQ(config.Text("absent", "x"), "x");
  ASSERT_EQ(config.Errors().size(), 1u);
}

class BenchCoreTest : public BenchTest {
 protected:
  std::vector<std::string> BaseOptions() override { return {"device.bare=1"}; }
};

TEST_F(BenchCoreTest, InjectedRegisterErrorsFromTheOptions) {
  ASSERT_TRUE(StartBench({"fault.error=2005:2301,60000:77:1"}));
  EXPECT_EQ(WriteDio5(Handle(), 1), 2301);
  EXPECT_EQ(WriteDio5(Handle(), 1), 2301);
  EXPECT_EQ(WriteU16Register(Handle(), 60000, 1), 77);
  EXPECT_EQ(WriteU16Register(Handle(), 60000, 1), 0);  // only once
  EXPECT_EQ(WriteU16Register(Handle(), 2004, 1), 0);
}

TEST_F(BenchCoreTest, FlashBusyFromTheOptions) {
  ASSERT_TRUE(StartBench({"fault.flash_busy_at=2"}));
  uint8_t out[64];
  EXPECT_EQ(FlashRead(Handle(), kKeyCalibration, kFlashCalibration, 64, out), 0);
  EXPECT_EQ(Device().FlashBlockReads(), 3u);  // one, the busy one, then two again
}

TEST_F(BenchCoreTest, EthernetAndWifiListenersCountTheirOwnExchanges) {
  ASSERT_TRUE(StartBench());
  int eth = 0, wifi = 0;
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.2", &eth), 0);
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3\n", &wifi), 0);
  Device().AddReadHook(49100, 49101, [](int address, int count, uint8_t* out, Interface via) {
    for (int i = 0; i < count; ++i) {
      out[2 * i] = 0;
      out[2 * i + 1] = static_cast<uint8_t>(address + i == 49101 ? 10 + static_cast<int>(via) : 0);
    }
    return 0;
  });
  double value = 0;
  ASSERT_EQ(TKM_eReadAddress(eth, 49100, 1, &value), 0);
  EXPECT_EQ(value, 11);
  ASSERT_EQ(TKM_eReadAddress(wifi, 49100, 1, &value), 0);
  EXPECT_EQ(value, 12);
  ASSERT_EQ(TKM_eReadAddress(wifi, 49100, 1, &value), 0);
  ASSERT_EQ(TKM_eReadAddress(Handle(), 49100, 1, &value), 0);
  EXPECT_EQ(value, 10);
  EXPECT_EQ(Exchanges(Interface::kUsb), 1u);
  EXPECT_EQ(Exchanges(Interface::kEthernet), 1u);
  EXPECT_EQ(Exchanges(Interface::kWifi), 2u);
  // A closed interface refuses at once and comes back when reopened.
  TheBench().Server().SetListening(Interface::kWifi, false);
  int other = 0;
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &other), TKM_NO_DEVICE);
  TheBench().Server().SetListening(Interface::kWifi, true);
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &other), 0);
  TKM_Close(other);
  TKM_Close(eth);
  TKM_Close(wifi);
}

TEST_F(BenchCoreTest, RequestsPastTheRegisterSpaceGetAStandardException) {
  ASSERT_TRUE(StartBench());
  unsigned char frame[TKM_FRAME_CAPACITY] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0xFF, 0xFF, 0x00, 0x04};
  int errorAddress = 0;
  // Registers 65535.. would run past the end of the register space.
  frame[10] = 0xFF;
  frame[11] = 2;
  EXPECT_EQ(TKM_MBFBComm(Handle(), 0, frame, &errorAddress), TKM_ERR_MODBUS_EXCEPTION + 2);
}

TEST_F(BenchCoreTest, RestartCallsComeBackAfterTheRestartTime) {
  ASSERT_TRUE(StartBench({"device.restart_ms=500"}));
  TheBench().Restart();
  Clock().SleepMs(499);
  EXPECT_TRUE(TheBench().Restarting());
  EXPECT_FALSE(TheBench().Server().Listening(Interface::kEthernet));
  Clock().SleepMs(1);
  Clock().SleepMs(0);  // the settle hook sees the time is up
  EXPECT_FALSE(TheBench().Restarting());
  EXPECT_TRUE(TheBench().Server().Listening(Interface::kEthernet));
}

// The program: ready line, and a clean stop on SIGTERM.
TEST(BenchProgramTest, PrintsWhereItListensAndStopsOnSigterm) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(TKTEST_BIN_DIR "/bench/tktest-bench", "tktest-bench", "--device.usb_port=0", "--device.tcp_port=0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* in = fdopen(out[0], "r");
  char line[512] = {};
  ASSERT_NE(fgets(line, sizeof line, in), nullptr);
  std::string ready = line;
  EXPECT_EQ(ready.rfind("tktest-bench ready usb=127.0.0.1:", 0), 0u) << ready;
  EXPECT_NE(ready.find(" ethernet=127.0.0.2:"), std::string::npos) << ready;
  EXPECT_NE(ready.find(" wifi=127.0.0.3:"), std::string::npos) << ready;
  // It serves where it says.
  size_t at = ready.find("usb=") + 4;
  std::string endpoint = ready.substr(at, ready.find(' ', at) - at);
  setenv("TKM_USB_ENDPOINT", endpoint.c_str(), 1);
  int handle = 0;
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctUSB", "TKM_idANY", &handle), 0);
  EXPECT_EQ(WriteU16Register(handle, 100, 5), 0);
  TKM_Close(handle);
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  fclose(in);
}

TEST(BenchProgramTest, UnknownOptionsAreReported) {
  std::string command = std::string(TKTEST_BIN_DIR) + "/bench/tktest-bench --device.usb_port=0 --device.tcp_port=0 "
                        "--fault.nonsense=1 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512] = {};
  std::string output;
  while (fgets(line, sizeof line, p) != nullptr) output += line;
  int status = pclose(p);
  EXPECT_NE(output.find("unknown option fault.nonsense"), std::string::npos) << output;
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
