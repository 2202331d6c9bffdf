#include "sequencer/catalogue.h"

#include "platform/console.h"
#include "steps/steps.h"
#include "tkm/tkm.h"

const EntryPoint kEntryPoints[] = {
    {"GetTestList", 2, GetTestList},
    {nullptr, 0, nullptr},
};

const CatalogueEntry kFullCatalogue[] = {
    {"TKtestQ5 Version", 2, StepTKtestQ5Version, 0x00840000, 0},
    {"Open Tavrick", 2, StepOpenTavrick, 0x00840400, 0},
    {"Firmware Version", 2, StepFirmwareVersion, 0x00840000, 0},
    {"Hardware Version", 2, StepHardwareVersion, 0x00840000, 0},
    {"Read Config File", 2, StepReadConfigFile, 0x00840000, 0},
    {"Connect to TKTest Server", 2, StepConnectToServer, 0x00010000, 0},
    {"Read Test Jig Info", 2, StepReadTestJigInfo, 0x00020000, 0},
    {"Self Diagnostic", 2, StepSelfDiagnostic, 0x00040000, 0},
    {"Check SD Card", 2, StepCheckSdCard, 0x00840000, 0},
    {"Load Recovery Image", 2, StepLoadRecoveryImage, 0x40020080, 0},
    {"Load web pages", 2, StepLoadWebPages, 0x00800000, 0},
    {"Recovery Version", 2, StepRecoveryVersion, 0x00840000, 0},
    {"Serial Number", 2, StepSerialNumber, 0x00840000, 0},
    {"Ethernet MAC", 2, StepEthernetMac, 0x00840000, 0},
    {"Check Calibration", 2, StepCheckCalibration, 0x00840000, 0},
    {"Vs and Current", 2, StepVsAndCurrent, 0x00040000, 0},
    {"Vmux", 2, StepVmux, 0x00020000, 0},
    {"System Time", 2, StepSystemTime, 0x00840000, 0},
    {"Startup DAQ Settings", 2, StepStartupDaqSettings, 0x00840000, 0},
    {"Device Name", 2, StepDeviceName, 0x00840000, 0},
    {"Temperature Sensor", 2, StepTemperatureSensor, 0x00840000, 0},
    {"DIO Short Test", 2, StepDioShortTest, 0x00800000, 0x00020000},
    {"DIO Jig Test", 2, StepDioJigTest, 0x40020000, 0},
    {"DAC Test", 2, StepDacTest, 0x00020000, 0},
    {"WiFi Test", 2, StepWifiTest, 0x00840000, 0},
    {"Ethernet test", 2, StepEthernetTest, 0x00840000, 0},
    {"AIn Noise (16b counts)", 2, StepAinNoise, 0x00840000, 0},
    {"Calibrate", 2, StepCalibrate, 0x40020080, 0},
    {"Reset", 2, StepReset, 0x00040000, 0},
    {"Test AIn Accuracy", 2, StepTestAinAccuracy, 0x00020000, 0},
    {"Save Manufacturing Info", 2, StepSaveManufacturingInfo, 0x40020080, 0},
    {"Report Calibraion", 2, StepReportCalibration, 0x40030080, 0},
    {"Update Calibration Log", 2, StepUpdateCalibrationLog, 0x40020080, 0},
    {"Report Test Results", 2, StepReportTestResults, 0x00010000, 0},
    {nullptr, 0, nullptr, 0, 0},
};

const CatalogueEntry kShortCatalogue[] = {
    {"TKtestQ5 Version", 2, StepTKtestQ5Version, 0x00000400, 0},
    {"Open Tavrick", 2, StepOpenTavrick, 0x00000400, 0},
    {"Test DIO Operation", 2, StepTestDioOperation, 0x00000400, 0},
    {"Analog Test", 2, StepAnalogTest, 0x00000400, 0},
    {nullptr, 0, nullptr, 0, 0},
};

namespace {
char g_versionText[256];
}

int GetTestList(StepContext* context, StepEntry* steps, const char** versionOut) {
  const uint32_t mode = context->mode;
  const CatalogueEntry* catalogue = (mode & 0x400) != 0 ? kShortCatalogue : kFullCatalogue;
  int count = 0;
  for (const CatalogueEntry* row = catalogue; row->function != nullptr && count < kMaxSteps; ++row) {
    const uint32_t bits = row->selectionMask & 0x00FFFFFF;
    const bool selected = (row->selectionMask & kSelectAll) != 0 ? (mode & bits) == bits : (mode & bits) != 0;
    if (!selected || (row->exclusionMask & mode) != 0) continue;
    StepEntry& step = steps[count++];
    step.name = row->name;
    step.function = row->function;
    step.level = kLevelNotRun;
    step.details[0] = '\0';
  }
  context->finalStepIndex = kNoFinalStep;
  const StepFunction finalStep = (mode & 0x80) != 0 ? StepUpdateCalibrationLog : StepReportTestResults;
  for (int i = 0; i < count; ++i) {
    if (steps[i].function == finalStep) context->finalStepIndex = i;
  }
  char number[128];
  FormatText(number, sizeof number, "%0.02f", kProgramVersion);
  CopyText(g_versionText, sizeof g_versionText, "TKtestQ5 ");
  AppendText(g_versionText, sizeof g_versionText, number);
  *versionOut = g_versionText;
  context->stepCount = count;
  return 0;
}

int32_t StepTKtestQ5Version(StepContext* context) {
  context->EL = kLevelPassed;
  double version = 0;
  TKM_ReadLibraryConfigS("TKM_LIBRARY_VERSION", &version);  // code ignored
  FormatText(context->Msg, kMsgSize, "TKtestQ5 %.02f, TKM %0.04f", kProgramVersion, version);
  return 0;
}
