// The guard with real processes: the stand-in in the guard's folder, the real
// launcher, scans, probes and kills. Only the event log is a fake (Wine keeps
// no entries), and the wall clock can be pushed forward to bring a probe on.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

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
pt::ptime ShiftedNow() { return pt::second_clock::universal_time() + pt::seconds(g_clockShift.load()); }

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
        Platform().UtcNow = ShiftedNow;
    }
    void TearDown() override {
        service.reset();
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
        service->Stop();
        const double took = SecondsSince(start);
        EXPECT_EQ(service->Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        std::printf("stop took %.2f s\n", took);
        return took;
    }
    // Pushes the wall clock past the probe interval and waits for the probe to arrive.
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

TEST_F(GuardTest, LauncherStartsTheProgramInItsFolderAndWaits) {
    CZUNACertService guard(L"GuardTest");
    std::atomic<bool> returned{false};
    std::thread launcher([&] {
        guard.LaunchInUserSession();
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return guard.GuardedProcess() != nullptr; }, std::chrono::seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return !Starts().empty(); }, std::chrono::seconds(10)));
    const std::string start = Starts()[0];
    const std::wstring wdir = dir;
    EXPECT_NE(start.find(" cwd=" + std::string(wdir.begin(), wdir.end()) + " console="), std::string::npos) << start;
    // No arguments: the command line is the program's path alone.
    const std::wstring quoted = L" cmd=\"" + exe + L"\"\r";
    EXPECT_NE(start.find(std::string(quoted.begin(), quoted.end())), std::string::npos) << start;
    // A console of its own, normal priority, the interactive desktop, the user's environment.
    EXPECT_NE(start.find(" console=1 priority=0x20 desktop=WinSta0\\Default userprofile=C:\\"), std::string::npos)
        << start;
    EXPECT_NE(start.find(" marker=- cmd="), std::string::npos) << start;
    Sleep(500);
    EXPECT_FALSE(returned) << "the launcher waits while the program runs";

    Mode("exit 3");
    launcher.join();
    EXPECT_EQ(guard.GuardedProcess(), nullptr);
    const std::vector<LogRecord> ended = RecordsAt("CZUNACertService.cpp", 225);
    ASSERT_FALSE(ended.empty());
    EXPECT_EQ(ended.back().message, "\xD7\xD3\xBD\xF8\xB3\xCC\xBD\xE1\xCA\xF8\xA3\xAC\xBB\xD8\xCA\xD5\xD7\xCA\xD4\xB4...");
    EXPECT_EQ(ended.back().value, "0");
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
    service.reset();
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

// Wine answers GetProcessHandleCount with 0, so the table's lowest free slot
// stands in: leaked handles fill the table and push it up.
uintptr_t NextHandleSlot() {
    CHandle probe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return reinterpret_cast<uintptr_t>(probe.get());
}

TEST_F(GuardTest, HandleCountStaysFlatOverManyRelaunches) {
    // Instant pauses, so the relaunches come as fast as the program exits.
    Platform().Pause = [](HANDLE, DWORD) {};
    Mode("exit 0");
    StartGuard();
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() >= 20; }, std::chrono::seconds(60)));
    DWORD early = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &early);
    const uintptr_t earlySlot = NextHandleSlot();
    ASSERT_TRUE(WaitUntil([&] { return Starts().size() >= 220; }, std::chrono::seconds(240),
                          std::chrono::milliseconds(250)));
    DWORD late = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &late);
    const uintptr_t lateSlot = NextHandleSlot();
    std::printf("after 20 relaunches: %lu handles, next slot %#llx; after %zu: %lu handles, next slot %#llx\n",
                early, static_cast<unsigned long long>(earlySlot), Starts().size(), late,
                static_cast<unsigned long long>(lateSlot));
    EXPECT_LE(late, early + 4);
    EXPECT_LE(lateSlot, earlySlot + 16 * sizeof(void*));
    TimedStop();
}
