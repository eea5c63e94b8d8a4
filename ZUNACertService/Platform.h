#pragma once
// The few platform calls that a test must observe or fail, or whose real time
// would make a test slow. Production code calls through Platform(); the table
// holds the real functions unless a test swaps an entry.
#include <windows.h>
#include <tlhelp32.h>
#include <aclapi.h>
#include <wtsapi32.h>

#include <atomic>
#include <string>

class CZUNACertService;

// Whether the guarded program is in the process table; Unknown when the
// table cannot be read.
enum class ProgramPresence { Absent, Running, Unknown };

// What one probe saw: the reply body and how the transfer ended.
struct ProbeOutcome {
    std::string body;
    int curlCode = 0;     // 0: the transfer completed
    long httpStatus = 0;  // 0: no status line arrived
};

// One start of the guarded program by the guard, as the watch loop sees it.
struct ProgramRun {
    bool started = false;  // false: a step failed, nothing ran
    bool ended = false;    // false: the wait was abandoned (the guard is going away)
    DWORD exitCode = 0;
    ULONGLONG startMs = 0, endMs = 0;  // Platform().TickMs at the start and the end
    const char* failedStep = nullptr;  // the call that failed when nothing started
    DWORD error = 0;                   // and its error code
    bool newFailure = false;           // the failure begins a stretch: its entry is due
    DWORD session = 0xFFFFFFFF;        // the session it ran in
    std::wstring user;                 // and the user logged on there at its start
    bool moved = false;                // ended by the guard: another user has the console
    bool withSession = false;          // ended with its session (a logoff, a switch)
};

struct PlatformCalls {
    // Service status and event log: Wine stores no event-log entries.
    BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
    HANDLE(WINAPI* RegisterEventSourceW)(LPCWSTR, LPCWSTR);
    BOOL(WINAPI* ReportEventW)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
    BOOL(WINAPI* DeregisterEventSource)(HANDLE);
    SERVICE_STATUS_HANDLE(WINAPI* RegisterServiceCtrlHandlerW)(LPCWSTR, LPHANDLER_FUNCTION);
    BOOL(WINAPI* StartServiceCtrlDispatcherW)(const SERVICE_TABLE_ENTRYW*);
    // Ends the process; a test records the code instead.
    void(WINAPI* ExitProcess)(UINT);
    // Debugger output has no reader in a test.
    void(WINAPI* OutputDebugStringW)(LPCWSTR);
    // Failures that the real system does not produce on demand.
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
    HANDLE(WINAPI* CreateEventW)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
    HANDLE(WINAPI* CreateToolhelp32Snapshot)(DWORD, DWORD);
    // The service manager: its failures, and what Wine does not store (failure actions).
    SC_HANDLE(WINAPI* OpenSCManagerW)(LPCWSTR, LPCWSTR, DWORD);
    SC_HANDLE(WINAPI* CreateServiceW)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                      LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
    BOOL(WINAPI* ChangeServiceConfigW)(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR,
                                       LPCWSTR, LPCWSTR);
    BOOL(WINAPI* ChangeServiceConfig2W)(SC_HANDLE, DWORD, LPVOID);
    BOOL(WINAPI* QueryServiceConfig2W)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);
    BOOL(WINAPI* ControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
    BOOL(WINAPI* QueryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS);
    BOOL(WINAPI* DeleteService)(SC_HANDLE);
    // Who may change the guard's files: Wine describes every file as its user's.
    DWORD(WINAPI* GetNamedSecurityInfoW)(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                         PSECURITY_DESCRIPTOR*);
    // The launch in the user's session: what each step is given, and its failures.
    BOOL(WINAPI* WTSQueryUserToken)(ULONG, PHANDLE);
    BOOL(WINAPI* DuplicateTokenEx)(HANDLE, DWORD, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE,
                                   PHANDLE);
    BOOL(WINAPI* SetTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD);
    BOOL(WINAPI* CreateEnvironmentBlock)(LPVOID*, HANDLE, BOOL);
    BOOL(WINAPI* CreateProcessAsUserW)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                       DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);
    // The console and the sessions: Wine has one session, so a test plays user
    // switches, the logon screen, logoffs and a detached console here.
    DWORD(WINAPI* WTSGetActiveConsoleSessionId)();
    BOOL(WINAPI* ProcessIdToSessionId)(DWORD, DWORD*);
    BOOL(WINAPI* WTSQuerySessionInformationW)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
    void(WINAPI* WTSFreeMemory)(PVOID);
    // The log's preparation, so a test can make an open wait.
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    // The log's records, so a test can fail a write part-way (a full disk).
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    // What the log's preparation meets on Windows and not under Wine: a POSIX
    // delete that keeps the name taken until its handle closes (Wine answers
    // 87), renames refused onto such a name, a symbolic link or junction seen
    // as what it is (Wine's CreateSymbolicLinkW makes nothing), a file's real
    // owner (Wine makes one up), the ANSI code page (65001 where the UTF-8
    // beta option is on) and the conversion's refusal of flags there (Wine
    // accepts them).
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    BOOL(WINAPI* GetFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    DWORD(WINAPI* GetSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                   PSECURITY_DESCRIPTOR*);
    UINT(WINAPI* GetACP)();
    int(WINAPI* WideCharToMultiByte)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
    // The watch loop's monotonic clock and its pauses, so its schedule runs in
    // simulated time. Pause returns early only when `wake` is signalled.
    ULONGLONG (*TickMs)();
    void (*Pause)(HANDLE wake, DWORD milliseconds);
    // The watch loop's view of the guarded program, so a schedule test sees each
    // probe and each start. The last two are null in the default table: the
    // guard then runs the HTTP client's probe and its own launcher, the layers
    // that own them.
    ProgramPresence (*FindGuardedProgram)();
    ProbeOutcome (*Probe)(const std::string& url, const std::string& body, const std::atomic<LONG>* abort);
    ProgramRun (*RunGuardedProgram)(CZUNACertService& guard);
};

PlatformCalls& Platform();
// The table as built, with the real functions.
PlatformCalls DefaultPlatform();
