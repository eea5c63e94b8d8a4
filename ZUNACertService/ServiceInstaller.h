#pragma once
#include <windows.h>

// Registers this executable as the guard service, or brings an existing
// registration up to date in place (a running guard is stopped first). Reports
// to the log; returns 0 when the service is registered, otherwise the Win32
// error of the step that failed.
DWORD InstallService();
// Stops and deletes the guard service; reports to the log. Returns 0 when it
// is gone or marked for deletion, otherwise the Win32 error of the step that failed.
DWORD RemoveService();
// Deletes the event-log source that the install registered; a source that is
// not there is no failure. Returns the error of the delete, or 0.
DWORD RemoveEventLogSource();
