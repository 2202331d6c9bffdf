// Every test step of the catalogues, one declaration per step function.
// Each group lives in the file named above it.
#pragma once
#include "sequencer/step_context.h"

// Device open and version steps: station/steps/device_open_steps.cpp
int32_t StepOpenTavrick(StepContext* context);
int32_t StepFirmwareVersion(StepContext* context);
int32_t StepHardwareVersion(StepContext* context);

// Station configuration file step: station/server/config_step.cpp
int32_t StepReadConfigFile(StepContext* context);

// Test server connect step: station/server/connect_step.cpp
int32_t StepConnectToServer(StepContext* context);

// Test jig identification: station/steps/jig_identification.cpp
int32_t StepReadTestJigInfo(StepContext* context);

// Power and analog checks: station/steps/power_analog_checks.cpp
int32_t StepSelfDiagnostic(StepContext* context);
int32_t StepVsAndCurrent(StepContext* context);
int32_t StepVmux(StepContext* context);
int32_t StepTemperatureSensor(StepContext* context);
int32_t StepAinNoise(StepContext* context);

// Device settings steps: station/steps/device_settings_steps.cpp
int32_t StepCheckSdCard(StepContext* context);
int32_t StepSystemTime(StepContext* context);
int32_t StepStartupDaqSettings(StepContext* context);
int32_t StepDeviceName(StepContext* context);

// Image discovery and loading steps: station/firmware/image_steps.cpp
int32_t StepLoadRecoveryImage(StepContext* context);
int32_t StepLoadWebPages(StepContext* context);
int32_t StepRecoveryVersion(StepContext* context);

// Serial number and MAC assignment: station/steps/serial_mac_steps.cpp
int32_t StepSerialNumber(StepContext* context);
int32_t StepEthernetMac(StepContext* context);

// Calibration check and reset: station/steps/calibration_check.cpp
int32_t StepCheckCalibration(StepContext* context);
int32_t StepReset(StepContext* context);

// Digital I/O and DAC checks: station/steps/dio_dac_checks.cpp
int32_t StepDioShortTest(StepContext* context);
int32_t StepDioJigTest(StepContext* context);
int32_t StepDacTest(StepContext* context);

// WiFi test: station/steps/wifi_test.cpp
int32_t StepWifiTest(StepContext* context);

// Ethernet test: station/steps/ethernet_test.cpp
int32_t StepEthernetTest(StepContext* context);

// Calibrate: station/steps/calibrate.cpp
int32_t StepCalibrate(StepContext* context);

// Analog input accuracy test: station/steps/accuracy_test.cpp
int32_t StepTestAinAccuracy(StepContext* context);

// Reports and logs: station/steps/reports_and_logs.cpp
int32_t StepSaveManufacturingInfo(StepContext* context);
int32_t StepReportCalibration(StepContext* context);
int32_t StepUpdateCalibrationLog(StepContext* context);
int32_t StepReportTestResults(StepContext* context);

// Quick bench checks: station/steps/quick_bench_checks.cpp
int32_t StepTestDioOperation(StepContext* context);
int32_t StepAnalogTest(StepContext* context);
