#pragma once
// Whether others than the machine's own principals may change the guard's
// program or its folder. The service runs TAVL.exe as LocalSystem from where
// it was installed and starts the guarded program from the same folder, so
// such rights let them run code as LocalSystem.
#include <windows.h>

#include <string>

// The principals, as string SIDs separated by blanks, that `descriptor` grants
// write, append, delete, change-permission or take-ownership rights, apart from
// SYSTEM, Administrators, TrustedInstaller and the creator-owner. A missing
// DACL grants everything to everyone ("S-1-1-0"). Empty when there are none.
std::wstring OtherWriters(PSECURITY_DESCRIPTOR descriptor);

// Checks `exePath` and its folder; when others may change them, writes one log
// record and one event-log error entry that name the folder.
void ReportInstallFolderRights(const std::wstring& exePath);
