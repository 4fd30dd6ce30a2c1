// The restart policy's decisions, run by run, as tables.
#include <vector>

#include <gtest/gtest.h>

#include "host/restart_policy.h"

namespace {

const TQZRestartAction R = TQZRestartAction::Restart;
const TQZRestartAction Clean = TQZRestartAction::StopClean;
const TQZRestartAction Failed = TQZRestartAction::StopFailed;

// One run's end and what the policy should answer.
struct Row {
  uint32_t ExitCode;
  uint64_t RunSeconds;
  uint64_t Now;
  TQZRestartAction Action;
  uint32_t Delay;
  uint32_t RecentFailures;
};

TQZRestartSettings Settings(TQZRestartMode mode, uint32_t limit = 60, uint32_t resetAfter = 60,
                            uint32_t maxFailures = 5, uint32_t window = 300) {
  TQZRestartSettings s;
  s.Mode = mode;
  s.DelayLimit = limit;
  s.ResetAfter = resetAfter;
  s.MaxFailures = maxFailures;
  s.FailureWindow = window;
  return s;
}

void ExpectRows(const TQZRestartSettings& settings, const std::vector<Row>& rows) {
  TQZRestartPolicy policy(settings);
  int n = 0;
  for (const Row& row : rows) {
    ++n;
    const TQZRestartDecision d = policy.Decide(row.ExitCode, row.RunSeconds, row.Now);
    EXPECT_EQ(row.Action, d.Action) << "run " << n;
    EXPECT_EQ(row.Delay, d.DelaySeconds) << "run " << n;
    EXPECT_EQ(row.RecentFailures, d.RecentFailures) << "run " << n;
  }
}

TEST(TQZRestartPolicyTest, QuickFailuresDoubleTheDelayUpToTheLimit) {
  ExpectRows(Settings(TQZRestartMode::OnFailure, 10, 60, 0), {
      {1, 0, 100, R, 1, 1},
      {1, 0, 101, R, 2, 2},
      {1, 0, 103, R, 4, 3},
      {1, 0, 107, R, 8, 4},
      {1, 0, 115, R, 10, 5},
      {1, 0, 125, R, 10, 6},
  });
}

TEST(TQZRestartPolicyTest, ALimitBelowADoubledDelayIsStillReached) {
  ExpectRows(Settings(TQZRestartMode::OnFailure, 5, 60, 0), {
      {1, 0, 0, R, 1, 1}, {1, 0, 1, R, 2, 2}, {1, 0, 3, R, 4, 3}, {1, 0, 7, R, 5, 4},
  });
  ExpectRows(Settings(TQZRestartMode::OnFailure, 1, 60, 0), {
      {1, 0, 0, R, 1, 1}, {1, 0, 1, R, 1, 2},
  });
}

TEST(TQZRestartPolicyTest, ALongRunRestartsAtOnceAndStartsTheDelaysAgain) {
  ExpectRows(Settings(TQZRestartMode::OnFailure, 60, 30, 0), {
      {1, 1, 10, R, 1, 1},
      {1, 1, 12, R, 2, 2},
      {1, 1, 15, R, 4, 3},
      {1, 30, 50, R, 0, 4},
      {1, 29, 80, R, 1, 5},
      {1, 1, 82, R, 2, 6},
  });
}

TEST(TQZRestartPolicyTest, TooManyFailuresWithinTheWindowEndTheServiceAsFailed) {
  ExpectRows(Settings(TQZRestartMode::OnFailure, 60, 60, 3, 100), {
      {7, 0, 0, R, 1, 1},
      {7, 0, 1, R, 2, 2},
      {7, 0, 3, Failed, 0, 3},
  });
  // Failures that left the window no longer count.
  ExpectRows(Settings(TQZRestartMode::OnFailure, 60, 60, 3, 100), {
      {7, 0, 0, R, 1, 1},
      {7, 0, 50, R, 2, 2},
      {7, 0, 100, R, 4, 2},
      {7, 0, 149, Failed, 0, 3},
  });
}

TEST(TQZRestartPolicyTest, NoLimitOnFailuresMeansTheHostNeverGivesUp) {
  std::vector<Row> rows;
  for (uint32_t i = 0; i < 50; ++i) rows.push_back({3, 0, i, R, i < 6 ? 1u << i : 60, i + 1});
  ExpectRows(Settings(TQZRestartMode::OnFailure, 60, 60, 0), rows);
}

TEST(TQZRestartPolicyTest, EachModeDecidesOnCleanExitsAndFailures) {
  // on-failure: a clean exit ends the service cleanly.
  ExpectRows(Settings(TQZRestartMode::OnFailure), {{1, 0, 0, R, 1, 1}, {0, 0, 1, Clean, 0, 1}});
  // never: the first end ends the service, failed or clean.
  ExpectRows(Settings(TQZRestartMode::Never), {{2, 0, 0, Failed, 0, 1}});
  ExpectRows(Settings(TQZRestartMode::Never), {{0, 100, 0, Clean, 0, 0}});
  // always: clean exits restart with the same delays, and do not count as
  // failures, so they never make the host give up.
  ExpectRows(Settings(TQZRestartMode::Always, 60, 60, 2), {
      {0, 0, 0, R, 1, 0},
      {0, 0, 1, R, 2, 0},
      {0, 0, 3, R, 4, 0},
      {0, 90, 100, R, 0, 0},
      {5, 0, 101, R, 1, 1},
      {5, 0, 102, Failed, 0, 2},
  });
}

TEST(TQZRestartPolicyTest, CrashCodesAreFailuresLikeAnyOtherNonZeroCode) {
  ExpectRows(Settings(TQZRestartMode::OnFailure, 60, 60, 2), {
      {0xC0000005u, 0, 0, R, 1, 1},
      {0xFFFFFFFFu, 0, 1, Failed, 0, 2},
  });
}

}  // namespace
