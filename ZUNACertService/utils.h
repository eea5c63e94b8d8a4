#pragma once
#include <string>

#include "Platform.h"

#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/logger.hpp>

// The one diagnostic logger of the process, created on first use.
BOOST_LOG_INLINE_GLOBAL_LOGGER_DEFAULT(my_logger, boost::log::sources::logger_mt)

// Executable name of the guarded program, compared byte for byte.
extern const char kGuardedExeName[];
// Where the diagnostic log lives.
extern const wchar_t kLogFilePath[];

// Adds the file sink and the common attributes; once per process.
void InitLog();
// Writes one record: "<file> [ <line> ]  : <message> [ <value> ] ". Never fails
// towards the caller, whatever happens to the log file.
void WriteLog(std::string file, int line, std::string message, int value);

// Text from outside (the probe's reply) made fit for one record: CR as \r, LF
// as \n, any other control character as \xNN, and when that comes to more
// than 1,024 bytes, its first 1,024 followed by "...(<total> bytes)". Nothing
// it holds can start a line that looks like a record, or fill the log.
std::string EscapedForLog(const std::string& text);

// Whether a process named exactly kGuardedExeName is in the table.
ProgramPresence FindGuardedProgram();
// True as soon as a process named exactly kGuardedExeName is in the table.
bool IsGuardedProcessRunning();
// Terminates, with exit code 0, every process whose name in GBK equals `name`;
// `ended`, when given, receives how many were terminated. False only when the
// process table cannot be read.
bool KillProcessByName(std::string name, int* ended = nullptr);
// Wide to GBK, dropping characters that GBK cannot represent.
std::string ToGbkSkippingUnmappable(const std::wstring& text);
