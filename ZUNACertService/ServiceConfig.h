#pragma once
// The settings of the guard's registration that must hold however it was
// installed (-install, the MSI, an older build): its description, restart
// after a failure, and a quoted program path.
#include <windows.h>

#include <string>

// The service manager restarts the guard 60 s after its first and second
// failure and every 5 minutes after that, counts a stop with a non-zero exit
// code as a failure, and forgets failures after a day.
extern const DWORD kFailureResetSeconds;
extern const SC_ACTION kFailureActions[3];

// Sets the description and the failure actions on `service` (opened with
// SERVICE_CHANGE_CONFIG | SERVICE_START). Returns the first error, 0 when all held.
DWORD ApplyServiceSettings(SC_HANDLE service);

// At each start: the service named `serviceName` gets, where missing, its
// description and failure actions (an administrator's own actions stay), and
// its program path quoted when it is `exePath` unquoted. Failures are logged.
void CheckOwnRegistration(PCWSTR serviceName, const std::wstring& exePath);
