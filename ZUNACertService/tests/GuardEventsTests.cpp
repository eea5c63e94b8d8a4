// The guard's event-log entries: the type of each kind, and at most one entry
// of a repeating kind per 10 minutes, the next one counting those left out.
#include <gtest/gtest.h>

#include "GuardEvents.h"
#include "TestSupport.h"

namespace {

ULONGLONG g_nowMs = 0;

class GuardEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordEventLog(&events);
        g_nowMs = 5000000;
        Platform().TickMs = [] { return g_nowMs; };
    }
    // The note of each entry written, in order.
    std::vector<std::wstring> Notes() const {
        std::vector<std::wstring> notes;
        for (const EventEntry& e : events) notes.push_back(e.strings.back());
        return notes;
    }

    PlatformScope platform;
    std::vector<EventEntry> events;
};

const ULONGLONG kMinute = 60 * 1000;

}  // namespace

TEST_F(GuardEventsTest, OnePerTenMinutesTheNextCountingOnlyThoseLeftOutSinceTheLast) {
    CGuardEvents limited(L"EventsTest");
    // Minutes at which one kind happens: 0 is written, 1 to 9 are left out,
    // 10 is written with the nine, 15 is left out, 20 with that one, 31 alone.
    for (ULONGLONG minute : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 20, 31}) {
        g_nowMs = 5000000 + minute * kMinute;
        limited.Report(GuardEvent::ProgramKilled, {L"path", L"what", L"1"});
    }
    const std::wstring tail = L" more like it in the 10 minutes before were left out.";
    EXPECT_EQ(Notes(), (std::vector<std::wstring>{L"", L" 9" + tail, L" 1" + tail, L""}));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(RenderEvent(events[1]), L"EventsTest: the probe of path got no reply (what); 1 process(es) of that name "
                                      L"were ended and the program is started again. 9" + tail);
}

// Three of each kind in a row: the repeating kinds once, each under its own
// limit and with its note, the others every time and without one.
TEST_F(GuardEventsTest, EachKindHasItsTypeAndTheRepeatingOnesTheirOwnLimit) {
    const struct {
        GuardEvent kind;
        WORD type;
        bool limited;
    } kinds[] = {{GuardEvent::ProgramEnded, EVENTLOG_INFORMATION_TYPE, true},
                 {GuardEvent::ProgramKilled, EVENTLOG_WARNING_TYPE, true},
                 {GuardEvent::LaunchFailed, EVENTLOG_ERROR_TYPE, true},
                 {GuardEvent::ThrottleBegan, EVENTLOG_WARNING_TYPE, true},
                 {GuardEvent::ThrottleEnded, EVENTLOG_INFORMATION_TYPE, true},
                 {GuardEvent::LoopException, EVENTLOG_ERROR_TYPE, true},
                 {GuardEvent::LoopGaveUp, EVENTLOG_ERROR_TYPE, false},
                 {GuardEvent::LogUnavailable, EVENTLOG_WARNING_TYPE, false},
                 {GuardEvent::ProgramMissing, EVENTLOG_WARNING_TYPE, false},
                 {GuardEvent::InstallFolderRights, EVENTLOG_ERROR_TYPE, false},
                 {GuardEvent::InstanceNameTaken, EVENTLOG_WARNING_TYPE, false},
                 {GuardEvent::ProgramMoved, EVENTLOG_INFORMATION_TYPE, false},
                 {GuardEvent::WaitingForUser, EVENTLOG_INFORMATION_TYPE, false},
                 {GuardEvent::EndedWithSession, EVENTLOG_INFORMATION_TYPE, false}};
    CGuardEvents guard(L"EventsTest");
    for (int i = 0; i < 3; ++i) {
        for (const auto& k : kinds) guard.Report(k.kind, {L"x"});
    }
    for (const auto& k : kinds) {
        const std::vector<EventEntry> of = EntriesOf(events, k.kind);
        ASSERT_EQ(of.size(), k.limited ? 1u : 3u) << static_cast<DWORD>(k.kind);
        EXPECT_EQ(of[0].type, k.type) << of[0].id;
        EXPECT_EQ(of[0].strings.size(), k.limited ? 3u : 2u) << of[0].id << ": the note is for repeating kinds only";
        EXPECT_EQ(of[0].source, L"EventsTest");
        EXPECT_EQ(of[0].category, 0);
    }
}

TEST(ExitCodeText, SmallInDecimalCrashesInHex) {
    EXPECT_EQ(ExitCodeText(3), L"3");
    EXPECT_EQ(ExitCodeText(0xFFFF), L"65535");
    EXPECT_EQ(ExitCodeText(0x10000), L"0x00010000");
    EXPECT_EQ(ExitCodeText(0xC0000005), L"0xC0000005");
}
