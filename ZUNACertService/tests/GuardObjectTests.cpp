// The guard object outside its watch loop: the module folder it takes the
// program's path from, its construction, and a launch after a stop.
#include <gtest/gtest.h>

#include <cwchar>

#include "CZUNACertService.h"
#include "TestSupport.h"

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

// Record 304 names the program in the ANSI code page: a character it cannot
// hold becomes '?', never a look-alike that names another path.
TEST(GuardConstruction, PathRecordHoldsNoLookAlikes) {
    PlatformScope platform;
    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const std::wstring path = L"C:\\Zuna \u0100\U0001F600\\TAVL.exe";
        if (size <= path.size()) return 0;
        std::wmemcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    };
    CZUNACertService service(L"AnsiTest");
    const std::vector<LogRecord> path = RecordsAt("CZUNACertService.cpp", 304);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back().message, "C:\\Zuna ???\\ZUNATAVLService.exe");
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
    PlatformScope platform;
    std::vector<EventEntry> events;
    std::vector<SERVICE_STATUS> statuses;
    RecordEventLog(&events);
    RecordStatus(&statuses);
    LaunchFakes& launch = InstallLaunchFakes();
    launch.failAt = 211;  // were it called, nothing would run all the same
    CZUNACertService guard(L"StopTest");
    guard.Stop();
    const ProgramRun run = guard.LaunchInUserSession();
    EXPECT_EQ(launch.processCalls, 0);
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.failedStep, nullptr) << "a launch held back by a stop is no failure";
}
