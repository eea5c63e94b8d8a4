#pragma once
// Makes the log path safe to open by name. C:\Users\Public lets anyone create
// entries there, so whatever stands at the path (a link, a junction, a folder,
// a file someone else made) is removed and a file of this run's own is created
// with an explicit security descriptor. The handle handed out is the one every
// record is written through, without delete sharing, so the name cannot be
// swapped for a link while the process lives, at rotation either.
#include <windows.h>

#include "Handle.h"

// The log file at `path`, open for writing. Where the entry cannot be replaced
// because another process holds it open, a plain file with one link is kept
// as it is; anything else gives no handle and the Win32 error in *error.
CFileHandle PrepareLogFile(const wchar_t* path, DWORD* error);
