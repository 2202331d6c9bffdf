// Quick bench checks: the inhibit check of one digital line group.
#pragma once
#include <cstdint>

#include "sequencer/step_context.h"

// Checks the write-inhibit mask of line group 0..3 in 40 passes. Returns 0
// when all passes matched, the index (0 to 19 within its phase) of the first
// mismatching pass, or 1 after a communication failure (which also sets
// EL 5 and "Comm Error: (code)"). A mismatch at pass 0 also returns 0, so the
// value alone does not tell success; Test DIO Operation uses the detailed
// form below.
int32_t CheckDioGroup(int32_t group, StepContext* context);

struct DioMismatch {
  bool found = false;
  int32_t phase = 0;  // 1 state writes, 2 direction writes
  int32_t pass = 0;   // 0 to 19
  uint16_t read = 0;
  uint16_t expected = 0;
};
// As CheckDioGroup; also reports the mismatch (if any) and whether a
// communication failure ended the check.
int32_t CheckDioGroupDetailed(int32_t group, StepContext* context, DioMismatch* mismatch, bool* commFailed);
