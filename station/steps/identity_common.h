// Small pieces shared by the identity and provisioning steps.
#pragma once
#include <cstddef>

#include "platform/console.h"
#include "sequencer/step_context.h"

// Fixed texts go into Msg with this bound.
constexpr size_t kStepTextBound = 200;

// The common exit after a failed exchange: "Comm Error: (code)", level 5.
inline int32_t CommErrorExit(StepContext* context, int code) {
  char number[32];
  FormatText(number, sizeof number, "(%i)", code);
  context->EL = kLevelFatal;
  CopyText(context->Msg, kStepTextBound, "Comm Error: ");
  AppendText(context->Msg, kStepTextBound, number);
  return 1;
}
