#pragma once
// The few platform calls that a test must observe or fail, or whose real time
// would make a test slow. Production code calls through Platform(); the table
// holds the real functions unless a test swaps an entry.
#include <windows.h>

#include <atomic>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

struct PlatformCalls {
    // Service status and event log: Wine stores no event-log entries.
    BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    HANDLE(WINAPI* RegisterEventSourceW)(LPCWSTR, LPCWSTR);
    BOOL(WINAPI* ReportEventW)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
    BOOL(WINAPI* DeregisterEventSource)(HANDLE);
    // Debugger output has no reader in a test.
    void(WINAPI* OutputDebugStringW)(LPCWSTR);
    // Failures that the real system does not produce on demand.
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
    HANDLE(WINAPI* CreateEventW)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
    // The log's preparation, so a test can make an open wait.
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    // The watch loop's clock and pauses, so its schedule runs in simulated time.
    // Pause returns early only when `wake` is signalled.
    boost::posix_time::ptime (*UtcNow)();
    void (*Pause)(HANDLE wake, DWORD milliseconds);
    // The watch loop's view of the guarded program, so a schedule test sees each probe.
    bool (*IsGuardedProcessRunning)();
    std::string (*Probe)(const std::string& url, const std::string& body,
                         const std::atomic<LONG>* abort);
};

PlatformCalls& Platform();
// The table as built, with the real functions.
PlatformCalls DefaultPlatform();
