#pragma once
// The log's sink: every record, formatted as always, goes through the handle
// the process holds on the log file; nothing opens the log by name again.
#include "Handle.h"

// Adds the sink to the logging core. Records go after what the file already
// holds; a record that would bring the file to `limitBytes` or more truncates
// it in place and opens it again. Throws std::system_error when the file's
// size cannot be had.
void AddLogFileSink(CFileHandle file, unsigned long long limitBytes);
