// Where the program must run, on fake sessions: user A in session 1, user B
// in session 2, the logon screen in session 3, a detached console. And the
// stretches of failing launches on a fake clock.
#include <gtest/gtest.h>

#include "LaunchFailures.h"
#include "SessionPolicy.h"

namespace {

const DWORD kNone = CSessionPolicy::kNoSession;

struct MoveCase {
    const char* what;
    DWORD program;
    ConsoleView console;
    bool move;
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.what; }

class MoveTest : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MoveTest, TheCopyFollowsTheUserAtTheConsole) {
    const MoveCase& c = GetParam();
    EXPECT_EQ(CSessionPolicy::MustMove(c.program, c.console), c.move) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Consoles, MoveTest,
                         ::testing::Values(MoveCase{"A stays at the console", 1, {1, true}, false},
                                           MoveCase{"B takes the console", 1, {2, true}, true},
                                           MoveCase{"the logon screen", 1, {3, false}, false},
                                           MoveCase{"a detached console", 1, {kNone, false}, false},
                                           MoveCase{"a detached console, whatever is said", 1, {kNone, true}, false}));

TEST(SessionPolicy, LooksUpAUserOnlyForAnotherAttachedSession) {
    EXPECT_FALSE(CSessionPolicy::NeedsUserLookup(1, 1));
    EXPECT_FALSE(CSessionPolicy::NeedsUserLookup(1, kNone));
    EXPECT_TRUE(CSessionPolicy::NeedsUserLookup(1, 2));
    CSessionPolicy policy;
    EXPECT_TRUE(policy.NeedsUserLookup(1));
    policy.NewUserAtConsole({1, true});
    EXPECT_FALSE(policy.NeedsUserLookup(1)) << "the user seen last needs no look-up each cycle";
    EXPECT_FALSE(policy.NeedsUserLookup(kNone));
    EXPECT_TRUE(policy.NeedsUserLookup(3));
}

TEST(SessionPolicy, ARunEndsWithItsSessionAtALogoffOrASwitch) {
    EXPECT_FALSE(CSessionPolicy::EndedWithSession(1, 1, true)) << "A's program ended by itself";
    EXPECT_TRUE(CSessionPolicy::EndedWithSession(1, 1, false)) << "A logged off";
    EXPECT_TRUE(CSessionPolicy::EndedWithSession(1, 3, false)) << "A logged off, the logon screen shows";
    EXPECT_TRUE(CSessionPolicy::EndedWithSession(1, 2, true)) << "B has the console";
    EXPECT_FALSE(CSessionPolicy::EndedWithSession(1, kNone, true)) << "detached a moment";
}

TEST(SessionPolicy, ANewUserIsAnotherSessionWithAUser) {
    CSessionPolicy policy;
    const std::pair<ConsoleView, bool> steps[] = {
        {{1, true}, false},      // A, at the service's start: nothing to clear
        {{1, true}, false},      // A again
        {{kNone, false}, false}, // detached
        {{3, false}, false},     // the logon screen
        {{2, true}, true},       // B
        {{2, true}, false},      // B again
        {{1, true}, true},       // A back
    };
    for (const auto& step : steps) {
        EXPECT_EQ(policy.NewUserAtConsole(step.first), step.second) << step.first.session;
    }
}

// A stretch's tries and length over days, and one error giving way to the
// next, are the simulated loop's case; here, how a start ends a stretch.
TEST(LaunchFailures, AStartEndsTheStretchAndTheSameErrorBeginsAnew) {
    CLaunchFailures failures;
    CLaunchFailures::Stretch ended;
    EXPECT_TRUE(failures.Failed("CreateProcessAsUser", 740, 10000, &ended));
    EXPECT_FALSE(ended.ended);
    EXPECT_FALSE(failures.Failed("CreateProcessAsUser", 740, 13000, &ended));
    const CLaunchFailures::Stretch last = failures.Started(16000);
    ASSERT_TRUE(last.ended);
    EXPECT_EQ(last.error, 740u);
    EXPECT_EQ(last.tries, 2u);
    EXPECT_EQ(last.ms, 6000u);
    EXPECT_FALSE(failures.Started(20000).ended) << "a start after a start ends nothing";
    EXPECT_TRUE(failures.Failed("CreateProcessAsUser", 740, 30000, &ended)) << "after a start the same error begins anew";
}

TEST(LaunchFailures, NobodyAtTheConsoleIsNoUserToken) {
    EXPECT_TRUE(CLaunchFailures::NobodyAtConsole("WTSQueryUserToken", ERROR_NO_TOKEN));
    EXPECT_FALSE(CLaunchFailures::NobodyAtConsole("WTSQueryUserToken", ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CLaunchFailures::NobodyAtConsole("CreateProcessAsUser", ERROR_NO_TOKEN));
}

}  // namespace
