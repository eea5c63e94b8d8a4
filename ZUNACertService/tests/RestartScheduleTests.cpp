// When the guard starts the program again after a run: rows of runs and what
// the schedule makes of each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RestartSchedule.h"

namespace {

struct RowOfRuns {
    const char* name;
    std::vector<ULONGLONG> runsMs;  // how long each run lasted, one after another
    const char* changes;            // per run: '.' none, 'B' the delay began, 'E' it ended
    DWORD pauseMs;                  // the pause after the last run
};

const RowOfRuns kRows[] = {
    {"FiveShortRunsBeginTheDelay", {1, 1, 1, 1, 9999}, "....B", 6000},
    {"EachFurtherShortRunDoublesIt", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, "....B.....", 192000},
    {"UpToFiveMinutes", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, "....B.......", 300000},
    {"TenSecondsIsNotShort", {1, 1, 1, 1, 10000}, ".....", 3000},
    {"ARunOfTenToSixtySecondsBreaksTheRow", {1, 1, 1, 1, 30000, 1, 1, 1, 1}, ".........", 3000},
    {"ARunOfTenToSixtySecondsLeavesTheDelay", {1, 1, 1, 1, 1, 59999, 1}, "....B..", 12000},
    {"ARunOfSixtySecondsEndsTheDelay", {1, 1, 1, 1, 1, 60000}, "....BE", 3000},
    {"AfterItEndedFiveShortRunsBeginItAgain", {1, 1, 1, 1, 1, 60000, 1, 1, 1, 1, 1}, "....BE....B", 6000},
};

class RestartScheduleRows : public ::testing::TestWithParam<RowOfRuns> {};

}  // namespace

TEST_P(RestartScheduleRows, ChangeAndPauseAfterEachRun) {
    const RowOfRuns& row = GetParam();
    CRestartSchedule schedule;
    std::string changes;
    ULONGLONG now = 1000000;
    for (ULONGLONG ran : row.runsMs) {
        const ULONGLONG start = now + schedule.PauseMs();
        now = start + ran;
        const CRestartSchedule::Change change = schedule.ProgramEnded(start, now);
        changes += change == CRestartSchedule::Change::DelayBegan ? 'B'
                   : change == CRestartSchedule::Change::DelayEnded ? 'E' : '.';
        if (change == CRestartSchedule::Change::DelayBegan) {
            EXPECT_EQ(schedule.ShortRunsInARow(), 5);
        }
        EXPECT_EQ(schedule.NotBeforeMs(), schedule.Delayed() ? now + schedule.PauseMs() : 0) << changes;
    }
    EXPECT_EQ(changes, row.changes);
    EXPECT_EQ(schedule.PauseMs(), row.pauseMs);
}

INSTANTIATE_TEST_SUITE_P(Rows, RestartScheduleRows, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<RowOfRuns>& info) { return info.param.name; });

// A clock read backwards (an end before its start) counts as a short run.
TEST(RestartSchedule, AnEndBeforeItsStartIsAShortRun) {
    CRestartSchedule schedule;
    for (int i = 0; i < 4; ++i) schedule.ProgramEnded(5000, 1000);
    EXPECT_EQ(schedule.ProgramEnded(5000, 1000), CRestartSchedule::Change::DelayBegan);
}

// A new user at the console clears the delay.
TEST(RestartSchedule, ANewUserClearsTheDelay) {
    CRestartSchedule schedule;
    ULONGLONG t = 0;
    for (int i = 0; i < 6; ++i, t += 20000) schedule.ProgramEnded(t, t + 1000);
    ASSERT_TRUE(schedule.Delayed());
    EXPECT_TRUE(schedule.Clear());
    EXPECT_FALSE(schedule.Delayed());
    EXPECT_EQ(schedule.NotBeforeMs(), 0u);
    // The row of short runs starts again from nothing.
    for (int i = 0; i < 4; ++i, t += 20000) {
        EXPECT_EQ(schedule.ProgramEnded(t, t + 1000), CRestartSchedule::Change::None);
    }
    EXPECT_FALSE(schedule.Clear());
}
