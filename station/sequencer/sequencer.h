// The one sequencer of a run: builds the step list, runs it under the fatal
// rule and redraws the console report.
#pragma once
#include "sequencer/step_context.h"

class Sequencer {
 public:
  // Sets the start values, fills the step list and prints the first report.
  void Init();
  // Runs the steps, sets the overall result and prints the final report.
  void Run();
  void PrintReport();
  void BuildResultLine(int row);

  StepContext context;
  StepEntry steps[kMaxSteps];
  char lineText[kMaxSteps][kDetailsSize] = {};
  char overall[kDetailsSize] = {};
  const char* versionText = nullptr;
};

// Creates the sequencer on its stack and runs it.
void RunSequencer();
// The program entry without the final key (for tests): returns 0.
int StationMain();
