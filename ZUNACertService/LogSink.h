#pragma once
// The log's sink: every record, formatted as always, goes through the handle
// the process holds on the log file; nothing opens the log by name again.
#include "Handle.h"

// Adds the sink to the logging core. Records go after what the file at `path`
// already holds; before a record that would bring the file to `limitBytes` or
// more, what it holds becomes `.old` (KeepCopyAsOld) and the file starts again
// in place. Throws std::system_error when the file's size cannot be had.
void AddLogFileSink(CFileHandle file, const wchar_t* path, unsigned long long limitBytes);
