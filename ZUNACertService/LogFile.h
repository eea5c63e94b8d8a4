#pragma once
// Makes the log path safe to open by name. C:\Users\Public lets anyone create
// entries there, so whatever stands at the path (a link, a junction, a folder,
// a file someone else made) is removed and a file of this run's own is created
// with an explicit security descriptor. The handle handed out is the one every
// record is written through, without delete or write sharing, so the name
// cannot be swapped for a link while the process lives, at 10 MiB either.
#include <windows.h>

#include <string>

#include "Handle.h"

// The log file at `path`, open for reading and writing. The previous run's log
// becomes `.old`; where `.old` cannot take it, it is kept beside it as
// `<log>.<UTC time>-<process>-<n>.old`, the newest three of them. Where the
// entry cannot be moved because another process holds it open, the guard's own
// plain file with one link (owned by SYSTEM or Administrators) is written on
// after what it holds; anything else gives no handle and the Win32 error in
// *error.
CFileHandle PrepareLogFile(const wchar_t* path, DWORD* error);

// At the size limit: what the log `log` at `path` holds is copied into a
// fresh `.old` beside it, replacing the older one, or, where `.old` is held
// open without delete sharing, into a kept log of a name of its own. The log
// keeps its name and handle throughout, so nothing can take the name.
// Returns 0 or the Win32 error.
DWORD KeepCopyAsOld(HANDLE log, const wchar_t* path);

// The same on a worker, given `milliseconds`: an open may wait on another
// program's lock on the old file or on a profile on a slow share, and the
// service's start must not. When the time is up: no handle, ERROR_TIMEOUT,
// and what the worker opens later it closes itself.
CFileHandle PrepareLogFileWithin(const wchar_t* path, DWORD milliseconds, DWORD* error);

// Who hears that this run has no log: at most once per process, with the path
// and the Win32 error, on the thread of the first record. Records it writes
// itself go nowhere.
void SetLogUnavailableReporter(void (*reporter)(const std::wstring& path, DWORD error));
// Tells the reporter, the first time only.
void ReportLogUnavailable(const std::wstring& path, DWORD error);
