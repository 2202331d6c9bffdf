// The record every test step receives, and the step list's row.
#pragma once
#include <cstdint>

class TestServerLink;

// Result levels; their names are printed in the report and the result lines.
using ResultLevel = int32_t;
enum : ResultLevel {
  kLevelNotRun = 0,
  kLevelRunning = 1,
  kLevelPassed = 2,
  kLevelWarning = 3,
  kLevelError = 4,
  kLevelFatal = 5,
  kLevelSkipped = 6,
};
// "-", "Running", "Passed", ...; "?" for a level outside 0 to 6.
const char* LevelName(ResultLevel level);

constexpr int kMaxSteps = 50;
constexpr int kMsgSize = 500;
constexpr int kDetailsSize = 200;
constexpr int32_t kNoFinalStep = 0x10000000;

struct StepContext {
  int32_t handle = 0;
  int32_t usbHandle = 0;
  int32_t ethernetHandle = 0;
  int32_t wifiHandle = 0;
  uint32_t mode = 0;
  ResultLevel EL = 0;
  double firmwareVersion = 0;
  double bootstrapVersion = 0;
  char Msg[kMsgSize] = {};
  int32_t stepCount = 0;
  int32_t jigCode = 0;
  int32_t jigType = 0;
  double jigValues[6] = {};
  TestServerLink* server = nullptr;
  bool isPro = false;
  uint64_t serialNumber = 0;
  int32_t finalStepIndex = 0;
  const char* resultLines[kMaxSteps] = {};
};

// A step's function; the sequencer ignores its return value.
using StepFunction = int32_t (*)(StepContext*);

struct StepEntry {
  const char* name = nullptr;
  ResultLevel level = 0;
  char details[kDetailsSize] = {};
  StepFunction function = nullptr;
};
