// The bench's network model seen through the device library: which
// interface answers, the association status on the program clock, and the
// Ethernet link that is down for the first tries.
#include <string>

#include "device/feedback.h"
#include "support/bench_fixture.h"
#include "tkm/tkm.h"

namespace {

class NetworkModelTest : public BenchTest {
 protected:
  uint32_t Read(int handle, int address) {
    double value = -1;
    EXPECT_EQ(TKM_eReadAddress(handle, address, 1, &value), 0) << address;
    return static_cast<uint32_t>(value);
  }
  // Writes the name and password fields (50 bytes each) and 49400 = 1.
  void Associate(const std::string& name, const std::string& pass) {
    uint8_t field[50] = {};
    FeedbackOp ops[3];
    name.copy(reinterpret_cast<char*>(field), sizeof field);
    MakeWriteBytesOp(&ops[0], 49325, 25, field);
    std::fill(field, field + sizeof field, 0);
    pass.copy(reinterpret_cast<char*>(field), sizeof field);
    MakeWriteBytesOp(&ops[1], 49350, 25, field);
    MakeWriteOp(&ops[2], 49400, 2, kTypeU32, 1);
    ASSERT_EQ(FeedbackTransaction(Handle(), 3, ops), 0);
  }
};

TEST_F(NetworkModelTest, InterfaceIdentifierAndAddresses) {
  ASSERT_TRUE(StartBench());
  EXPECT_EQ(Read(Handle(), 49600), 10u);
  EXPECT_EQ(Read(Handle(), 49100), 0x7F000002u);
  EXPECT_EQ(Read(Handle(), 49200), 0x7F000003u);
  int ethernet = 0, wifi = 0;
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.2\n", &ethernet), 0);
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &wifi), 0);
  EXPECT_EQ(Read(ethernet, 49600), 11u);
  EXPECT_EQ(Read(wifi, 49600), 12u);
  EXPECT_EQ(Exchanges(Interface::kEthernet), 1u);
  EXPECT_EQ(Exchanges(Interface::kWifi), 1u);
  TKM_Close(ethernet);
  TKM_Close(wifi);
}

TEST_F(NetworkModelTest, AssociationFollowsTheProgramClock) {
  ASSERT_TRUE(StartBench({"net.associate_ms=3000", "net.ssid=Lab Net", "net.pass=secret"}));
  EXPECT_EQ(Read(Handle(), 49450), 0u);  // nothing started
  // The line feed a configuration value brings along is not part of the name.
  Associate("Lab Net\n", "secret\n");
  EXPECT_EQ(Read(Handle(), 49450), 2901u);
  int wifi = 0;
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &wifi), TKM_NO_DEVICE);
  Clock().Advance(2999);
  EXPECT_EQ(Read(Handle(), 49450), 2901u);
  Clock().Advance(1);
  EXPECT_EQ(Read(Handle(), 49450), 2900u);
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &wifi), 0);
  EXPECT_EQ(Read(wifi, 49600), 12u);
  TKM_Close(wifi);

  // A new attempt with a wrong password ends in 2902 after the same time.
  Associate("Lab Net", "other");
  Clock().Advance(3000);
  EXPECT_EQ(Read(Handle(), 49450), 2902u);
  EXPECT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.3", &wifi), TKM_NO_DEVICE);
}

TEST_F(NetworkModelTest, EthernetDownForTheFirstTries) {
  ASSERT_TRUE(StartBench({"net.eth_down_tries=2"}));
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(Read(Handle(), 49100), 0x7F000002u);
    int ethernet = 0;
    int code = TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.2", &ethernet);
    EXPECT_EQ(code, attempt <= 2 ? TKM_NO_DEVICE : 0);
    if (code == 0) {
      EXPECT_EQ(Read(ethernet, 49600), 11u);
      TKM_Close(ethernet);
    }
  }
}

TEST_F(NetworkModelTest, ModuleVersionAndWrongIdentifierFromOptions) {
  ASSERT_TRUE(StartBench({"net.wifi_version=3.1198", "net.id_usb=7"}));
  FeedbackOp op;
  MakeReadOp(&op, 60008, 2, kTypeFloat);
  ASSERT_EQ(FeedbackTransaction(Handle(), 1, &op), 0);
  EXPECT_FLOAT_EQ(*op.floatValues, 3.1198f);
  EXPECT_EQ(Read(Handle(), 49600), 7u);
}

}  // namespace
