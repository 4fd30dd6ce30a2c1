// The stop sequence against a scripted program: which ways are tried, in
// which order, how long each is waited for, and the progress meanwhile.
// Wine cannot deliver console control events between processes, so a
// program that honours Ctrl+Break is shown here.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/stop_steps.h"

namespace {

// A program that ends after one of the ways, or never.
struct ScriptedProgram {
  TQZStopStep EndsAfter = TQZStopStep::None;  // None: never ends by itself
  bool EndedAlready = false;
  bool BreakDelivered = true;
  uint32_t Windows = 1;
  bool TerminateWorks = true;
  // Each way ends the program only after this many ms of waiting.
  uint32_t ReactionMs = 0;

  std::vector<std::string> Calls;
  std::vector<uint32_t> ProgressHints;
  std::vector<std::string> Log;
  bool Ended = false;
  uint32_t WaitedSinceStep = 0;
  uint32_t TotalWaitMs = 0;

  void Step(TQZStopStep step, const char* name) {
    Calls.push_back(name);
    WaitedSinceStep = 0;
    if (step == EndsAfter) Pending = true;
  }

  bool Pending = false;
};

TQZStopTarget Target(ScriptedProgram& p) {
  TQZStopTarget t;
  t.Context = &p;
  t.SendCtrlBreak = [](void* c, uint32_t& error) {
    ScriptedProgram& p = *static_cast<ScriptedProgram*>(c);
    if (!p.BreakDelivered) {
      p.Calls.push_back("break refused");
      error = 6;
      return false;
    }
    p.Step(TQZStopStep::CtrlBreak, "break");
    return true;
  };
  t.CloseWindows = [](void* c, uint32_t& windows) {
    ScriptedProgram& p = *static_cast<ScriptedProgram*>(c);
    windows = p.Windows;
    if (p.Windows == 0) {
      p.Calls.push_back("no windows");
      return false;
    }
    p.Step(TQZStopStep::Close, "close");
    return true;
  };
  t.Terminate = [](void* c, uint32_t& error) {
    ScriptedProgram& p = *static_cast<ScriptedProgram*>(c);
    if (!p.TerminateWorks) {
      p.Calls.push_back("terminate failed");
      error = 5;
      return false;
    }
    p.Step(TQZStopStep::Terminate, "terminate");
    return true;
  };
  t.WaitForExit = [](void* c, uint32_t ms) {
    ScriptedProgram& p = *static_cast<ScriptedProgram*>(c);
    if (p.EndedAlready || p.Ended) return true;
    if (p.Pending && p.WaitedSinceStep + ms >= p.ReactionMs) {
      const uint32_t used = p.ReactionMs > p.WaitedSinceStep ? p.ReactionMs - p.WaitedSinceStep : 0;
      p.TotalWaitMs += used;
      p.Ended = true;
      return true;
    }
    p.WaitedSinceStep += ms;
    p.TotalWaitMs += ms;
    return false;
  };
  t.Progress = [](void* c, uint32_t hint) {
    static_cast<ScriptedProgram*>(c)->ProgressHints.push_back(hint);
  };
  t.Log = [](void* c, const TQZString& line) {
    static_cast<ScriptedProgram*>(c)->Log.push_back(line.Text());
  };
  return t;
}

TQZStopSettings Timeouts(uint32_t ctrlBreak, uint32_t close, uint32_t terminate) {
  TQZStopSettings s;
  s.CtrlBreak = ctrlBreak;
  s.Close = close;
  s.Terminate = terminate;
  return s;
}

using Calls = std::vector<std::string>;

TEST(TQZStopStepsTest, AProgramThatHonoursCtrlBreakEndsWithoutTheLaterWays) {
  ScriptedProgram p;
  p.EndsAfter = TQZStopStep::CtrlBreak;
  p.ReactionMs = 2500;
  TQZStopStep endedBy;
  EXPECT_TRUE(RunStopSteps(Timeouts(10, 5, 5), Target(p), endedBy));
  EXPECT_EQ(TQZStopStep::CtrlBreak, endedBy);
  EXPECT_EQ(Calls({"break"}), p.Calls);
  EXPECT_EQ(2500u, p.TotalWaitMs);
  EXPECT_EQ((std::vector<std::string>{"stop: Ctrl+Break sent, waiting up to 10 s",
                                      "stop: the program ended after Ctrl+Break"}),
            p.Log);
}

TEST(TQZStopStepsTest, AProgramThatIgnoresEverythingIsEndedAfterEachTimeout) {
  ScriptedProgram p;
  p.EndsAfter = TQZStopStep::Terminate;
  TQZStopStep endedBy;
  EXPECT_TRUE(RunStopSteps(Timeouts(3, 2, 5), Target(p), endedBy));
  EXPECT_EQ(TQZStopStep::Terminate, endedBy);
  EXPECT_EQ(Calls({"break", "close", "terminate"}), p.Calls);
  // Ctrl+Break's 3 s and the close's 2 s were waited out in full.
  EXPECT_EQ(5000u, p.TotalWaitMs);
}

TEST(TQZStopStepsTest, EverySliceOfAWaitTellsTheScmTheStopGoesOn) {
  ScriptedProgram p;
  p.EndsAfter = TQZStopStep::Terminate;
  p.ReactionMs = 1500;
  TQZStopStep endedBy;
  ASSERT_TRUE(RunStopSteps(Timeouts(4, 3, 5), Target(p), endedBy));
  // 4 + 3 slices of a second, then two for the terminate's 1.5 s: no wait
  // of more than a slice without a report, and each hint covers the slice.
  EXPECT_EQ(9u, p.ProgressHints.size());
  for (uint32_t hint : p.ProgressHints) EXPECT_GT(hint, StopSliceMs);
}

TEST(TQZStopStepsTest, AWayThatCannotBeUsedMovesOnWithoutWaiting) {
  const struct {
    bool BreakDelivered;
    uint32_t Windows;
    TQZStopStep EndsAfter;
    Calls Expected;
    uint32_t Waited;
  } rows[] = {
      // Wine: the console event is refused; the close message ends it.
      {false, 1, TQZStopStep::Close, {"break refused", "close"}, 0},
      // A console program without windows: straight on to the end.
      {true, 0, TQZStopStep::Terminate, {"break", "no windows", "terminate"}, 10000},
      {false, 0, TQZStopStep::Terminate, {"break refused", "no windows", "terminate"}, 0},
  };
  for (const auto& row : rows) {
    ScriptedProgram p;
    p.BreakDelivered = row.BreakDelivered;
    p.Windows = row.Windows;
    p.EndsAfter = row.EndsAfter;
    TQZStopStep endedBy;
    EXPECT_TRUE(RunStopSteps(Timeouts(10, 5, 5), Target(p), endedBy));
    EXPECT_EQ(row.EndsAfter, endedBy);
    EXPECT_EQ(row.Expected, p.Calls);
    EXPECT_EQ(row.Waited, p.TotalWaitMs);
  }
}

TEST(TQZStopStepsTest, AZeroTimeoutSkipsItsWay) {
  ScriptedProgram p;
  p.EndsAfter = TQZStopStep::Terminate;
  TQZStopStep endedBy;
  EXPECT_TRUE(RunStopSteps(Timeouts(0, 0, 5), Target(p), endedBy));
  EXPECT_EQ(Calls({"terminate"}), p.Calls);
  EXPECT_EQ(0u, p.TotalWaitMs);
}

TEST(TQZStopStepsTest, AProgramAlreadyEndedIsSentNothing) {
  ScriptedProgram p;
  p.EndedAlready = true;
  TQZStopStep endedBy = TQZStopStep::Close;
  EXPECT_TRUE(RunStopSteps(Timeouts(10, 5, 5), Target(p), endedBy));
  EXPECT_EQ(TQZStopStep::None, endedBy);
  EXPECT_TRUE(p.Calls.empty());
}

TEST(TQZStopStepsTest, AProgramThatOutlivesTheEndIsReportedNotEnded) {
  ScriptedProgram p;  // ends after nothing
  TQZStopStep endedBy;
  EXPECT_FALSE(RunStopSteps(Timeouts(1, 1, 2), Target(p), endedBy));
  EXPECT_EQ(4000u, p.TotalWaitMs);
  EXPECT_EQ("stop: the program has not ended", p.Log.back());

  ScriptedProgram q;
  q.TerminateWorks = false;
  EXPECT_FALSE(RunStopSteps(Timeouts(1, 1, 2), Target(q), endedBy));
  EXPECT_EQ(Calls({"break", "close", "terminate failed"}), q.Calls);
}

}  // namespace
