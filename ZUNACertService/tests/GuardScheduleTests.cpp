// The watch loop's schedule in simulated time: the clock and the pauses are
// fakes, the program's presence is scripted and each probe is recorded.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "CZUNACertService.h"
#include "SimulatedGuard.h"
#include "TestSupport.h"

namespace {

SimulatedWorld* g_world = nullptr;
const ProbeOutcome kNoConnection{"", 7, 0};
const std::wstring kGuarded = L"ZUNATAVLService.exe";

class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // No program in this folder, whatever an earlier run left, and none
        // running that a kill would count.
        KillAllNamed(kGuarded);
        ::DeleteFileW(program.c_str());
        ASSERT_EQ(::GetFileAttributesW(program.c_str()), INVALID_FILE_ATTRIBUTES) << "a program left in the folder";
        g_world = &world;
        RecordEventLog(&events);
        RecordStatus(&statuses);
        InstallSimulatedWorld(&world);
    }
    void TearDown() override { g_world = nullptr; }

    // Runs the loop through `seconds` of simulated time, then stops it.
    void Run(long long seconds) {
        CZUNACertService service(L"ScheduleTest");
        RunInSimulatedTime(world, service, seconds);
    }
    std::vector<EventEntry> Entries(GuardEvent id) { return EntriesOf(events, id); }
    const std::wstring program = GetModuleDirectory() + L"\\" + kGuarded;

    SimulatedWorld world;
    PlatformScope platform;
    std::vector<EventEntry> events;
    std::vector<SERVICE_STATUS> statuses;
};

}  // namespace

// Each cycle takes one simulated second here, so a probe comes in the first
// cycle that finds 30 s gone on the tick count. The interval is read on the
// tick count alone, so a wall clock set back or forward an hour (the time
// service, an administrator, a restored snapshot) has nothing to act on. What
// the tick count itself does on Windows: it passes 2^32 ms after 49.7 days of
// uptime, and it counts a sleep or hibernation, so it jumps forward an hour at
// a resume. Neither silences the probe nor brings a burst of them.
TEST_F(ScheduleTest, ProbesEveryThirtySecondsWhateverTheTickCountDoes) {
    world.tickBase = 0x100000000ULL - 45000;  // 32 bits run out 45 s in
    world.tickJump = [](long long ms) { return ms >= 100000 ? 3600 * 1000LL : 0LL; };
    Run(200);
    EXPECT_EQ(world.probes, (std::vector<long long>{30, 60, 90, 100, 130, 160, 190}));
    EXPECT_EQ(world.scans, 2 * world.pauses[1000]) << "both scans in every cycle";
    EXPECT_EQ(world.pauses[2000], 0);
}

TEST_F(ScheduleTest, MissingProgramDoesNotMoveTheLastProbe) {
    // Missing from 10 s to 50 s: each cycle tries a launch (it fails: no
    // program in this folder) and pauses 2 s more.
    world.presence = [](long long ms) {
        return ms < 10000 || ms >= 50000 ? ProgramPresence::Running : ProgramPresence::Absent;
    };
    Run(100);
    ASSERT_GE(world.probes.size(), 1u);
    EXPECT_GE(world.probes[0], 50);
    EXPECT_LE(world.probes[0], 52) << "probed in the first cycle that found it again";
    EXPECT_GT(world.pauses[2000], 5);
    EXPECT_EQ(LastGuardRecord(211), "CreateProcessAsUser %d [2]") << "the program is not in the guard's folder";
}

TEST_F(ScheduleTest, EmptyReplyRestartsAndRestartsTheInterval) {
    world.outcome = kNoConnection;
    Run(100);
    ASSERT_GE(world.probes.size(), 2u);
    // Kill, 2 s pause, a launch (it fails here), then the interval starts again.
    EXPECT_EQ(world.probes[0], 30);
    EXPECT_EQ(world.probes[1], 62);
    EXPECT_EQ(world.pauses[2000], static_cast<int>(world.probes.size()));
    bool emptyLogged = false;
    for (const LogRecord& r : GuardRecords(368)) emptyLogged |= r.message.empty();
    EXPECT_TRUE(emptyLogged);
}

TEST_F(ScheduleTest, ReplyIsLoggedEscapedAndCut) {
    // A line shaped like the record of an empty reply, then 1 MiB.
    world.outcome.body = "{}\r\n[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] \r\n" +
                  std::string(1024 * 1024, 'x');
    const size_t before = ReadLogFile().size();
    Run(35);
    ASSERT_EQ(world.probes.size(), 1u);
    EXPECT_LT(ReadLogFile().size() - before, 4096u) << "a probe writes two such records; 8 KiB at most";
    const std::string head =
        "{}\\r\\n[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] \\r\\n";
    EXPECT_EQ(LastGuardRecord(368), head + std::string(1024 - head.size(), 'x') + "...(" +
                                        std::to_string(world.outcome.body.size()) + " bytes) [0]");
}

TEST_F(ScheduleTest, StartAndStopWriteTheirEntriesAndRecords) {
    Run(3);
    // The base's entries: event 0, category 0, the service name and the text.
    const std::vector<EventEntry> base = EntriesOf(events, 0);
    ASSERT_EQ(base.size(), 3u);
    const std::vector<std::wstring> texts{L"CZUNACertService in OnStart", GetModuleDirectory(),
                                          L"CZUNACertService in OnStop"};
    for (size_t i = 0; i < base.size(); ++i) {
        EXPECT_EQ(base[i].type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(base[i].category, 0);
        EXPECT_EQ(base[i].source, L"ScheduleTest");
        EXPECT_EQ(base[i].strings, (std::vector<std::wstring>{L"ScheduleTest", texts[i]}));
    }
    // Once per start: the program is not in the guard's folder.
    EXPECT_EQ(OnlyEntry(events, GuardEvent::ProgramMissing),
              L"ScheduleTest: " + program + L" is not there; the guard starts it once it is.");
    for (int line : {389, 403, 409, 411}) EXPECT_FALSE(GuardRecords(line).empty()) << line;
    EXPECT_EQ(LastGuardRecord(304), std::string(program.begin(), program.end()) + " [0]");
    EXPECT_EQ(statuses.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ScheduleTest, AProgramThatDiesAtOnceIsStartedLessAndLessOften) {
    world.presence = NeverRunning;
    // Every run lasts 1 s and ends with 3, but the 13th, which runs 2 minutes.
    world.script = [](int n) { return SimulatedRun{n == 12 ? 120000LL : 1000LL}; };
    Run(1140);
    ASSERT_GE(world.starts.size(), 15u);
    std::vector<long long> pauses;
    for (size_t i = 1; i < world.starts.size(); ++i) pauses.push_back(world.starts[i] - world.ends[i - 1]);
    const std::vector<long long> expected{3000,  3000,   3000,   3000,   6000,   12000, 24000,
                                          48000, 96000, 192000, 300000, 300000, 3000,  3000};
    EXPECT_EQ(std::vector<long long>(pauses.begin(), pauses.begin() + 14), expected);

    EXPECT_EQ(OnlyEntry(events, GuardEvent::ThrottleBegan),
              L"ScheduleTest: " + program +
                  L" ended within 10 s of its start 5 times in a row (last exit code 3); the next start waits 6 s.");
    EXPECT_EQ(OnlyEntry(events, GuardEvent::ThrottleEnded),
              L"ScheduleTest: " + program + L" ran for 120 s; it is started again after the usual 3 s.");
    // One entry per 10 minutes of its kind: the first, then one at 702 s that
    // counts the ten left out since.
    const std::vector<EventEntry> exits = Entries(GuardEvent::ProgramEnded);
    ASSERT_EQ(exits.size(), 2u);
    EXPECT_EQ(RenderEvent(exits[0]),
              L"ScheduleTest: " + program + L" ended by itself with exit code 3 after running 1 s; it is started again.");
    EXPECT_EQ(exits[1].strings.back(), L" 10 more like it in the 10 minutes before were left out.");
}

// Failing cycles with good ones between them never add up to giving up.
TEST_F(ScheduleTest, AThrowingCycleIsLoggedAndTheLoopGoesOn) {
    long long nextThrow = 10000;
    world.presence = [&nextThrow](long long ms) {
        if (ms >= nextThrow) {
            nextThrow += 10000;
            throw std::bad_alloc();
        }
        return ProgramPresence::Running;
    };
    const size_t before = GuardRecordCount(340);
    Run(100);
    const std::vector<LogRecord> records = GuardRecords(340);
    ASSERT_GT(records.size(), before + CZUNACertService::kFailedCyclesBeforeGivingUp);
    EXPECT_EQ(LastGuardRecord(340), "watch loop exception: std::bad_alloc [1]") << "one in a row";
    EXPECT_EQ(OnlyEntry(events, GuardEvent::LoopException),
              L"ScheduleTest: the watch loop caught an exception: std::bad_alloc. It goes on after a pause.");
    EXPECT_EQ(world.pauses[5000], static_cast<int>(records.size() - before)) << "a pause after each cycle that threw";
    EXPECT_TRUE(Entries(GuardEvent::LoopGaveUp).empty());
    EXPECT_GE(world.probes.size(), 3u) << "probes go on after the failed cycles";
    for (const SERVICE_STATUS& s : statuses) EXPECT_EQ(s.dwWin32ExitCode, 0u);
}

TEST_F(ScheduleTest, ALoopThatCannotGoOnStopsForTheManagerToRestartIt) {
    world.presence = [](long long) -> ProgramPresence { throw std::runtime_error("table broken"); };
    // The process ends after the give-up is on record; the test's stands for it.
    static std::vector<std::pair<UINT, size_t>> exits;
    exits.clear();
    Platform().ExitProcess = [](UINT code) {
        exits.emplace_back(code, GuardRecordCount(349));
        std::lock_guard<std::mutex> lock(g_world->lock);
        g_world->frozen = true;
    };
    const size_t before = GuardRecordCount(340), gaveUpBefore = GuardRecordCount(349);
    Run(200);
    EXPECT_EQ(GuardRecordCount(340), before + CZUNACertService::kFailedCyclesBeforeGivingUp);
    ASSERT_EQ(exits, (std::vector<std::pair<UINT, size_t>>{{ERROR_EXCEPTION_IN_SERVICE, gaveUpBefore + 1}}));
    // A service that reported STOPPED has not failed: the manager would not restart it.
    for (const SERVICE_STATUS& s : statuses) EXPECT_EQ(s.dwWin32ExitCode, 0u) << s.dwCurrentState;
    EXPECT_EQ(Entries(GuardEvent::LoopException).size(), 1u) << "one entry per 10 minutes";
    EXPECT_EQ(OnlyEntry(events, GuardEvent::LoopGaveUp),
              L"ScheduleTest: the watch loop failed in 5 cycles in a row (last: table broken); the service process "
              L"ends with exit code 1064 so that the service manager restarts it.");
}

// A stop that comes while the last failing cycle runs ends the loop as a
// stop: no give-up, no exit code for the manager.
TEST_F(ScheduleTest, AStopDuringTheLastFailingCycleIsNoGivingUp) {
    static std::atomic<int> cycles{0}, exits{0};
    cycles = exits = 0;
    world.presence = [this](long long) -> ProgramPresence {
        // The stop's wake comes after its flag.
        if (++cycles == CZUNACertService::kFailedCyclesBeforeGivingUp) ::WaitForSingleObject(world.wake, INFINITE);
        throw std::runtime_error("table broken");
    };
    Platform().ExitProcess = [](UINT) { ++exits; };
    world.endMs = 3600 * 1000;
    CZUNACertService service(L"ScheduleTest");
    service.Start(0, nullptr);
    {
        CWatchdog dog(5, "the watch loop's fifth failing cycle");
        WaitUntil([] { return cycles == CZUNACertService::kFailedCyclesBeforeGivingUp; }, std::chrono::hours(1));
    }
    {
        CWatchdog dog(5, "the stop during the fifth failing cycle");
        service.Stop();
    }
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(Entries(GuardEvent::LoopGaveUp).empty());
}

TEST_F(ScheduleTest, AnUnreadableProcessTableStartsAndKillsNothing) {
    // Unreadable for 40 s, then the program is seen and answers nothing, but
    // the kill cannot read the table either.
    world.presence = [](long long ms) { return ms < 40000 ? ProgramPresence::Unknown : ProgramPresence::Running; };
    world.outcome = kNoConnection;
    world.script = [](int) { return SimulatedRun{5000, 0}; };
    Platform().CreateToolhelp32Snapshot = [](DWORD, DWORD) -> HANDLE {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    };
    const size_t unreadable = GuardRecordCount(372), notKilled = GuardRecordCount(380);
    Run(100);
    EXPECT_TRUE(world.starts.empty()) << "no second copy beside one that may run";
    EXPECT_EQ(GuardRecordCount(372), unreadable + 1) << "one record for the whole stretch";
    ASSERT_FALSE(world.probes.empty());
    EXPECT_GE(world.probes[0], 40);
    EXPECT_EQ(GuardRecordCount(380), notKilled + world.probes.size());
    EXPECT_TRUE(Entries(GuardEvent::ProgramKilled).empty());
}

// A failed launch step: its record, and one error entry naming it.
class LaunchFailureTest : public ScheduleTest, public ::testing::WithParamInterface<LaunchStep> {};

TEST_P(LaunchFailureTest, IsLoggedAndReported) {
    world.presence = NeverRunning;
    InstallLaunchFakes().failAt = GetParam().line;
    Run(10);
    const std::string step = GetParam().name;
    EXPECT_EQ(LastGuardRecord(GetParam().line), step + " %d [1307]");
    EXPECT_EQ(OnlyEntry(events, GuardEvent::LaunchFailed), L"ScheduleTest: " + program + L" could not be started: " +
                                                               std::wstring(step.begin(), step.end()) +
                                                               L" failed with error 1307.");
}

INSTANTIATE_TEST_SUITE_P(Steps, LaunchFailureTest, ::testing::ValuesIn(kLaunchSteps),
                         [](const ::testing::TestParamInfo<LaunchStep>& info) { return info.param.name; });

// An empty reply: the kill's entry says what the probe saw.
struct EmptyReply {
    const char* name;
    ProbeOutcome outcome;
    const wchar_t* seen;
};
const EmptyReply kEmptyReplies[] = {
    {"Refused", kNoConnection, L"no connection, libcurl code 7"},
    {"TimedOut", {"", 28, 0}, L"timed out, libcurl code 28"},
    {"ErrorStatus", {"", 22, 503}, L"HTTP status 503, libcurl code 22"},
    {"EmptyBody", {"", 0, 200}, L"empty body, HTTP status 200"},
    {"CutOff", {"", 56, 200}, L"libcurl code 56"},
};

class EmptyReplyTest : public ScheduleTest, public ::testing::WithParamInterface<EmptyReply> {};

TEST_P(EmptyReplyTest, TheKillSaysWhatTheProbeSaw) {
    world.outcome = GetParam().outcome;
    Run(35);
    EXPECT_EQ(OnlyEntry(events, GuardEvent::ProgramKilled),
              L"ScheduleTest: the probe of " + program + L" got no reply (" + GetParam().seen +
                  L"); 0 process(es) of that name were ended and the program is started again.");
}

INSTANTIATE_TEST_SUITE_P(Outcomes, EmptyReplyTest, ::testing::ValuesIn(kEmptyReplies),
                         [](const ::testing::TestParamInfo<EmptyReply>& info) { return info.param.name; });

// A stop ends a delayed start's pause at once, however long it is, and no
// start follows it.
TEST(GuardStop, EndsADelayedStartAtOnce) {
    PlatformScope platform;
    std::vector<EventEntry> events;
    RecordEventLog(&events);
    static std::atomic<int> runs{0};
    runs = 0;
    Platform().FindGuardedProgram = [] { return ProgramPresence::Absent; };
    Platform().RunGuardedProgram = [](CZUNACertService&) {
        ++runs;
        ProgramRun run;
        run.started = run.ended = true;
        run.startMs = run.endMs = ::GetTickCount64();
        run.exitCode = 1;
        return run;
    };
    // The loop's own 1 s and 2 s pauses pass at once; the delay is real.
    Platform().Pause = [](HANDLE wake, DWORD ms) {
        if (ms != 1000 && ms != 2000) ::WaitForSingleObject(wake, ms);
    };
    CZUNACertService service(L"DelayStop");
    service.Start(0, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !events.empty() && events.back().id == 103; }, std::chrono::seconds(10)));
    const int before = runs;
    {
        CWatchdog dog(2, "the stop during a 6 s delayed start");
        service.Stop();
    }
    EXPECT_EQ(runs, before) << "nothing started after the stop";
}

