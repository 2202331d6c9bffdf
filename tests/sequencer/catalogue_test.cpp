// Selection of steps by the mode word.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sequencer/catalogue.h"
#include "steps/steps.h"

namespace {

struct Selection {
  std::vector<std::string> names;
  int finalStepIndex = 0;
  std::string version;
};

Selection Select(uint32_t mode) {
  StepContext context;
  context.mode = mode;
  static StepEntry steps[kMaxSteps];
  const char* version = nullptr;
  EXPECT_EQ(0, GetTestList(&context, steps, &version));
  Selection s;
  for (int i = 0; i < context.stepCount; ++i) s.names.push_back(steps[i].name);
  s.finalStepIndex = context.finalStepIndex;
  s.version = version != nullptr ? version : "";
  return s;
}

const std::vector<std::string> kStationList = {
    "TKtestQ5 Version", "Open Tavrick", "Firmware Version", "Hardware Version", "Read Config File",
    "Connect to TKTest Server", "Read Test Jig Info", "Self Diagnostic", "Check SD Card",
    "Load Recovery Image", "Recovery Version", "Serial Number", "Ethernet MAC", "Check Calibration",
    "Vs and Current", "Vmux", "System Time", "Startup DAQ Settings", "Device Name",
    "Temperature Sensor", "DIO Jig Test", "DAC Test", "WiFi Test", "Ethernet test",
    "AIn Noise (16b counts)", "Calibrate", "Reset", "Test AIn Accuracy", "Save Manufacturing Info",
    "Report Calibraion", "Update Calibration Log", "Report Test Results"};

const std::vector<std::string> kShortList = {"TKtestQ5 Version", "Open Tavrick", "Test DIO Operation",
                                             "Analog Test"};

std::vector<std::string> Without(std::vector<std::string> list, const std::vector<std::string>& drop) {
  std::erase_if(list, [&](const std::string& n) { return std::find(drop.begin(), drop.end(), n) != drop.end(); });
  return list;
}

int IndexOf(const std::vector<std::string>& list, const std::string& name) {
  auto it = std::find(list.begin(), list.end(), name);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

TEST(GetTestList, ModeWordsSelectTheirRows) {
  const std::vector<std::string> noCalibration =
      Without(kStationList, {"Load Recovery Image", "Calibrate", "Save Manufacturing Info", "Report Calibraion",
                             "Update Calibration Log"});
  struct Case {
    uint32_t mode;
    std::vector<std::string> names;
    int finalStepIndex;
  } cases[] = {
      {0x000711E1, kStationList, 30},
      {0x00000400, kShortList, kNoFinalStep},
      {0x000711E1 | 0x400, kShortList, kNoFinalStep},
      {0xFFFFFFFF, kShortList, kNoFinalStep},
      // Jig without the calibration bit: no calibration or record rows, and
      // the server report becomes the final step.
      {0x00070000, noCalibration, IndexOf(noCalibration, "Report Test Results")},
      {0x00000000, {}, kNoFinalStep},
      {0x00000080, {}, kNoFinalStep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "mode 0x" << c.mode);
    Selection s = Select(c.mode);
    EXPECT_EQ(c.names, s.names);
    EXPECT_EQ(c.finalStepIndex, s.finalStepIndex);
  }
}

TEST(GetTestList, ExclusionKeepsDioShortTestOutWithTheJig) {
  Selection withJig = Select(0x00820000);
  EXPECT_EQ(-1, IndexOf(withJig.names, "DIO Short Test"));
  EXPECT_NE(-1, IndexOf(withJig.names, "DIO Jig Test"));
  Selection withoutJig = Select(0x00800000);
  EXPECT_NE(-1, IndexOf(withoutJig.names, "DIO Short Test"));
  EXPECT_NE(-1, IndexOf(withoutJig.names, "Load web pages"));
}

TEST(GetTestList, AllOfMaskPartlyPresentIsNotTaken) {
  // 0x20000 without 0x80: "Calibrate" (all of 0x20080) stays out; 0x80 alone too.
  EXPECT_EQ(-1, IndexOf(Select(0x00020000).names, "Calibrate"));
  EXPECT_EQ(-1, IndexOf(Select(0x00000080).names, "Calibrate"));
  EXPECT_NE(-1, IndexOf(Select(0x00020080).names, "Calibrate"));
  // "Report Calibraion" needs 0x10000 as well.
  EXPECT_EQ(-1, IndexOf(Select(0x00020080).names, "Report Calibraion"));
  EXPECT_NE(-1, IndexOf(Select(0x00030080).names, "Report Calibraion"));
}

TEST(GetTestList, FinalStepFollowsTheCalibrationBitAndMatchesOnTheFunction) {
  StepContext context;
  StepEntry steps[kMaxSteps];
  const char* version = nullptr;
  context.mode = 0x00030080;  // jig, server, calibration
  GetTestList(&context, steps, &version);
  ASSERT_GE(context.finalStepIndex, 0);
  ASSERT_LT(context.finalStepIndex, context.stepCount);
  EXPECT_EQ(StepUpdateCalibrationLog, steps[context.finalStepIndex].function);
  context.mode = 0x00030000;
  GetTestList(&context, steps, &version);
  EXPECT_EQ(StepReportTestResults, steps[context.finalStepIndex].function);
  context.mode = 0x00040000;  // neither final step selected
  GetTestList(&context, steps, &version);
  EXPECT_EQ(kNoFinalStep, context.finalStepIndex);
}

TEST(GetTestList, NeverMoreThanFiftyRows) {
  // Every catalogue row fits: the fullest selection is the 34-row catalogue
  // less the excluded row; the bound still holds for every single-bit mode.
  for (int bit = 0; bit < 32; ++bit) {
    Selection s = Select(1u << bit);
    EXPECT_LE(s.names.size(), 50u);
  }
  EXPECT_EQ(33u, Select(0x00FFFFFF & ~0x400u).names.size());
}

TEST(GetTestList, VersionTextAndVersionStep) {
  EXPECT_EQ("TKtestQ5 1.20", Select(0x000711E1).version);
  StepContext context;
  context.EL = 5;
  StepTKtestQ5Version(&context);
  EXPECT_EQ(kLevelPassed, context.EL);
  EXPECT_STREQ("TKtestQ5 1.20, TKM 1.0100", context.Msg);
}

}  // namespace
