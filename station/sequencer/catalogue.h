// The built-in step catalogues and the selection of steps by the mode word.
#pragma once
#include <cstdint>

#include "sequencer/step_context.h"

using TestListFunction = int (*)(StepContext*, StepEntry*, const char**);

struct EntryPoint {
  const char* name;
  int32_t kind;
  TestListFunction function;
};

constexpr uint32_t kSelectAll = 0x40000000;  // the row needs all its mode bits

struct CatalogueEntry {
  const char* name;
  int32_t kind;
  StepFunction function;
  uint32_t selectionMask;
  uint32_t exclusionMask;
};

// Terminated by a row whose function is null.
extern const EntryPoint kEntryPoints[];
extern const CatalogueEntry kFullCatalogue[];
extern const CatalogueEntry kShortCatalogue[];

constexpr double kProgramVersion = 1.20;

// Fills steps (50 rows), stepCount and finalStepIndex from context->mode and
// points *versionOut at the version text. Returns 0.
int GetTestList(StepContext* context, StepEntry* steps, const char** versionOut);

// The step "TKtestQ5 Version".
int32_t StepTKtestQ5Version(StepContext* context);
