#pragma once
// Makes the log path safe to open by name. C:\Users\Public lets anyone create
// entries there, so whatever stands at the path (a link, a junction, a folder,
// a file someone else made) is removed and a file of this run's own is created
// with an explicit security descriptor. A handle without delete sharing is kept
// on it for the life of the process, so the name cannot be swapped for a link
// afterwards, at rotation either.
#include <windows.h>

// True when the caller may open `path` by name for writing. Where the entry
// cannot be replaced because another process holds it open, a plain file with
// one link is kept and held as it is; anything else gives false.
bool PrepareLogFile(const wchar_t* path);
