#include "sequencer/sequencer.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/sockets.h"
#include "sequencer/catalogue.h"
#include "tkm/tkm.h"

const char* LevelName(ResultLevel level) {
  static const char* const kNames[] = {"-", "Running", "Passed", "Warning", "Error", "Fatal", "Skipped"};
  if (level < 0 || level > 6) return "?";
  return kNames[level];
}

void Sequencer::Init() {
  context.mode = 0x000711E1;
  for (const EntryPoint* entry = kEntryPoints; entry->function != nullptr; ++entry) {
    if (entry->kind == 2) {
      entry->function(&context, steps, &versionText);
      break;
    }
  }
  CopyText(overall, sizeof overall, "Not yet run");
  PrintReport();
  context.handle = 0;
  context.usbHandle = 0;
  context.ethernetHandle = 0;
  context.wifiHandle = 0;
  for (auto& line : context.resultLines) line = nullptr;
}

void Sequencer::Run() {
  CopyText(overall, sizeof overall, "** In Progress **");
  bool passing = true;
  int i = 0;
  while (i < context.stepCount) {
    StepEntry& row = steps[i];
    row.level = kLevelRunning;
    PrintReport();
    CopyText(row.details, sizeof row.details, "All functions must fill Msg and EL");
    ConsolePrint("Running Test\r\n");
    if (row.function != nullptr) row.function(&context);
    ConsolePrint("Test Complete\r\n");
    // Msg may be unterminated after a careless step: copy within its size.
    char msg[kMsgSize + 1];
    memcpy(msg, context.Msg, kMsgSize);
    msg[kMsgSize] = '\0';
    CopyText(row.details, sizeof row.details, msg);
    row.level = context.EL;
    BuildResultLine(i);
    if (context.EL != kLevelPassed) passing = false;
    if (context.EL == kLevelFatal) {
      if (i < 3) break;
      int j = i + 1;
      if (j < context.finalStepIndex) {
        int end = context.finalStepIndex < context.stepCount ? context.finalStepIndex : context.stepCount;
        for (int k = j; k < end; ++k) {
          CopyText(steps[k].details, sizeof steps[k].details, "Skipped");
          steps[k].level = kLevelSkipped;
        }
        i = end;
        continue;
      }
    }
    ++i;
  }
  CopyText(overall, sizeof overall, passing ? "** Passed **" : "** Failed **");
  PrintReport();
  SocketCleanup();
}

namespace {
// Prints text followed by blanks up to width characters (none when longer).
void PrintPadded(const char* text, size_t width) {
  ConsolePrint("%s", text);
  for (size_t n = strlen(text); n < width; ++n) ConsolePrint(" ");
}
}  // namespace

void Sequencer::PrintReport() {
  for (int n = 0; n < 20; ++n) ConsolePrint("\r\n");
  ConsolePrint("TKTest %0.02f, ", 0.65);
  ConsolePrint("%s", versionText != nullptr ? versionText : "");
  ConsolePrint("\r\nOverall Result:           ");
  ConsolePrint("%s", overall);
  ConsolePrint("\r\n\r\n");
  ConsolePrint("-TEST-                      -RESULT-    -DETAILS-\r\n");
  for (int row = 0; row < context.stepCount && row < kMaxSteps; ++row) {
    ConsolePrint(" ");
    PrintPadded(steps[row].name != nullptr ? steps[row].name : "", 28);
    PrintPadded(LevelName(steps[row].level), 12);
    ConsolePrint("%s", steps[row].details);
    ConsolePrint("\r\n");
  }
}

void Sequencer::BuildResultLine(int row) {
  if (row < 0 || row >= kMaxSteps) return;
  char* line = lineText[row];
  CopyText(line, kDetailsSize, steps[row].name != nullptr ? steps[row].name : "");
  AppendText(line, kDetailsSize, " : ");
  AppendText(line, kDetailsSize, LevelName(steps[row].level));
  AppendText(line, kDetailsSize, " : ");
  AppendText(line, kDetailsSize, steps[row].details);
  context.resultLines[row] = line;
}

void RunSequencer() {
  Sequencer sequencer;
  sequencer.Init();
  sequencer.Run();
}

int StationMain() {
  PlaceConsoleWindow(0, 0, 840, 680);
  double version = 0;
  TKM_ReadLibraryConfigS("TKM_LIBRARY_VERSION", &version);  // code ignored: 0 shows
  ConsolePrint("TKM Version = %f\r\n\r\n", version);
  RunSequencer();
  return 0;
}
