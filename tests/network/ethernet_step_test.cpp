// "Ethernet test" against the virtual bench: the open tries, the settings
// rewrite, the stream check, the register check, and the switch of every
// later step to the Ethernet connection.
#include <cstdlib>
#include <functional>
#include <string>

#include "device/feedback.h"
#include "device/registers.h"
#include "network/network_fixture.h"
#include "sequencer/sequencer.h"
#include "steps/ethernet_test.h"
#include "steps/steps.h"
#include "tkm/tkm.h"

namespace {

constexpr uint32_t kModeRegisterCheck = 0x800000;

// Analog inputs 0, 1, 2 and 15 as the stream reads them (registers 0, 2, 4
// and 30). The hook is installed after the bench's own, so its values win.
struct InputVolts {
  float ain0 = 3.75f;
  float ain1 = 0.625f;
  float ain2 = 1.0f;
  float ain15 = 0.0f;
  // Optional: a value for analog input 1 in one scan (counted over all
  // reads of register 0 over Ethernet, from 0).
  long badScan = -1;
  float badAin1 = 0;
};

class EthernetStepTest : public NetworkTest {
 protected:
  bool Start(std::vector<std::string> options = {}, const InputVolts& volts = InputVolts()) {
    if (!StartBench(std::move(options))) return false;
    ClearConsole();
    volts_ = volts;
    scans_ = 0;
    Device().AddReadHook(0, 31, [this](int address, int count, uint8_t* out, Interface via) {
      for (int reg = address; reg < address + count; ++reg) {
        int index = reg - address;
        if (reg == 0 && via == Interface::kEthernet) ++scans_;
        float value;
        switch (reg & ~1) {
          case 0: value = volts_.ain0; break;
          case 2:
            value = (scans_ - 1 == volts_.badScan) ? volts_.badAin1 : volts_.ain1;
            break;
          case 4: value = volts_.ain2; break;
          case 30: value = volts_.ain15; break;
          default: continue;
        }
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        uint16_t word = (reg & 1) ? static_cast<uint16_t>(bits) : static_cast<uint16_t>(bits >> 16);
        out[2 * index] = static_cast<uint8_t>(word >> 8);
        out[2 * index + 1] = static_cast<uint8_t>(word);
      }
      return 0;
    });
    LoadConfig();
    RecordWrites(48003, 48003);
    RecordWrites(49160, 49164);
    RecordReads(49100);
    return true;
  }

  StepContext Context(uint32_t mode = 0) {
    StepContext context = UsbContext();
    context.mode = mode;
    return context;
  }

  // The console of a run whose opens all go to 127.0.0.2: tries 1..n.
  static std::string Tries(int n) {
    std::string text = "Eth Atempts:";
    for (int i = 1; i <= n; ++i) text += " " + std::to_string(i) + " IP 127.0.0.2";
    return text + "\r\nNew Set: 1 ";
  }

  std::vector<RegisterEvent> UsbAddressReads() {
    std::vector<RegisterEvent> found;
    for (auto& event : Reads())
      if (event.address == 49100 && event.via == Interface::kUsb) found.push_back(event);
    return found;
  }

  void CloseEthernet(const StepContext& context) {
    if (context.ethernetHandle > 0) TKM_Close(context.ethernetHandle);
  }

  InputVolts volts_;
  long scans_ = 0;  // under the device's mutex
};

TEST_F(EthernetStepTest, FirstOpenSucceedsAndTheStreamCheckPasses) {
  ASSERT_TRUE(Start());
  StepContext context = Context();
  uint64_t usbBefore = Exchanges(Interface::kUsb);
  EXPECT_EQ(StepEthernetTest(&context), 0);
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "5000 Stream Scans.");
  EXPECT_EQ(Console(), Tries(1) + "2 3 4 S1 S2 S3 S4 5 6 ");
  EXPECT_TRUE(Writes().empty());  // no settings written
  EXPECT_EQ(Exchanges(Interface::kUsb) - usbBefore, 1u);  // the address read
  EXPECT_GE(Exchanges(Interface::kEthernet), 5000u);
  EXPECT_EQ(scans_, 5000);

  // The Ethernet connection is now the device handle; USB stays open.
  ASSERT_GT(context.ethernetHandle, 0);
  EXPECT_EQ(context.handle, context.ethernetHandle);
  EXPECT_NE(context.handle, Handle());
  EXPECT_EQ(context.usbHandle, Handle());

  // The inputs were set up for the stream.
  for (int channel : {0, 1, 2, 15}) {
    EXPECT_FLOAT_EQ(Device().GetFloat(40000 + 2 * channel), 9.9f) << channel;
    EXPECT_EQ(Device().GetU16(41000 + channel), 199) << channel;
  }
  EXPECT_FLOAT_EQ(Device().GetFloat(4008), 10.0f);
  CloseEthernet(context);
}

TEST_F(EthernetStepTest, FourRefusedOpensWriteNoSettings) {
  ASSERT_TRUE(Start({"net.eth_down_tries=4"}));
  StepContext context = Context();
  EXPECT_EQ(StepEthernetTest(&context), 0);
  EXPECT_STREQ(context.Msg, "5000 Stream Scans.");
  EXPECT_EQ(Console(), Tries(5) + "2 3 4 S1 S2 S3 S4 5 6 ");
  EXPECT_TRUE(Writes().empty());
  auto reads = UsbAddressReads();
  ASSERT_EQ(reads.size(), 5u);
  for (size_t i = 1; i < reads.size(); ++i) EXPECT_EQ(reads[i].ms - reads[i - 1].ms, 1000) << i;
  CloseEthernet(context);
}

TEST_F(EthernetStepTest, FifthRefusedOpenRewritesTheSettings) {
  ASSERT_TRUE(Start({"net.eth_down_tries=5"}));
  StepContext context = Context(kModeRegisterCheck);
  EXPECT_EQ(StepEthernetTest(&context), 0);
  EXPECT_STREQ(context.Msg, "Ethernet connection good.");
  EXPECT_EQ(Console(), Tries(6) + "2 3 10 11 ");

  auto reads = UsbAddressReads();
  ASSERT_EQ(reads.size(), 6u);
  const int64_t fifth = reads[4].ms;
  std::vector<std::pair<int, uint16_t>> order;
  for (auto& event : Writes()) order.push_back({event.address, event.value});
  std::vector<std::pair<int, uint16_t>> expected = {{48003, 0}, {49160, 0}, {49161, 2}, {49162, 1},
                                                     {49163, 2}, {49164, 0}, {48003, 1}};
  EXPECT_EQ(order, expected);
  auto writes = Writes();
  ASSERT_EQ(writes.size(), expected.size());
  for (size_t i = 0; i + 1 < writes.size(); ++i) EXPECT_EQ(writes[i].ms, fifth) << i;
  EXPECT_EQ(writes.back().ms, fifth + 1000);
  // 2000 ms after the restart and the usual 1000 ms before the next try.
  EXPECT_EQ(reads[5].ms - fifth, 4000);
  EXPECT_EQ(reads[4].ms - reads[3].ms, 1000);
  CloseEthernet(context);
}

TEST_F(EthernetStepTest, DhcpFlagFromTheConfiguration) {
  struct Case {
    const char* value;  // "" removes the key
    uint16_t flag;
  };
  for (Case c : {Case{"1", 1}, Case{"1.005", 1}, Case{"0", 0}, Case{"0.99", 0}, Case{"2", 0}, Case{"", 0}}) {
    SCOPED_TRACE(c.value);
    ASSERT_TRUE(Start({"net.eth_down_tries=5"}));
    LoadConfig({{"Ethernet_DHCP", c.value}});
    StepContext context = Context(kModeRegisterCheck);
    StepEthernetTest(&context);
    EXPECT_EQ(context.EL, kLevelPassed);
    ASSERT_EQ(WritesOf(49160).size(), 1u);
    EXPECT_EQ(WritesOf(49160)[0].value, c.flag);
    CloseEthernet(context);
    TearDown();
    SetUp();
  }
}

TEST_F(EthernetStepTest, TwentyRefusedOpensFail) {
  ASSERT_TRUE(Start({"net.eth_down_tries=25"}));
  StepContext context = Context();
  EXPECT_EQ(StepEthernetTest(&context), 1);
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "Comm Error: (1227)");
  EXPECT_EQ(Console(), Tries(20));
  EXPECT_EQ(WritesOf(48003).size(), 8u);  // at tries 5, 10, 15 and 20
  EXPECT_EQ(Clock().SleptMs(), 20 * 1000 + 4 * 3000);
  EXPECT_EQ(context.handle, Handle());
  EXPECT_EQ(context.ethernetHandle, 0);
}

struct ValueCase {
  const char* name;
  InputVolts volts;
  ResultLevel level;
  const char* msg;
};

TEST_F(EthernetStepTest, StreamedValuesAreChecked) {
  auto volts = [](float ain0, float ain1, float ain2, float ain15) {
    InputVolts v;
    v.ain0 = ain0;
    v.ain1 = ain1;
    v.ain2 = ain2;
    v.ain15 = ain15;
    return v;
  };
  auto badAt = [](long scan) {
    InputVolts v;
    v.badScan = scan;
    v.badAin1 = 0.7f;
    return v;
  };
  const ValueCase cases[] = {
      {"ain1 0.651", volts(3.75f, 0.651f, 1, 0), kLevelFatal, "Bad Value CH0: 0.651000"},
      {"ain1 0.599", volts(3.75f, 0.599f, 1, 0), kLevelFatal, "Bad Value CH0: 0.599000"},
      {"ain1 0.6", volts(3.75f, 0.6f, 1, 0), kLevelPassed, "5000 Stream Scans."},
      {"ain1 0.65", volts(3.75f, 0.65f, 1, 0), kLevelPassed, "5000 Stream Scans."},
      {"ain0 3.81", volts(3.81f, 0.62f, 1, 0), kLevelFatal, "Bad Value CH1: 3.810000"},
      {"ain0 3.69", volts(3.69f, 0.62f, 1, 0), kLevelFatal, "Bad Value CH1: 3.690000"},
      {"ain15 -0.031", volts(3.75f, 0.62f, 1, -0.031f), kLevelFatal, "Bad Value CH3: -0.031000"},
      {"ain2 unchecked", volts(3.75f, 0.62f, 99, 0.03f), kLevelPassed, "5000 Stream Scans."},
      // Read k checks scan k of its block only.
      {"bad in read 7 scan 7", badAt(7 * 100 + 7), kLevelFatal, "Bad Value CH0: 0.700000"},
      {"bad in read 7 scan 8", badAt(7 * 100 + 8), kLevelPassed, "5000 Stream Scans."},
      {"bad in read 49 scan 49", badAt(49 * 100 + 49), kLevelFatal, "Bad Value CH0: 0.700000"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Start({}, c.volts));
    StepContext context = Context();
    EXPECT_EQ(StepEthernetTest(&context), 0);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
    if (c.level == kLevelPassed) {
      EXPECT_EQ(context.handle, context.ethernetHandle);
      EXPECT_TRUE(Console().ends_with("S4 5 6 "));
    } else {
      // The handle stays USB; the failed check ends before "S2".
      EXPECT_EQ(context.handle, Handle());
      EXPECT_EQ(context.ethernetHandle, 0);
      EXPECT_TRUE(Console().ends_with("4 S1 5 "));
    }
    CloseEthernet(context);
    TearDown();
    SetUp();
  }
}

TEST_F(EthernetStepTest, StreamStartedAtALowerRateCountsAsStarted) {
  // The library lowers the rate to what the link holds and answers 203.
  ASSERT_TRUE(Start());
  setenv("TKM_MAX_SCAN_RATE", "500", 1);
  int handle = 0;
  ASSERT_EQ(TKM_OpenS("TKM_dtQ5", "TKM_ctTCP", "127.0.0.2", &handle), 0);
  const int addresses[] = {0, 2, 4, 30};
  double rate = 1000.0;
  EXPECT_EQ(TKM_eStreamStart(handle, 100, 4, addresses, &rate), TKM_STREAM_RATE_LOWERED);
  EXPECT_EQ(rate, 500.0);
  TKM_eStreamStop(handle);

  char buffer[500] = {};
  EXPECT_EQ(StreamCheck(handle, buffer), 0);
  EXPECT_STREQ(buffer, "5000 Stream Scans.");
  TKM_Close(handle);

  StepContext context = Context();
  EXPECT_EQ(StepEthernetTest(&context), 0);
  unsetenv("TKM_MAX_SCAN_RATE");
  EXPECT_EQ(context.EL, kLevelPassed);
  EXPECT_STREQ(context.Msg, "5000 Stream Scans.");
  EXPECT_EQ(context.handle, context.ethernetHandle);
  CloseEthernet(context);
}

TEST_F(EthernetStepTest, RegisterCheckInsteadOfTheStream) {
  struct Case {
    std::vector<std::string> options;
    ResultLevel level;
    const char* msg;
  };
  for (const Case& c : {Case{{}, kLevelPassed, "Ethernet connection good."},
                        Case{{"net.id_ethernet=12"}, kLevelFatal, "Could not verify connection."}}) {
    SCOPED_TRACE(c.msg);
    ASSERT_TRUE(Start(c.options));
    StepContext context = Context(kModeRegisterCheck);
    int64_t start = Clock().SleptMs();
    EXPECT_EQ(StepEthernetTest(&context), 0);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
    EXPECT_EQ(Console(), Tries(1) + "2 3 10 11 ");
    EXPECT_EQ(Clock().SleptMs() - start, 10000);  // the wait before, no stream
    EXPECT_EQ(scans_, 0);
    // 49100 over the new connection, then 49600 with 60028 in one request.
    EXPECT_EQ(Exchanges(Interface::kEthernet), 2u);
    if (c.level == kLevelPassed) {
      EXPECT_EQ(context.handle, context.ethernetHandle);
    } else {
      EXPECT_EQ(context.handle, Handle());
      EXPECT_EQ(context.ethernetHandle, 0);
    }
    CloseEthernet(context);
    TearDown();
    SetUp();
  }
}

TEST_F(EthernetStepTest, CommunicationErrors) {
  struct Case {
    std::vector<std::string> options;
    const char* msg;
    const char* consoleEnd;
  };
  for (const Case& c : {Case{{"fault.error=49100:2301:1"}, "Comm Error: (2301)", "Eth Atempts: 1"},
                        Case{{"net.eth_down_tries=5", "fault.error=49160:2302"}, "Comm Error: (2302)",
                             "5 IP 127.0.0.2"},
                        Case{{"fault.error=30:2303"}, "Comm Error: 2303 ", "4 S1 5 "}}) {
    SCOPED_TRACE(c.msg);
    ASSERT_TRUE(Start(c.options));
    StepContext context = Context();
    StepEthernetTest(&context);
    EXPECT_EQ(context.EL, kLevelFatal);
    EXPECT_STREQ(context.Msg, c.msg);
    EXPECT_TRUE(Console().ends_with(c.consoleEnd)) << Console();
    EXPECT_EQ(context.handle, Handle());
    TearDown();
    SetUp();
  }
}

// A later step of the run: one register read over the step's handle.
Bench* g_bench = nullptr;
std::vector<std::pair<uint64_t, uint64_t>> g_probeTraffic;  // (USB, Ethernet) exchanges

int32_t ProbeStep(StepContext* context) {
  uint64_t usb = g_bench->Exchanges(Interface::kUsb);
  uint64_t ethernet = g_bench->Exchanges(Interface::kEthernet);
  context->EL = kLevelPassed;
  float version = 0;
  int code = ReadFloatRegister(context->handle, 60008, &version);
  FormatText(context->Msg, kMsgSize, "code %i", code);
  if (code != 0) context->EL = kLevelFatal;
  g_probeTraffic.push_back(
      {g_bench->Exchanges(Interface::kUsb) - usb, g_bench->Exchanges(Interface::kEthernet) - ethernet});
  return 0;
}

TEST_F(EthernetStepTest, LaterStepsOfTheRunGoOverEthernet) {
  ASSERT_TRUE(Start());
  g_bench = &TheBench();
  g_probeTraffic.clear();
  Sequencer sequencer;
  sequencer.context = Context();
  const char* names[] = {"Probe", "Ethernet test", "Probe", "Probe"};
  StepFunction functions[] = {ProbeStep, StepEthernetTest, ProbeStep, ProbeStep};
  for (int i = 0; i < 4; ++i) {
    sequencer.steps[i].name = names[i];
    sequencer.steps[i].function = functions[i];
  }
  sequencer.context.stepCount = 4;
  sequencer.context.finalStepIndex = kNoFinalStep;
  sequencer.Run();
  EXPECT_EQ(sequencer.steps[1].level, kLevelPassed);
  EXPECT_STREQ(sequencer.steps[1].details, "5000 Stream Scans.");
  using Traffic = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(g_probeTraffic, (std::vector<Traffic>{{1, 0}, {0, 1}, {0, 1}}));
  EXPECT_STREQ(sequencer.overall, "** Passed **");
  CloseEthernet(sequencer.context);
  g_bench = nullptr;
}

}  // namespace
