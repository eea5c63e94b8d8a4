#pragma once
// Whether others than the machine's own principals may change the guard's
// programs or their folder. The service runs TAVL.exe as LocalSystem from
// where it was installed and starts the guarded program from the same folder
// (with the console user's token, an administrator's too), so such rights let
// them run code as LocalSystem or as an administrator.
#include <windows.h>

#include <string>

// Rights that let a principal change an object, or, on a folder's parent,
// delete or rename the folder (and so swap it for another).
extern const DWORD kChangeRights;
extern const DWORD kSwapChildRights;

// The principals that `descriptor` grants any of `rights` or names as owner,
// apart from SYSTEM, Administrators, TrustedInstaller and the creator-owner:
// each as its string SID, then "owner" where it owns the object and the rights
// among `rights` it holds in hex ("S-1-5-11 0x10006, S-1-5-32-545 owner"). A
// missing DACL grants everything to everyone ("S-1-1-0 no DACL"). Empty when
// there are none.
std::wstring OtherWriters(PSECURITY_DESCRIPTOR descriptor, DWORD rights = kChangeRights);

// Checks `exePath`, the guarded program beside it, their folder and the
// folder's parent; when others may change them, writes one log record and one
// event-log error entry from `source` that name each of them with who may
// change it and how.
void ReportInstallFolderRights(const std::wstring& exePath, PCWSTR source);
