// The guard and the console's users. Wine has one session, so the console is
// a fake in the platform table: alice in session 1, bob taking the console,
// the logon screen, a logoff, a detached console (0xFFFFFFFF). The launcher,
// the scans and the program are real in the first tests; the later ones run
// the loop in simulated time.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "CZUNACertService.h"
#include "SimulatedGuard.h"
#include "TestSupport.h"
#include "utils.h"

namespace {

const DWORD kNone = CSessionPolicy::kNoSession;

// The console and the users logged on, as the session calls see them.
struct FakeConsole {
    std::mutex lock;
    DWORD console = 1;
    std::map<DWORD, std::wstring> users{{1, L"alice"}};  // sessions with a logged-on user
    int consoleReads = 0, tokenAsks = 0;
    std::vector<DWORD> sessionsSet;  // the session put into each launch's token
    int buffersHeld = 0;             // session texts handed out and not freed
    std::function<void(ULONG)> beforeToken;  // called, unlocked, as a session's token is asked for
};
FakeConsole* g_fake = nullptr;

void InstallFakeConsole(FakeConsole* fake) {
    g_fake = fake;
    Platform().WTSGetActiveConsoleSessionId = []() -> DWORD {
        std::lock_guard<std::mutex> lock(g_fake->lock);
        ++g_fake->consoleReads;
        return g_fake->console;
    };
    Platform().WTSQueryUserToken = [](ULONG session, PHANDLE token) -> BOOL {
        std::function<void(ULONG)> before;
        {
            std::lock_guard<std::mutex> lock(g_fake->lock);
            ++g_fake->tokenAsks;
            before = g_fake->beforeToken;
        }
        if (before) before(session);
        {
            std::lock_guard<std::mutex> lock(g_fake->lock);
            if (g_fake->users.count(session) == 0) return ::SetLastError(ERROR_NO_TOKEN), FALSE;
        }
        return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    };
    Platform().SetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD) -> BOOL {
        std::lock_guard<std::mutex> lock(g_fake->lock);
        if (cls == TokenSessionId) g_fake->sessionsSet.push_back(*static_cast<DWORD*>(info));
        return TRUE;
    };
    Platform().ProcessIdToSessionId = [](DWORD, DWORD* session) -> BOOL {
        std::lock_guard<std::mutex> lock(g_fake->lock);
        *session = g_fake->sessionsSet.empty() ? 0 : g_fake->sessionsSet.back();
        return TRUE;
    };
    Platform().WTSQuerySessionInformationW = [](HANDLE, DWORD session, WTS_INFO_CLASS cls, LPWSTR* text,
                                                DWORD* bytes) -> BOOL {
        std::lock_guard<std::mutex> lock(g_fake->lock);
        if (cls != WTSUserName) return ::SetLastError(ERROR_NOT_SUPPORTED), FALSE;
        const std::wstring name = g_fake->users.count(session) ? g_fake->users[session] : L"";
        *bytes = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
        *text = static_cast<LPWSTR>(::LocalAlloc(LMEM_FIXED, *bytes));
        std::wmemcpy(*text, name.c_str(), name.size() + 1);
        ++g_fake->buffersHeld;
        return TRUE;
    };
    Platform().WTSFreeMemory = [](PVOID memory) {
        std::lock_guard<std::mutex> lock(g_fake->lock);
        ::LocalFree(memory);
        --g_fake->buffersHeld;
    };
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordEventLog(&events);
        InstallFakeConsole(&fake);
    }
    void TearDown() override {
        {
            CWatchdog dog(15, "the guard's destruction at the end of a test");
            service.reset();
        }
        EXPECT_EQ(fake.buffersHeld, 0) << "every session text is freed";
        g_fake = nullptr;
    }
    void StartGuard() {
        service.reset(new CZUNACertService(L"SessionTest"));
        service->Start(0, nullptr);
    }
    void Stop() {
        CWatchdog dog(15, "the guard's stop");
        service->Stop();
    }
    template <typename F>
    void Console(F change) {
        std::lock_guard<std::mutex> lock(fake.lock);
        change(fake);
    }
    // Waits until the guard has read the console `n` more times.
    void ConsoleReads(int n) {
        int from;
        Console([&](FakeConsole& f) { from = f.consoleReads; });
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(fake.lock);
                return fake.consoleReads >= from + n;
            },
            std::chrono::seconds(20)));
    }
    std::vector<EventEntry> Entries(GuardEvent id) { return EntriesOf(events, id); }

    PlatformScope platform;
    FakeConsole fake;
    std::vector<EventEntry> events;
    std::unique_ptr<CZUNACertService> service;
    const std::wstring program = GetModuleDirectory() + L"\\ZUNATAVLService.exe";
};

// The stand-in in the guard's folder, started for real.
class RealSessionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        KillAllNamed(L"ZUNATAVLService.exe");
        ::DeleteFileW((GetModuleDirectory() + L"\\standin.ctl").c_str());
        ASSERT_TRUE(::CopyFileW(StandinExe().c_str(), program.c_str(), FALSE));
    }
    void TearDown() override {
        SessionTest::TearDown();
        KillAllNamed(L"ZUNATAVLService.exe");
        ::DeleteFileW(program.c_str());
    }
    // The program the guard waits on, once there.
    CHandle Started(DWORD notPid = 0) {
        HANDLE p = nullptr;
        EXPECT_TRUE(WaitUntil(
            [&] {
                p = service->GuardedProcess();
                return p != nullptr && ::GetProcessId(p) != notPid;
            },
            std::chrono::seconds(20)));
        return CHandle(p ? ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         ::GetProcessId(p))
                         : nullptr);
    }
};

}  // namespace

TEST_F(RealSessionTest, TheProgramFollowsANewUserAndNotTheLogonScreen) {
    StartGuard();
    CHandle alices = Started();
    ASSERT_TRUE(alices);
    EXPECT_EQ(LastGuardRecord(214),
              "program started in session 1 for alice [" + std::to_string(::GetProcessId(alices.get())) + "]");
    const size_t moves = GuardRecordCount(231), withSession = GuardRecordCount(236);
    // The logon screen (session 3), then a console detached for a moment.
    Console([](FakeConsole& f) { f.console = 3; });
    ConsoleReads(3);
    Console([](FakeConsole& f) { f.console = kNone; });
    ConsoleReads(3);
    EXPECT_TRUE(IsProcessAlive(alices.get())) << "nobody took the console: alice's copy stays";
    EXPECT_EQ(GuardRecordCount(231), moves);

    Console([](FakeConsole& f) {
        f.users[2] = L"bob";
        f.console = 2;
    });
    {
        CWatchdog dog(10, "the end of alice's copy after bob took the console");
        ::WaitForSingleObject(alices.get(), INFINITE);
    }
    EXPECT_EQ(ExitCodeOf(alices.get()), 0u) << "ended as a stop ends it";
    CHandle bobs = Started(::GetProcessId(alices.get()));
    ASSERT_TRUE(bobs);
    EXPECT_EQ(fake.sessionsSet, (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(LastGuardRecord(231), "console session 1 (alice) -> 2 (bob), the program moves [0]");
    EXPECT_EQ(LastGuardRecord(214),
              "program started in session 2 for bob [" + std::to_string(::GetProcessId(bobs.get())) + "]");
    EXPECT_EQ(OnlyEntry(events, GuardEvent::ProgramMoved),
              L"SessionTest: the console passed from session 1 (alice) to session 2 (bob); " + program +
                  L" was ended in the old session and is started in the new one.");
    EXPECT_TRUE(Entries(GuardEvent::ProgramEnded).empty()) << "a move is no end by itself";
    EXPECT_EQ(GuardRecordCount(236), withSession) << "nor an end with its session";
    Stop();
    EXPECT_EQ(CountProcessesNamed(L"ZUNATAVLService.exe"), 0);
}

// A stop that comes while the launcher looks at bob's session has ended
// alice's copy: no move follows it.
TEST_F(RealSessionTest, AStopDuringAMoveMovesNothing) {
    StartGuard();
    CHandle alices = Started();
    ASSERT_TRUE(alices);
    CHandle asked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const size_t moves = GuardRecordCount(231), failedMoves = GuardRecordCount(233);
    Console([&](FakeConsole& f) {
        // The stop ends alice's copy after it has set its flag.
        f.beforeToken = [&](ULONG session) {
            if (session != 2) return;
            ::SetEvent(asked.get());
            ::WaitForSingleObject(alices.get(), INFINITE);
        };
        f.users[2] = L"bob";
        f.console = 2;
    });
    {
        CWatchdog dog(4, "the launcher's look at bob's session");
        ::WaitForSingleObject(asked.get(), INFINITE);
    }
    Stop();
    EXPECT_EQ(GuardRecordCount(231), moves);
    EXPECT_EQ(GuardRecordCount(233), failedMoves);
    EXPECT_TRUE(Entries(GuardEvent::ProgramMoved).empty());
    EXPECT_EQ(fake.sessionsSet, std::vector<DWORD>{1});
}

TEST_F(RealSessionTest, ALogoffWaitsForTheNextUserWithoutFailing) {
    StartGuard();
    CHandle alices = Started();
    ASSERT_TRUE(alices);
    const size_t noToken = GuardRecordCount(159), stretches = GuardRecordCount(162);
    // alice logs off: her session goes, and her program with it; the console
    // is detached a moment, then shows the logon screen.
    Console([](FakeConsole& f) {
        f.users.erase(1);
        f.console = kNone;
    });
    ASSERT_TRUE(::TerminateProcess(alices.get(), 0x40010004));
    ConsoleReads(4);
    Console([](FakeConsole& f) { f.console = 3; });
    ConsoleReads(4);
    EXPECT_EQ(GuardRecordCount(159), noToken + 1) << "one record when the waiting begins";
    EXPECT_EQ(LastGuardRecord(159), "WTSQueryUserToken %d [1008]");
    EXPECT_EQ(OnlyEntry(events, GuardEvent::WaitingForUser),
              L"SessionTest: waiting for a user at the console; " + program + L" is started as soon as one logs on.");
    EXPECT_TRUE(Entries(GuardEvent::LaunchFailed).empty()) << "nobody at the console is no error";
    EXPECT_EQ(OnlyEntry(events, GuardEvent::EndedWithSession),
              L"SessionTest: " + program +
                  L" ended with session 1 (alice), exit code 0x40010004; it is started for the user at the console.");
    EXPECT_TRUE(Entries(GuardEvent::ProgramEnded).empty()) << "a logoff is not a crash";

    // bob logs on at the logon screen: the waiting ends, his program starts.
    Console([](FakeConsole& f) { f.users[3] = L"bob"; });
    CHandle bobs = Started(::GetProcessId(alices.get()));
    ASSERT_TRUE(bobs);
    ASSERT_EQ(GuardRecordCount(162), stretches + 1);
    const std::string stretch = LastGuardRecord(162);
    EXPECT_EQ(stretch.find("WTSQueryUserToken failed "), 0u) << stretch;
    EXPECT_NE(stretch.find(" time(s) in a row over "), std::string::npos) << stretch;
    EXPECT_EQ(stretch.substr(stretch.size() - 7), " [1008]") << stretch;
    EXPECT_EQ(LastGuardRecord(214),
              "program started in session 3 for bob [" + std::to_string(::GetProcessId(bobs.get())) + "]");
    EXPECT_EQ(GuardRecordCount(159), noToken + 1);
    Stop();
}

namespace {

// The loop in simulated time; the program is never in the table.
SimulatedWorld* g_world = nullptr;

class SimSessionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        g_world = &world;
        InstallSimulatedWorld(&world);
        world.presence = NeverRunning;
    }
    void Run(long long seconds) {
        service.reset(new CZUNACertService(L"SessionTest"));
        RunInSimulatedTime(world, *service, seconds);
    }
    SimulatedWorld world;
};

}  // namespace

TEST_F(SimSessionTest, LogoffsAreNotCountedAsShortRuns) {
    world.script = [](int) { return SimulatedRun{1000, 0x40010004, true}; };
    Run(60);
    ASSERT_GE(world.starts.size(), 10u);
    for (long long gap : GapsBetweenRuns(world)) EXPECT_EQ(gap, 3000);
    EXPECT_TRUE(Entries(GuardEvent::ThrottleBegan).empty());
    EXPECT_TRUE(Entries(GuardEvent::ProgramEnded).empty());
    EXPECT_EQ(Entries(GuardEvent::EndedWithSession).size(), world.starts.size());
}

TEST_F(SimSessionTest, ANewUserAtTheConsoleStartsAtOnce) {
    world.script = [](int) { return SimulatedRun{}; };
    // The 8th start would wait 24 s; 10 s into that wait bob takes the console.
    world.at = [this](SimulatedWorld& w) {
        if (w.ends.size() != 7 || w.nowMs < w.ends[6] + 10000) return;
        Console([](FakeConsole& f) {
            f.users[2] = L"bob";
            f.console = 2;
        });
    };
    Run(140);
    ASSERT_GE(world.starts.size(), 12u);
    const std::vector<long long> gaps = GapsBetweenRuns(world);
    EXPECT_EQ(std::vector<long long>(gaps.begin(), gaps.begin() + 6),
              (std::vector<long long>{3000, 3000, 3000, 3000, 6000, 12000}));
    EXPECT_GE(gaps[6], 10000);
    EXPECT_LE(gaps[6], 10500) << "bob's program starts within half a second of his arrival";
    // The row of short runs starts again from nothing.
    EXPECT_EQ(std::vector<long long>(gaps.begin() + 7, gaps.begin() + 11),
              (std::vector<long long>{3000, 3000, 3000, 3000}));
}

TEST_F(SimSessionTest, ADayAtTheLogonScreenLeavesAFewRecords) {
    fake.console = 3;  // the logon screen, all day
    fake.users.clear();
    const size_t noToken = GuardRecordCount(159);
    const size_t before = ReadLogFile().size();
    Run(24 * 3600);
    EXPECT_EQ(GuardRecordCount(159), noToken + 1);
    EXPECT_LT(ReadLogFile().size() - before, 4096u) << "a few records, not one every 3 s";
    EXPECT_EQ(Entries(GuardEvent::WaitingForUser).size(), 1u);
    EXPECT_TRUE(Entries(GuardEvent::LaunchFailed).empty());
}

// A missing program (2), then an elevation manifest (740): each error's
// first record and entry, and one record when it gives way to the next.
TEST_F(SimSessionTest, ARepeatingLaunchErrorIsToldOnce) {
    Platform().CreateProcessAsUserW = [](HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                         DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
        std::lock_guard<std::mutex> lock(g_world->lock);
        return ::SetLastError(g_world->nowMs < 900000 ? ERROR_FILE_NOT_FOUND : 740), FALSE;
    };
    const size_t failed = GuardRecordCount(211), stretches = GuardRecordCount(162);
    Run(1000);
    EXPECT_EQ(GuardRecordCount(211), failed + 2);
    EXPECT_EQ(LastGuardRecord(211), "CreateProcessAsUser %d [740]");
    ASSERT_EQ(GuardRecordCount(162), stretches + 1);
    // Every 3 s from the first cycle until 900 s.
    EXPECT_EQ(LastGuardRecord(162), "CreateProcessAsUser failed 300 time(s) in a row over 900 s, error [2]");
    const std::vector<EventEntry> entries = Entries(GuardEvent::LaunchFailed);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(RenderEvent(entries[1]), L"SessionTest: " + program + L" could not be started: CreateProcessAsUser "
                                                                    L"failed with error 740.");
}
