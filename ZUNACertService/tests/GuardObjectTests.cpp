// The guard object outside its watch loop: the module folder it takes the
// program's path from, its construction, a launch after a stop, its
// destruction while it waits on its program; and RunProcess's bound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <memory>

#include "CZUNACertService.h"
#include "TestSupport.h"

namespace {
// A guard object outside the service manager: its event-log entries and
// status reports go to these instead.
struct RecordedPlatform {
    RecordedPlatform() {
        RecordEventLog(&events);
        RecordStatus(&statuses);
    }
    PlatformScope platform;
    std::vector<EventEntry> events;
    std::vector<SERVICE_STATUS> statuses;
};
}  // namespace

// A path that does not fit MAX_PATH is kept whole, and a failed module look-up
// gives an empty directory.
TEST(ModuleDirectory, LongPathsAndFailures) {
    PlatformScope platform;
    static std::wstring fake;
    fake = L"C:\\" + std::wstring(300, L'd') + L"\\TAVL.exe";
    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const DWORD n = static_cast<DWORD>(fake.size());
        if (size <= n) {  // cut, as the real call does
            std::wmemcpy(buffer, fake.c_str(), size - 1);
            buffer[size - 1] = L'\0';
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        std::wmemcpy(buffer, fake.c_str(), n + 1);
        return n;
    };
    EXPECT_EQ(GetModulePath(), fake);
    EXPECT_EQ(GetModuleDirectory(), L"C:\\" + std::wstring(300, L'd'));

    fake = L"NoBackslash.exe";
    EXPECT_EQ(GetModuleDirectory(), L"NoBackslash.exe");

    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR, DWORD) -> DWORD {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    };
    EXPECT_EQ(GetModuleDirectory(), L"");
}

TEST(GuardConstruction, FailedEventIsThrownAsItsCode) {
    PlatformScope platform;
    Platform().CreateEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    try {
        CZUNACertService service(L"NoEvent");
        FAIL() << "constructed without an event";
    } catch (DWORD code) {
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
}

// A launch that comes after the stop has set its flag starts nothing, however
// far it got before: the check sits under the lock that the stop takes.
TEST(GuardStop, ALaunchAfterTheStopStartsNothing) {
    RecordedPlatform recorded;
    LaunchFakes& launch = InstallLaunchFakes();
    launch.failAt = 211;  // were it called, nothing would run all the same
    CZUNACertService guard(L"StopTest");
    guard.Stop();
    const ProgramRun run = guard.LaunchInUserSession();
    EXPECT_EQ(launch.processCalls, 0);
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.failedStep, nullptr) << "a launch held back by a stop is no failure";
}

// Destroyed while its launcher waits on the program it started, after a
// shutdown (OnStop never runs) or with no control at all: the watch thread
// leaves the wait at once and ends, and the program is left to the system.
class GuardDestruction : public ::testing::TestWithParam<bool> {};

TEST_P(GuardDestruction, EndsTheWatchThreadAndLeavesTheProgram) {
    RecordedPlatform recorded;
    Platform().FindGuardedProgram = [] { return ProgramPresence::Absent; };
    // The sleeper stands in for the program, whatever the guard asks for.
    Platform().CreateProcessAsUserW = [](HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                         DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) -> BOOL {
        ChildProcess sleeper = StartProcess(TestDir() + L"\\sleeper.exe");
        info->dwProcessId = sleeper.pid;
        info->hProcess = sleeper.process.release();
        return info->hProcess != nullptr;
    };
    const size_t threads = CountThreadsOfThisProcess();
    std::unique_ptr<CZUNACertService> guard(new CZUNACertService(L"DestroyTest"));
    guard->Start(0, nullptr);
    {
        CWatchdog dog(10, "the guard's first launch");
        WaitUntil([&] { return guard->GuardedProcess() != nullptr; }, std::chrono::hours(1));
    }
    CHandle program(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, ::GetProcessId(guard->GuardedProcess())));
    ASSERT_TRUE(program);
    const size_t running = CountThreadsOfThisProcess();
    guard->Start(0, nullptr);
    EXPECT_EQ(CountThreadsOfThisProcess(), running) << "a second start starts no second watch thread";
    const size_t mark = LogMark();
    if (GetParam()) guard->Shutdown();
    {
        CWatchdog dog(5, std::string("the guard's destruction, its launcher waiting, ") +
                             (GetParam() ? "after a shutdown" : "with no control"));
        guard.reset();
    }
    EXPECT_EQ(CountThreadsOfThisProcess(), threads) << "the watch thread is gone";
    EXPECT_TRUE(IsProcessAlive(program.get())) << "the program is left to the system";
    EXPECT_FALSE(GuardRecordsInOrder(mark, {389})) << "no stop ran";
    ::TerminateProcess(program.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(Controls, GuardDestruction, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "AfterShutdown" : "WithNoControl";
                         });

// A program's child that inherits the output pipe and lives on keeps the
// pipe open: RunProcess stops reading at its bound after the program's end.
TEST(RunProcess, AGrandchildHoldingThePipeHoldsNoLongerThanTheBound) {
    std::string out;
    DWORD code;
    {
        CWatchdog dog(8, "RunProcess while a grandchild holds its pipe");
        code = RunProcess(TestDir() + L"\\sleeper.exe", L"hold", &out, 60000, 200);
    }
    EXPECT_EQ(code, 0u);
    CHandle grandchild(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::strtoul(out.c_str(), nullptr, 10)));
    ASSERT_TRUE(grandchild) << out;
    EXPECT_TRUE(IsProcessAlive(grandchild.get())) << "it held the pipe all along";
    ::TerminateProcess(grandchild.get(), 0);
}
