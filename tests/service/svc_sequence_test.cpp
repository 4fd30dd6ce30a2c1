// The control sequence's decisions, row by row: every state against every
// control, then what a finished step reports.
#include <gtest/gtest.h>

#include <string>

#include "service/svc_obj.h"
#include "service/svc_sequence.h"

using namespace qzsvc;

namespace {

using K = TQZControlKind;
using S = TQZStepKind;

struct DecisionRow {
  uint32_t State;
  S Running;
  bool Queued, Stopping, Closed, HookSet;
  K Kind;
  uint32_t Report;
  S Step;
  bool InPlace;
};

const char* Name(K kind) {
  static const char* const names[] = {"ignored",  "interrogate", "stop",      "pause",
                                      "continue", "shutdown",    "preshutdown", "user",
                                      "work ended", "work failed"};
  return names[static_cast<int>(kind)];
}

// Shorthands for the columns: no step, and the states by number.
constexpr S None = S::None;
constexpr bool Y = true, N = false;

const DecisionRow kDecisions[] = {
    // Stopped: no run, or its final report is sent. Nothing is told, nothing taken.
    {1, None, N, N, N, Y, K::Interrogate, 0, None, N},
    {1, None, N, N, N, Y, K::Stop, 0, None, N},
    {1, None, N, N, N, Y, K::Pause, 0, None, N},
    {1, None, N, N, N, Y, K::Continue, 0, None, N},
    {1, None, N, N, N, Y, K::Shutdown, 0, None, N},
    {1, None, N, N, N, Y, K::Preshutdown, 0, None, N},
    {1, None, N, N, N, Y, K::User, 0, None, N},
    {1, None, N, N, N, Y, K::WorkEnded, 0, None, N},
    {1, None, N, N, N, Y, K::WorkFailed, 0, None, N},
    {1, None, N, N, N, Y, K::Ignored, 0, None, N},
    // Starting: every control is answered with the state as it is.
    {2, None, N, N, N, Y, K::Interrogate, 2, None, N},
    {2, None, N, N, N, Y, K::Stop, 2, None, N},
    {2, None, N, N, N, Y, K::Pause, 2, None, N},
    {2, None, N, N, N, Y, K::Continue, 2, None, N},
    {2, None, N, N, N, Y, K::Shutdown, 2, None, N},
    {2, None, N, N, N, Y, K::Preshutdown, 2, None, N},
    {2, None, N, N, N, Y, K::User, 2, None, N},
    {2, None, N, N, N, Y, K::Ignored, 0, None, N},
    // Stopping, with the stop hook running: answered, never taken again;
    // the end of the work leaves the stop to end the run.
    {3, S::Stop, N, Y, N, Y, K::Interrogate, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::Stop, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::Pause, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::Continue, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::Shutdown, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::Preshutdown, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::User, 3, None, N},
    {3, S::Stop, N, Y, N, Y, K::WorkEnded, 0, None, N},
    {3, S::Stop, N, Y, N, Y, K::WorkFailed, 0, None, N},
    {3, S::Stop, N, Y, N, Y, K::Ignored, 0, None, N},
    // Running, idle, hooks set: the pending state at once, the hook queued.
    {4, None, N, N, N, Y, K::Interrogate, 4, None, N},
    {4, None, N, N, N, Y, K::Stop, 3, S::Stop, N},
    {4, None, N, N, N, Y, K::Pause, 6, S::Pause, N},
    {4, None, N, N, N, Y, K::Continue, 5, S::Continue, N},
    {4, None, N, N, N, Y, K::Shutdown, 3, S::Shutdown, N},
    {4, None, N, N, N, Y, K::Preshutdown, 3, S::Shutdown, N},
    {4, None, N, N, N, Y, K::User, 0, S::User, N},
    {4, None, N, N, N, Y, K::WorkEnded, 3, S::Shutdown, N},
    {4, None, N, N, N, Y, K::WorkFailed, 0, S::End, Y},
    {4, None, N, N, N, Y, K::Ignored, 0, None, N},
    // Continuing, its hook running: each control is told its own pending
    // state at once and waits its turn.
    {5, S::Continue, N, N, N, Y, K::Interrogate, 5, None, N},
    {5, S::Continue, N, N, N, Y, K::Stop, 3, S::Stop, N},
    {5, S::Continue, N, N, N, Y, K::Pause, 6, S::Pause, N},
    {5, S::Continue, N, N, N, Y, K::Continue, 5, S::Continue, N},
    {5, S::Continue, N, N, N, Y, K::Shutdown, 3, S::Shutdown, N},
    {5, S::Continue, N, N, N, Y, K::Preshutdown, 3, S::Shutdown, N},
    {5, S::Continue, N, N, N, Y, K::User, 0, S::User, N},
    {5, S::Continue, N, N, N, Y, K::WorkEnded, 3, S::Shutdown, N},
    {5, S::Continue, N, N, N, Y, K::WorkFailed, 3, S::End, N},
    {5, S::Continue, N, N, N, Y, K::Ignored, 0, None, N},
    // Pausing, its hook running.
    {6, S::Pause, N, N, N, Y, K::Interrogate, 6, None, N},
    {6, S::Pause, N, N, N, Y, K::Stop, 3, S::Stop, N},
    {6, S::Pause, N, N, N, Y, K::Pause, 6, S::Pause, N},
    {6, S::Pause, N, N, N, Y, K::Continue, 5, S::Continue, N},
    {6, S::Pause, N, N, N, Y, K::Shutdown, 3, S::Shutdown, N},
    {6, S::Pause, N, N, N, Y, K::Preshutdown, 3, S::Shutdown, N},
    {6, S::Pause, N, N, N, Y, K::User, 0, S::User, N},
    {6, S::Pause, N, N, N, Y, K::WorkEnded, 3, S::Shutdown, N},
    {6, S::Pause, N, N, N, Y, K::WorkFailed, 3, S::End, N},
    {6, S::Pause, N, N, N, Y, K::Ignored, 0, None, N},
    // Paused, idle, hooks set.
    {7, None, N, N, N, Y, K::Interrogate, 7, None, N},
    {7, None, N, N, N, Y, K::Stop, 3, S::Stop, N},
    {7, None, N, N, N, Y, K::Pause, 6, S::Pause, N},
    {7, None, N, N, N, Y, K::Continue, 5, S::Continue, N},
    {7, None, N, N, N, Y, K::Shutdown, 3, S::Shutdown, N},
    {7, None, N, N, N, Y, K::Preshutdown, 3, S::Shutdown, N},
    {7, None, N, N, N, Y, K::User, 0, S::User, N},
    {7, None, N, N, N, Y, K::WorkEnded, 3, S::Shutdown, N},
    {7, None, N, N, N, Y, K::WorkFailed, 0, S::End, Y},
    {7, None, N, N, N, Y, K::Ignored, 0, None, N},
    // An empty slot with nothing under way: carried out at once in place.
    {4, None, N, N, N, N, K::Stop, 3, S::Stop, Y},
    {4, None, N, N, N, N, K::Pause, 6, S::Pause, Y},
    {7, None, N, N, N, N, K::Continue, 5, S::Continue, Y},
    {7, None, N, N, N, N, K::Shutdown, 3, S::Shutdown, Y},
    {4, None, N, N, N, N, K::Preshutdown, 3, S::Shutdown, Y},
    {4, None, N, N, N, N, K::WorkEnded, 3, S::Shutdown, Y},
    {4, None, N, N, N, N, K::User, 0, None, N},
    // ... but queued behind a hook that runs, or a step not yet taken up.
    {4, S::User, N, N, N, N, K::Pause, 6, S::Pause, N},
    {4, S::User, N, N, N, N, K::Stop, 3, S::Stop, N},
    {6, None, Y, N, N, N, K::Continue, 5, S::Continue, N},
    {4, None, Y, N, N, N, K::WorkEnded, 3, S::Shutdown, N},
    {4, S::User, N, N, N, N, K::WorkFailed, 3, S::End, N},
    // Stopping with the stop only queued behind a pause.
    {3, S::Pause, Y, Y, N, Y, K::Continue, 3, None, N},
    {3, S::Pause, Y, Y, N, Y, K::WorkEnded, 0, None, N},
    // Closed: the run's end is decided while the state still shows running.
    {4, None, N, N, Y, Y, K::Interrogate, 4, None, N},
    {4, None, N, N, Y, Y, K::Stop, 4, None, N},
    {4, None, N, N, Y, Y, K::Pause, 4, None, N},
    {4, None, N, N, Y, Y, K::User, 4, None, N},
    {4, None, N, N, Y, Y, K::WorkEnded, 0, None, N},
    // A pause while paused, a continue while running: carried out like any
    // other, with the pending state told and the hook run (the rows of the
    // idle states above), or in place without a hook; behind a change still
    // pending as well.
    {7, None, N, N, N, N, K::Pause, 6, S::Pause, Y},
    {4, None, N, N, N, N, K::Continue, 5, S::Continue, Y},
    {6, S::Pause, N, N, N, Y, K::Pause, 6, S::Pause, N},
    {5, None, Y, N, N, Y, K::Continue, 5, S::Continue, N},
};

TEST(TQZSequenceTest, EveryStateAgainstEveryControl) {
  for (const DecisionRow& row : kDecisions) {
    const TQZSequenceView view = {row.State, row.Running, row.Queued, row.Stopping, row.Closed};
    const TQZDecision got = DecideControl(view, row.Kind, row.HookSet);
    SCOPED_TRACE(std::string(Name(row.Kind)) + " in state " + std::to_string(row.State) +
                 " running " + std::to_string(static_cast<int>(row.Running)) +
                 (row.Queued ? " queued" : "") + (row.Stopping ? " stopping" : "") +
                 (row.Closed ? " closed" : "") + (row.HookSet ? "" : " without hook"));
    EXPECT_EQ(got.ReportNow, row.Report);
    EXPECT_EQ(got.Step, row.Step);
    EXPECT_EQ(got.InPlace, row.InPlace);
  }
}

TEST(TQZSequenceTest, CodesMapToTheControlsTheyAskFor) {
  const struct {
    uint32_t Code;
    bool Preshutdown, UserHook;
    K Kind;
  } rows[] = {
      {0, Y, Y, K::Ignored},          {1, N, N, K::Stop},          {2, N, N, K::Pause},
      {3, N, N, K::Continue},         {4, N, N, K::Interrogate},   {5, N, N, K::Shutdown},
      {6, Y, Y, K::Ignored},          {15, N, Y, K::Ignored},      {15, Y, N, K::Preshutdown},
      {16, Y, Y, K::Ignored},         {127, Y, Y, K::Ignored},     {128, Y, Y, K::User},
      {255, N, Y, K::User},           {128, Y, N, K::Ignored},     {256, Y, Y, K::Ignored},
      {0xFFFFFFFF, Y, Y, K::Ignored},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ClassifyControl(row.Code, row.Preshutdown, row.UserHook), row.Kind)
        << row.Code << " " << row.Preshutdown << " " << row.UserHook;
  }
}

TEST(TQZSequenceTest, FinishedStepReportsItsOutcomeUnlessALaterChangeWasAnnounced) {
  const struct {
    S Step;
    bool Ok;
    uint32_t Settled;
    bool LaterChange, WorkEnded;
    TQZStepEnd End;
  } rows[] = {
      // Pause and continue: the state reached, or refused the one before.
      {S::Pause, Y, 4, N, N, {7, 7, N, N}},
      {S::Pause, N, 4, N, N, {4, 4, N, N}},
      {S::Continue, Y, 7, N, N, {4, 4, N, N}},
      {S::Continue, N, 7, N, N, {7, 7, N, N}},
      // A later pause, continue or stop already told the SCM its pending
      // state, so only the settled state is kept.
      {S::Pause, Y, 4, Y, N, {0, 7, N, N}},
      {S::Continue, N, 7, Y, N, {0, 7, N, N}},
      // A pause while paused, a continue while running: the state asked
      // for is reported after the hook, refused or not, as it is the state
      // before as well.
      {S::Pause, Y, 7, N, N, {7, 7, N, N}},
      {S::Pause, N, 7, N, N, {7, 7, N, N}},
      {S::Continue, Y, 4, N, N, {4, 4, N, N}},
      {S::Continue, N, 4, N, N, {4, 4, N, N}},
      // User controls change nothing.
      {S::User, Y, 7, N, N, {0, 7, N, N}},
      // A stop ends the run, or refused reports the state before it; once
      // the work has ended it cannot be refused.
      {S::Stop, Y, 4, N, N, {0, 4, Y, N}},
      {S::Stop, N, 7, N, N, {7, 7, N, Y}},
      {S::Stop, N, 4, N, Y, {0, 4, Y, N}},
      // Shutdown and the end of failed work have no veto.
      {S::Shutdown, N, 4, N, N, {0, 4, Y, N}},
      {S::End, Y, 7, N, Y, {0, 7, Y, N}},
  };
  for (const auto& row : rows) {
    const TQZStepEnd end = FinishStep(row.Step, row.Ok, row.Settled, row.LaterChange,
                                      row.WorkEnded);
    SCOPED_TRACE(static_cast<int>(row.Step));
    EXPECT_EQ(end.Report, row.End.Report);
    EXPECT_EQ(end.Settled, row.End.Settled);
    EXPECT_EQ(end.RunEnds, row.End.RunEnds);
    EXPECT_EQ(end.StopRefused, row.End.StopRefused);
  }
}

}  // namespace
