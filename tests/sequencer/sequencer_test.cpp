// The run loop's fatal rule and the console report, with step lists made
// for the test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "sequencer/sequencer.h"

namespace {

class CaptureConsole : public ConsoleSink {
 public:
  CaptureConsole() { SetConsoleSink(this); }
  ~CaptureConsole() override { SetConsoleSink(nullptr); }
  void Write(const char* text, size_t length) override { out.append(text, length); }
  std::string out;
};

// Scripted steps: each call records the row it ran and takes its level and
// message from the script.
struct Script {
  std::vector<ResultLevel> levels;
  std::vector<int> ran;
};
Script* g_script = nullptr;
int g_callIndex = 0;

int32_t ScriptedStep(StepContext* context) {
  int row = g_callIndex++;
  g_script->ran.push_back(row);
  ResultLevel level = g_script->levels.at(static_cast<size_t>(row));
  if (level >= 0) {
    context->EL = level;
    FormatText(context->Msg, kMsgSize, "step %d", row);
  }  // level < 0: leave EL and Msg as they were
  return 0;
}

// Runs a sequencer over n scripted rows; the script's rows are looked up by
// the position of the row in the list (steps record their own index).
struct Runner {
  Sequencer seq;
  Script script;
  std::vector<std::string> names;
  CaptureConsole console;

  void Run(const std::vector<ResultLevel>& levels, int finalStepIndex) {
    script.levels = levels;
    g_script = &script;
    names.clear();
    for (size_t i = 0; i < levels.size(); ++i) names.push_back("Row " + std::to_string(i));
    seq.context.stepCount = static_cast<int32_t>(levels.size());
    seq.context.finalStepIndex = finalStepIndex;
    for (size_t i = 0; i < levels.size(); ++i) {
      seq.steps[i].name = names[i].c_str();
      seq.steps[i].function = RowStep;
    }
    seq.Run();
    g_script = nullptr;
  }

  static int32_t RowStep(StepContext* context);
};

// Finds its own row by the sequencer's "Running" level.
Sequencer* g_seq = nullptr;
int32_t Runner::RowStep(StepContext* context) {
  for (int i = 0; i < g_seq->context.stepCount; ++i) {
    if (g_seq->steps[i].level == kLevelRunning) {
      g_callIndex = i;
      return ScriptedStep(context);
    }
  }
  ADD_FAILURE() << "no running row";
  return 0;
}

class RunLoop : public testing::Test {
 protected:
  void SetUp() override { g_seq = &runner.seq; }
  Runner runner;
  const StepEntry& Row(int i) { return runner.seq.steps[i]; }
};

TEST_F(RunLoop, EmptyListPasses) {
  runner.Run({}, kNoFinalStep);
  EXPECT_STREQ("** Passed **", runner.seq.overall);
}

TEST_F(RunLoop, WarningAndErrorFailTheVerdictButTheRunGoesOn) {
  for (ResultLevel level : {kLevelWarning, kLevelError}) {
    Runner r;
    g_seq = &r.seq;
    r.Run({2, level, 2, 2}, kNoFinalStep);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), r.script.ran);
    EXPECT_STREQ("** Failed **", r.seq.overall);
    EXPECT_EQ(level, r.seq.steps[1].level);
  }
}

TEST_F(RunLoop, AllPassedPasses) {
  runner.Run({2, 2, 2}, kNoFinalStep);
  EXPECT_STREQ("** Passed **", runner.seq.overall);
  EXPECT_STREQ("Row 1 : Passed : step 1", runner.seq.context.resultLines[1]);
}

TEST_F(RunLoop, FatalInFirstThreeRowsStopsAtOnce) {
  for (int fatalRow = 0; fatalRow < 3; ++fatalRow) {
    Runner r;
    g_seq = &r.seq;
    std::vector<ResultLevel> levels(8, kLevelPassed);
    levels[static_cast<size_t>(fatalRow)] = kLevelFatal;
    r.Run(levels, 6);
    SCOPED_TRACE(fatalRow);
    EXPECT_EQ(static_cast<size_t>(fatalRow + 1), r.script.ran.size());
    for (int k = fatalRow + 1; k < 8; ++k) {
      EXPECT_EQ(kLevelNotRun, r.seq.steps[k].level);
      EXPECT_STREQ("", r.seq.steps[k].details);
      EXPECT_EQ(nullptr, r.seq.context.resultLines[k]);
    }
    EXPECT_STREQ("** Failed **", r.seq.overall);
  }
}

TEST_F(RunLoop, FatalFromRowThreeSkipsToTheFinalStep) {
  runner.Run({2, 2, 2, 2, kLevelFatal, 2, 2, 2, 2}, 7);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 7, 8}), runner.script.ran);
  for (int k : {5, 6}) {
    EXPECT_EQ(kLevelSkipped, Row(k).level);
    EXPECT_STREQ("Skipped", Row(k).details);
    EXPECT_EQ(nullptr, runner.seq.context.resultLines[k]);
  }
  EXPECT_EQ(kLevelPassed, Row(7).level);
  EXPECT_NE(nullptr, runner.seq.context.resultLines[8]);
}

TEST_F(RunLoop, FatalAtOrAfterTheFinalStepMarksNothing) {
  runner.Run({2, 2, 2, 2, kLevelFatal, kLevelFatal, 2}, 4);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6}), runner.script.ran);
  for (int k = 0; k < 7; ++k) EXPECT_NE(kLevelSkipped, Row(k).level);
}

TEST_F(RunLoop, FatalWithoutFinalStepSkipsEveryLaterRow) {
  runner.Run({2, 2, 2, kLevelFatal, 2, 2}, kNoFinalStep);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), runner.script.ran);
  EXPECT_EQ(kLevelSkipped, Row(4).level);
  EXPECT_EQ(kLevelSkipped, Row(5).level);
}

TEST_F(RunLoop, LevelAndMessageCarryOverWhenAStepLeavesThemUnchanged) {
  runner.Run({kLevelWarning, -1}, kNoFinalStep);
  EXPECT_EQ(kLevelWarning, Row(1).level);
  EXPECT_STREQ("step 0", Row(1).details);
}

TEST_F(RunLoop, LongMessagesAreCutTo199Characters) {
  static std::string longText(450, 'x');
  struct Long {
    static int32_t Step(StepContext* c) {
      c->EL = 2;
      CopyText(c->Msg, kMsgSize, longText.c_str());
      return 0;
    }
  };
  runner.seq.context.stepCount = 1;
  runner.seq.context.finalStepIndex = kNoFinalStep;
  runner.seq.steps[0].name = "A step whose name is rather long indeed";
  runner.seq.steps[0].function = Long::Step;
  runner.seq.Run();
  EXPECT_EQ(199u, strlen(Row(0).details));
  EXPECT_EQ(199u, strlen(runner.seq.context.resultLines[0]));
}

TEST(Report, PrintedByteForByte) {
  Sequencer seq;
  const char* version = "TKtestQ5 1.20";
  seq.versionText = version;
  CopyText(seq.overall, sizeof seq.overall, "** Failed **");
  seq.context.stepCount = 3;
  seq.steps[0].name = "Open Tavrick";
  seq.steps[0].level = kLevelPassed;
  CopyText(seq.steps[0].details, kDetailsSize, "Q5-Pro 100%");
  seq.steps[1].name = "A name of exactly 28 chars!!";  // 28 characters
  seq.steps[1].level = kLevelRunning;
  CopyText(seq.steps[1].details, kDetailsSize, "%s %i");
  seq.steps[2].name = "Report Calibraion";
  seq.steps[2].level = kLevelSkipped;
  CopyText(seq.steps[2].details, kDetailsSize, "Skipped");
  CaptureConsole console;
  seq.PrintReport();
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "\r\n";
  expected +=
      "TKTest 0.65, TKtestQ5 1.20"
      "\r\nOverall Result:           ** Failed **\r\n\r\n"
      "-TEST-                      -RESULT-    -DETAILS-\r\n"
      " Open Tavrick                Passed      Q5-Pro 100%\r\n"
      " A name of exactly 28 chars!!Running     %s %i\r\n"
      " Report Calibraion           Skipped     Skipped\r\n";
  EXPECT_EQ(expected, console.out);
}

TEST(Report, InitShowsEveryRowNotRunAndStartsHandlesAtZero) {
  CaptureConsole console;
  Sequencer seq;
  seq.context.handle = 7;
  seq.Init();
  EXPECT_EQ(0x000711E1u, seq.context.mode);
  EXPECT_EQ(32, seq.context.stepCount);
  EXPECT_EQ(0, seq.context.handle);
  EXPECT_STREQ("Not yet run", seq.overall);
  EXPECT_NE(std::string::npos, console.out.find("Overall Result:           Not yet run\r\n"));
  EXPECT_NE(std::string::npos, console.out.find(" Report Test Results         -           \r\n"));
}

}  // namespace
