#pragma once
// Whether others than the machine's own principals may change the guard's
// program or its folder. The service runs TAVL.exe as LocalSystem from where
// it was installed and starts the guarded program from the same folder, so
// such rights let them run code as LocalSystem.
#include <windows.h>

#include <string>

// Rights that let a principal change an object, or, on a folder's parent,
// delete or rename the folder (and so swap it for another).
extern const DWORD kChangeRights;
extern const DWORD kSwapChildRights;

// The principals, as string SIDs separated by blanks, that `descriptor` grants
// any of `rights` (or whose owner it names), apart from SYSTEM,
// Administrators, TrustedInstaller and the creator-owner. A missing DACL
// grants everything to everyone ("S-1-1-0"). Empty when there are none.
std::wstring OtherWriters(PSECURITY_DESCRIPTOR descriptor, DWORD rights = kChangeRights);

// Checks `exePath`, its folder and the folder's parent; when others may change
// them, writes one log record and one event-log error entry from `source` that
// name the folder.
void ReportInstallFolderRights(const std::wstring& exePath, PCWSTR source);
