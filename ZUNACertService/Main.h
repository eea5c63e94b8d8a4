#pragma once
#include <windows.h>

// The single-instance mutex: in the global namespace, where the service's own
// unprefixed name lies on Windows, so a console copy meets the service's.
extern const wchar_t kInstanceMutexName[];

// The program's whole start-up: single-instance check, log, command word or
// service mode. Returns the process exit code: 0 on success; for -install and
// -remove the Win32 error of the step that failed (183 for another instance).
int GuardMain(int argc, wchar_t* argv[]);

#include <string>

// The event-log warning of a run that has no diagnostic log.
void ReportNoLog(const std::wstring& path, DWORD error);

// True when the service control manager started this process as the guard
// service (it names this process as the service's).
bool StartedByServiceManager();
