// The guard with real processes: the stand-in in the guard's folder, the real
// launcher, scans, probes and kills. Only the event log is a fake (Wine keeps
// no entries), and the loop's monotonic clock can be pushed forward to bring a
// probe on.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "CZUNACertService.h"
#include "TestSupport.h"
#include "core/Http.h"
#include "utils.h"

namespace {

namespace pt = boost::posix_time;
std::atomic<long> g_clockShift{0};
ULONGLONG ShiftedTick() { return ::GetTickCount64() + 1000ULL * g_clockShift.load(); }

const std::wstring kGuarded = L"ZUNATAVLService.exe";
const char kUrl[] = "http://127.0.0.1:58000";

std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> ids;
    CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    if (snapshot && ::Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
        } while (::Thread32Next(snapshot.get(), &entry));
    }
    return ids;
}

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        KillAllNamed(kGuarded);
        dir = GetModuleDirectory();
        exe = dir + L"\\" + kGuarded;
        for (const wchar_t* f : {L"\\standin.ctl", L"\\requests.log", L"\\starts.log"}) {
            ::DeleteFileW((dir + f).c_str());
        }
        ASSERT_TRUE(::CopyFileW(StandinExe().c_str(), exe.c_str(), FALSE));
        RecordEventLog(&events);
        RecordStatus(&statuses);
        // Seen by the program only if it were given this process's environment.
        ::SetEnvironmentVariableW(L"ZUNA_GUARD_ENV_MARKER", L"test-process");
        g_clockShift = 0;
        Platform().TickMs = ShiftedTick;
    }
    void TearDown() override {
        {
            CWatchdog dog(15, "the guard's destruction at the end of a test");
            service.reset();
        }
        KillAllNamed(kGuarded);
        ::DeleteFileW(exe.c_str());
    }

    void Mode(const std::string& line) { WriteTextFile(dir + L"\\standin.ctl", line + "\n"); }
    std::vector<std::string> Starts() {
        std::vector<std::string> lines;
        std::istringstream in(ReadFileBytes(dir + L"\\starts.log"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    size_t RequestCount() {
        const std::string log = ReadFileBytes(dir + L"\\requests.log");
        size_t n = 0;
        for (size_t at = log.find("----- "); at != std::string::npos; at = log.find("----- ", at + 1)) ++n;
        return n;
    }
    bool Answers() { return !HttpPost(kUrl, "{}").empty(); }
    ChildProcess StartOurOwn() {
        ChildProcess child = StartProcess(exe, L"", dir);
        EXPECT_TRUE(child.process);
        return child;
    }
    // A stand-in that the guard did not start, once it answers.
    bool StartOurOwnAnswering(ChildProcess* child) {
        *child = StartOurOwn();
        return WaitUntil([&] { return Answers(); }, std::chrono::seconds(10));
    }
    void StartGuard() {
        service.reset(new CZUNACertService(L"GuardTest"));
        service->Start(0, nullptr);
        ASSERT_EQ(service->Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }
    double TimedStop() {
        const auto start = std::chrono::steady_clock::now();
        CWatchdog dog(15, "the guard's stop");
        service->Stop();
        const double took = SecondsSince(start);
        EXPECT_EQ(service->Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        std::printf("stop took %.2f s\n", took);
        return took;
    }
    // Pushes the loop's clock past the probe interval and waits for the probe to arrive.
    // The loop may not have read its first time yet, so push again if needed.
    // A refusing program records no request: then the guard's reply record tells.
    void BringOnProbe() {
        const size_t before = RequestCount();
        const size_t replies = RecordsAt("CZUNACertService.cpp", 368).size();
        const auto seen = [&] {
            return RequestCount() > before || RecordsAt("CZUNACertService.cpp", 368).size() > replies;
        };
        bool arrived = false;
        for (int attempt = 0; attempt < 5 && !arrived; ++attempt) {
            g_clockShift += 31;
            arrived = WaitUntil(seen, std::chrono::seconds(3));
        }
        ASSERT_TRUE(arrived);
    }
    size_t LogMark() { return ParseLog(ReadLogFile()).size(); }
    // Line numbers of the stop's records, in file order.
    std::vector<int> StopRecordLines(size_t mark) {
        std::vector<int> lines;
        bool inStop = false;
        const std::vector<LogRecord> records = ParseLog(ReadLogFile());
        for (size_t i = mark; i < records.size(); ++i) {
            const LogRecord& r = records[i];
            if (r.source != "CZUNACertService.cpp") continue;
            if (r.line == 389) inStop = true;
            if (inStop && (r.line == 225 || (r.line >= 389 && r.line <= 411))) lines.push_back(r.line);
        }
        return lines;
    }

    PlatformScope platform;
    std::vector<EventEntry> events;
    std::vector<SERVICE_STATUS> statuses;
    std::unique_ptr<CZUNACertService> service;
    std::wstring dir, exe;
};

}  // namespace

// What each step of the launch is handed, recorded on the way to the real call.
struct LaunchSeen {
    TOKEN_TYPE tokenType = TokenImpersonation;
    HANDLE primary = nullptr;
    std::vector<DWORD> sessionSet;
    BOOL inheritEnvironment = TRUE;
    HANDLE environmentToken = nullptr, processToken = nullptr;
    std::wstring application, commandLine, desktop, directory;
    DWORD flags = 0;
    LPVOID environment = nullptr, environmentGiven = nullptr;
};
LaunchSeen g_seen;

void RecordLaunchSteps() {
    g_seen = LaunchSeen();
    Platform().DuplicateTokenEx = [](HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES sa,
                                     SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE out) -> BOOL {
        g_seen.tokenType = type;
        const BOOL ok = ::DuplicateTokenEx(token, access, sa, level, type, out);
        g_seen.primary = ok ? *out : nullptr;
        return ok;
    };
    Platform().SetTokenInformation = [](HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size) -> BOOL {
        if (cls == TokenSessionId && token == g_seen.primary && size == sizeof(DWORD)) {
            g_seen.sessionSet.push_back(*static_cast<DWORD*>(info));
        }
        return ::SetTokenInformation(token, cls, info, size);
    };
    Platform().CreateEnvironmentBlock = [](LPVOID* block, HANDLE token, BOOL inherit) -> BOOL {
        g_seen.inheritEnvironment = inherit;
        g_seen.environmentToken = token;
        const BOOL ok = ::CreateEnvironmentBlock(block, token, inherit);
        g_seen.environment = ok ? *block : nullptr;
        return ok;
    };
    Platform().CreateProcessAsUserW = [](HANDLE token, LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa,
                                         LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                         LPCWSTR dir, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) -> BOOL {
        g_seen.processToken = token;
        g_seen.application = app ? app : L"<null>";
        g_seen.commandLine = cmd ? cmd : L"<null>";
        g_seen.desktop = si->lpDesktop ? si->lpDesktop : L"<null>";
        g_seen.directory = dir ? dir : L"<null>";
        g_seen.flags = flags;
        g_seen.environmentGiven = env;
        return ::CreateProcessAsUserW(token, app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    };
}

TEST_F(GuardTest, LauncherStartsTheProgramInItsFolderAndWaits) {
    RecordLaunchSteps();
    CZUNACertService guard(L"GuardTest");
    std::atomic<bool> returned{false};
    ProgramRun run;
    std::thread launcher([&] {
        run = guard.LaunchInUserSession();
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return guard.GuardedProcess() != nullptr; }, std::chrono::seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return !Starts().empty(); }, std::chrono::seconds(10)));
    // Windows hands a null command line to the program as the bare path, which
    // splits at a blank: the command line is the quoted path and nothing else.
    EXPECT_EQ(g_seen.commandLine, L"\"" + exe + L"\"");
    EXPECT_EQ(g_seen.application, exe);
    // A primary token (an impersonation token starts nothing on Windows), put
    // into the console session, for the program and for its environment.
    EXPECT_EQ(g_seen.tokenType, TokenPrimary);
    EXPECT_EQ(g_seen.sessionSet, std::vector<DWORD>{::WTSGetActiveConsoleSessionId()});
    EXPECT_EQ(g_seen.processToken, g_seen.primary);
    EXPECT_EQ(g_seen.environmentToken, g_seen.primary);
    EXPECT_FALSE(g_seen.inheritEnvironment);
    EXPECT_EQ(g_seen.environmentGiven, g_seen.environment);
    EXPECT_EQ(g_seen.flags, static_cast<DWORD>(CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT));
    EXPECT_EQ(g_seen.desktop, L"winsta0\\default");
    EXPECT_EQ(g_seen.directory, dir);

    const std::string start = Starts()[0];
    const std::wstring wdir = dir;
    EXPECT_NE(start.find(" cwd=" + std::string(wdir.begin(), wdir.end()) + " console="), std::string::npos) << start;
    const std::wstring quoted = L" cmd=\"" + exe + L"\"\r";
    EXPECT_NE(start.find(std::string(quoted.begin(), quoted.end())), std::string::npos) << start;
    // A console of its own, normal priority, the interactive desktop, the user's environment.
    EXPECT_NE(start.find(" console=1 priority=0x20 desktop=WinSta0\\Default userprofile=C:\\"), std::string::npos)
        << start;
    EXPECT_NE(start.find(" marker=- cmd="), std::string::npos) << start;
    Sleep(500);
    EXPECT_FALSE(returned) << "the launcher waits while the program runs";

    Mode("exit 3");
    {
        CWatchdog dog(15, "the launcher's return after the program's end");
        launcher.join();
    }
    EXPECT_EQ(guard.GuardedProcess(), nullptr);
    EXPECT_TRUE(run.started && run.ended);
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_GE(run.endMs, run.startMs + 400);
    const std::vector<LogRecord> ended = RecordsAt("CZUNACertService.cpp", 225);
    ASSERT_FALSE(ended.empty());
    EXPECT_EQ(ended.back().message, "\xD7\xD3\xBD\xF8\xB3\xCC\xBD\xE1\xCA\xF8\xA3\xAC\xBB\xD8\xCA\xD5\xD7\xCA\xD4\xB4...");
    EXPECT_EQ(ended.back().value, "0");
}

// Each step fails once: its record carries the error, the launch says which
// step it was, and whatever the steps before had opened is closed again.
TEST_F(GuardTest, EachFailingLaunchStepIsLoggedAndLeaksNothing) {
    CZUNACertService guard(L"GuardTest");
    static int failing = 0;
    const DWORD kError = 1300 + 7;
    Platform().WTSQueryUserToken = [](ULONG s, PHANDLE t) -> BOOL {
        if (failing == 159) return ::SetLastError(1307), FALSE;
        return ::WTSQueryUserToken(s, t);
    };
    Platform().DuplicateTokenEx = [](HANDLE t, DWORD a, LPSECURITY_ATTRIBUTES sa, SECURITY_IMPERSONATION_LEVEL l,
                                     TOKEN_TYPE y, PHANDLE o) -> BOOL {
        if (failing == 170) return ::SetLastError(1307), FALSE;
        return ::DuplicateTokenEx(t, a, sa, l, y, o);
    };
    Platform().SetTokenInformation = [](HANDLE t, TOKEN_INFORMATION_CLASS c, LPVOID i, DWORD n) -> BOOL {
        if (failing == 180) return ::SetLastError(1307), FALSE;
        return ::SetTokenInformation(t, c, i, n);
    };
    Platform().CreateEnvironmentBlock = [](LPVOID* b, HANDLE t, BOOL i) -> BOOL {
        if (failing == 191) return ::SetLastError(1307), FALSE;
        return ::CreateEnvironmentBlock(b, t, i);
    };
    Platform().CreateProcessAsUserW = [](HANDLE t, LPCWSTR a, LPWSTR c, LPSECURITY_ATTRIBUTES pa,
                                         LPSECURITY_ATTRIBUTES ta, BOOL h, DWORD f, LPVOID e, LPCWSTR d,
                                         LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) -> BOOL {
        if (failing == 211) return ::SetLastError(1307), FALSE;
        return ::CreateProcessAsUserW(t, a, c, pa, ta, h, f, e, d, si, pi);
    };
    const std::pair<int, std::string> steps[] = {{159, "WTSQueryUserToken"}, {170, "DuplicateTokenEx"},
                                                 {180, "SetTokenInformation"}, {191, "CreateEnvironmentBlock"},
                                                 {211, "CreateProcessAsUser"}};
    failing = 211;
    guard.LaunchInUserSession();  // once through, so whatever loads on first use is loaded
    for (const auto& step : steps) {
        failing = step.first;
        const size_t handles = CountOpenHandles();
        const ProgramRun run = guard.LaunchInUserSession();
        EXPECT_EQ(CountOpenHandles(), handles) << step.second;
        EXPECT_FALSE(run.started);
        ASSERT_NE(run.failedStep, nullptr);
        EXPECT_EQ(std::string(run.failedStep), step.second);
        EXPECT_EQ(run.error, kError);
        const std::vector<LogRecord> records = RecordsAt("CZUNACertService.cpp", step.first);
        ASSERT_FALSE(records.empty()) << step.second;
        EXPECT_EQ(records.back().message, step.second + " %d");
        EXPECT_EQ(records.back().value, std::to_string(kError));
    }
    failing = 0;
}

TEST_F(GuardTest, ProgramThatEndsIsStartedAgainAfterThreeSeconds) {
    StartGuard();
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() == 1 && Answers(); }, std::chrono::seconds(10)));
    ASSERT_NE(service->GuardedProcess(), nullptr);
    Mode("exit 0");
    ASSERT_TRUE(WaitUntil([&] { return CountProcessesNamed(kGuarded) == 0; }, std::chrono::seconds(5)));
    const auto gone = std::chrono::steady_clock::now();
    Mode("normal again");
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() == 2; }, std::chrono::seconds(10)));
    const double after = SecondsSince(gone);
    std::printf("relaunched %.2f s after the program ended\n", after);
    EXPECT_GE(after, 2.7);
    EXPECT_LT(after, 4.5);
    EXPECT_FALSE(RecordsAt("CZUNACertService.cpp", 225).empty());
    TimedStop();
}

class EmptyReplyTest : public GuardTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EmptyReplyTest, KillsEveryInstanceAndStartsOne) {
    ChildProcess first;
    ASSERT_TRUE(StartOurOwnAnswering(&first));
    ChildProcess second = StartOurOwn();  // cannot listen, but bears the name
    StartGuard();
    Sleep(1500);
    EXPECT_EQ(Starts().size(), 2u) << "the guard started nothing while the program ran";

    Mode(GetParam());
    Sleep(400);
    BringOnProbe();
    for (HANDLE p : {first.process.get(), second.process.get()}) {
        ASSERT_EQ(::WaitForSingleObject(p, 20000), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(p), 0u);
    }
    const auto killed = std::chrono::steady_clock::now();
    Mode("normal");
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() == 3; }, std::chrono::seconds(10)));
    const double after = SecondsSince(killed);
    std::printf("started again %.2f s after the kill\n", after);
    EXPECT_GE(after, 1.7);
    EXPECT_LT(after, 3.5);
    EXPECT_TRUE(WaitUntil([&] { return service->GuardedProcess() != nullptr; }, std::chrono::seconds(5)));
    EXPECT_EQ(CountProcessesNamed(kGuarded), 1);
    EXPECT_LT(TimedStop(), 3.6);
}

INSTANTIATE_TEST_SUITE_P(Faults, EmptyReplyTest, ::testing::Values("refuse", "status 500 down", "empty", "silent"));

TEST_F(GuardTest, AnyNonEmptyReplyChangesNothing) {
    ChildProcess ours;
    ASSERT_TRUE(StartOurOwnAnswering(&ours));
    Mode("normal error: not what you expected");
    StartGuard();
    BringOnProbe();
    Sleep(2500);
    EXPECT_TRUE(IsProcessAlive(ours.process.get()));
    EXPECT_EQ(Starts().size(), 1u);
    const std::vector<LogRecord> replies = RecordsAt("CZUNACertService.cpp", 368);
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back().message, "error: not what you expected");
    // A program the guard did not start is not terminated by the stop.
    const size_t mark = LogMark();
    EXPECT_LT(TimedStop(), 1.6);
    EXPECT_TRUE(IsProcessAlive(ours.process.get()));
    const std::vector<int> lines = StopRecordLines(mark);
    EXPECT_EQ(lines, (std::vector<int>{389, 403, 409, 411}));
}

class SlowProbeTest : public GuardTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SlowProbeTest, StopDoesNotWaitOutTheProbe) {
    ChildProcess ours;
    ASSERT_TRUE(StartOurOwnAnswering(&ours));
    Mode(GetParam());
    StartGuard();
    BringOnProbe();
    Sleep(300);
    // libcurl looks at the flag about once a second; then the 1 s pause ends the cycle.
    EXPECT_LT(TimedStop(), 3.0);
    // A probe given up for the stop is no verdict on the program.
    Sleep(500);
    EXPECT_TRUE(IsProcessAlive(ours.process.get()));
    EXPECT_EQ(Starts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowProbeTest, ::testing::Values("silent", "trickle 5"));

TEST_F(GuardTest, StopWhileWaitingEndsTheProgramItStarted) {
    StartGuard();
    ASSERT_TRUE(WaitUntil([&] { return service->GuardedProcess() != nullptr && Answers(); },
                          std::chrono::seconds(10)));
    CHandle program(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  ::GetProcessId(service->GuardedProcess())));
    ASSERT_TRUE(program);
    const size_t mark = LogMark();
    EXPECT_LT(TimedStop(), 3.6);
    ASSERT_EQ(::WaitForSingleObject(program.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(program.get()), 0u);
    EXPECT_EQ(CountProcessesNamed(kGuarded), 0) << "nothing started after the stop";

    const std::vector<int> lines = StopRecordLines(mark);
    // 225 comes from the watch thread once the program has gone: anywhere after 389, before 409.
    std::vector<int> fromStop;
    for (int l : lines) {
        if (l != 225) fromStop.push_back(l);
    }
    EXPECT_EQ(fromStop, (std::vector<int>{389, 394, 403, 409, 411}));
    const auto at225 = std::find(lines.begin(), lines.end(), 225);
    ASSERT_NE(at225, lines.end());
    EXPECT_LT(at225 - lines.begin(), std::find(lines.begin(), lines.end(), 409) - lines.begin());
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.back().text, L"CZUNACertService in OnStop");
}

// A stop during the pause before a relaunch must not leave the stop waiting
// on a program started after it looked.
TEST_F(GuardTest, StopDuringTheRelaunchPauseStartsNothing) {
    ChildProcess ours;
    ASSERT_TRUE(StartOurOwnAnswering(&ours));
    Mode("refuse");
    StartGuard();
    Sleep(400);
    BringOnProbe();
    ASSERT_EQ(::WaitForSingleObject(ours.process.get(), 10000), WAIT_OBJECT_0);  // killed; 2 s pause runs
    EXPECT_LT(TimedStop(), 3.6);
    Sleep(500);
    EXPECT_EQ(CountProcessesNamed(kGuarded), 0);
    EXPECT_EQ(Starts().size(), 1u);
}

// After a shutdown the base reports STOPPED without OnStop; the object is then
// destroyed while the watch thread waits on the program.
TEST_F(GuardTest, ShutdownThenDestructionLeavesNoThreadAndTheProgramRunning) {
    const size_t threadsBefore = ThreadsOfThisProcess().size();
    StartGuard();
    ASSERT_TRUE(WaitUntil([&] { return service->GuardedProcess() != nullptr && Answers(); },
                          std::chrono::seconds(10)));
    const DWORD pid = ::GetProcessId(service->GuardedProcess());
    // A second start finds the watch thread there and starts no other.
    const size_t threadsRunning = ThreadsOfThisProcess().size();
    service->Start(0, nullptr);
    Sleep(500);
    EXPECT_EQ(ThreadsOfThisProcess().size(), threadsRunning);
    service->Shutdown();
    EXPECT_EQ(service->Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    const auto start = std::chrono::steady_clock::now();
    {
        CWatchdog dog(15, "the guard's destruction after a shutdown");
        service.reset();
    }
    const double took = SecondsSince(start);
    std::printf("destruction after shutdown took %.2f s\n", took);
    EXPECT_LT(took, 1.5);
    // The watch thread is gone, so it cannot touch the destroyed object.
    EXPECT_EQ(ThreadsOfThisProcess().size(), threadsBefore);
    CHandle program(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(program);
    EXPECT_TRUE(IsProcessAlive(program.get())) << "the program is left to the system";
    EXPECT_TRUE(RecordsAt("CZUNACertService.cpp", 389).empty() ||
                RecordsAt("CZUNACertService.cpp", 389).back().timestamp < RecordsAt("CZUNACertService.cpp", 304).back().timestamp);
}

// Wine answers GetProcessHandleCount with 0, so the handles are counted one
// by one, each time after a stop, when nothing of the guard's runs.
TEST_F(GuardTest, NoHandleIsLeftBehindByRelaunches) {
    // Instant pauses, so the relaunches come as fast as the program exits.
    Platform().Pause = [](HANDLE, DWORD) {};
    Mode("exit 0");
    size_t counts[2] = {};
    size_t starts[2] = {20, 220};
    for (int round = 0; round < 2; ++round) {
        StartGuard();
        ASSERT_TRUE(WaitUntil([&] { return Starts().size() >= starts[round]; }, std::chrono::seconds(240),
                              std::chrono::milliseconds(250)));
        TimedStop();
        service.reset();
        KillAllNamed(kGuarded);
        counts[round] = CountOpenHandles();
    }
    std::printf("open handles after %zu relaunches: %zu; after %zu: %zu\n", starts[0], counts[0], Starts().size(),
                counts[1]);
    EXPECT_LE(counts[1], counts[0]);
}
