#include "utils.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include <boost/locale/encoding.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>

#include "Handle.h"
#include "LogFile.h"
#include "Platform.h"
#include "LogSink.h"

const char kGuardedExeName[] = "ZUNATAVLService.exe";
const wchar_t kLogFilePath[] = L"C:\\Users\\Public\\ZUNACertService.log";

namespace logging = boost::log;

namespace {
std::atomic<bool> g_logInitialised{false};
std::once_flag g_fileSinkOnce;

// MSVC's __FILE__ is the full build path: records name the file below the
// program's folder, with forward slashes, whichever compiler built it.
std::string SourceName(std::string file) {
    static const char kFolder[] = "ZUNACertService";
    const size_t length = sizeof(kFolder) - 1;
    size_t start = std::string::npos;
    for (size_t at = file.find(kFolder); at != std::string::npos; at = file.find(kFolder, at + 1)) {
        const size_t end = at + length;
        const bool whole = (at == 0 || file[at - 1] == '/' || file[at - 1] == '\\') && end < file.size() &&
                           (file[end] == '/' || file[end] == '\\');
        if (whole) start = end + 1;
    }
    if (start != std::string::npos) file.erase(0, start);
    std::replace(file.begin(), file.end(), '\\', '/');
    return file;
}

// The log's preparation may wait; the start is given up to this much.
const DWORD kLogPreparationMs = 5000;
// Why this run has no log; 0 while it has one.
std::atomic<DWORD> g_unavailable{0};

// Made at the first record, so a run that writes none leaves the log as it is.
void AddFileSink() {
    // Without a file of its own at the path there is no sink: what else stands
    // there may lead anywhere. The records are lost.
    DWORD error = 0;
    try {
        CFileHandle file = PrepareLogFileWithin(kLogFilePath, kLogPreparationMs, &error);
        if (file) {
            AddLogFileSink(std::move(file), kLogFilePath, 10 * 1024 * 1024);
            return;
        }
    } catch (const std::system_error& e) {
        error = static_cast<DWORD>(e.code().value());
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        error = ERROR_INTERNAL_ERROR;
    }
    logging::core::get()->set_logging_enabled(false);
    g_unavailable = error != 0 ? error : ERROR_INTERNAL_ERROR;
}
}  // namespace

void InitLog() {
    // A log file that cannot be created, opened or written must never stop the
    // guard: the core swallows what the sink throws, and the record is lost.
    logging::core::get()->set_exception_handler(logging::make_exception_suppressor());
    logging::add_common_attributes();
    g_logInitialised = true;
}

void WriteLog(std::string file, int line, std::string message, int value) {
    try {
        if (g_logInitialised) {
            std::call_once(g_fileSinkOnce, &AddFileSink);
            // Outside the once, so a reporter that writes a record does not wait on itself.
            if (const DWORD error = g_unavailable.load()) ReportLogUnavailable(kLogFilePath, error);
        }
        my_logger::logger_type& logger = my_logger::get();
        BOOST_LOG(logger) << SourceName(std::move(file)) << " [ " << line << " ] "
                          << " : " << message << " [ " << value << " ] ";
    } catch (...) {
        // Logging is best effort; the caller's work matters more than its record.
    }
}

std::string EscapedForLog(const std::string& text) {
    const size_t kMaxBytes = 1024;
    std::string out;
    size_t used = 0;
    for (; used < text.size(); ++used) {
        const unsigned char c = static_cast<unsigned char>(text[used]);
        char piece[8] = {static_cast<char>(c), '\0'};
        if (c == '\r') {
            std::strcpy(piece, "\\r");
        } else if (c == '\n') {
            std::strcpy(piece, "\\n");
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(piece, sizeof(piece), "\\x%02x", c);
        }
        const size_t n = std::strlen(piece);
        if (out.size() + n > kMaxBytes) break;  // an escape is never cut in two
        out.append(piece, n);
    }
    if (used < text.size()) out += "...(" + std::to_string(text.size()) + " bytes)";
    return out;
}

ProgramPresence FindGuardedProgram() {
    CFileHandle snapshot(Platform().CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ProgramPresence::Unknown;

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) return ProgramPresence::Unknown;
    do {
        const size_t length = std::wcslen(entry.szExeFile);
        std::vector<char> narrow(length * 2 + 1, '\0');
        const size_t converted = std::wcstombs(narrow.data(), entry.szExeFile, narrow.size());
        // A name that does not convert in full does not match.
        if (converted != static_cast<size_t>(-1) && converted < narrow.size() &&
            std::strcmp(narrow.data(), kGuardedExeName) == 0) {
            return ProgramPresence::Running;
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return ProgramPresence::Absent;
}

bool IsGuardedProcessRunning() { return FindGuardedProgram() == ProgramPresence::Running; }

// Unit of one character: a surrogate pair stays together.
static size_t CharacterLength(const std::wstring& text, size_t at) {
    const wchar_t c = text[at];
    if (c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size()) {
        const wchar_t d = text[at + 1];
        if (d >= 0xDC00 && d <= 0xDFFF) return 2;
    }
    return 1;
}

std::string ToGbkSkippingUnmappable(const std::wstring& text) {
    namespace conv = boost::locale::conv;
    // Boost's skip method hands the converter a one-byte substitute; for a
    // double-byte code page Wine reads two bytes from it and writes whatever
    // follows instead of dropping the character. Asking for a strict
    // conversion one character at a time drops exactly the unmappable ones
    // everywhere.
    try {
        return conv::from_utf(text, "gbk", conv::stop);
    } catch (const conv::conversion_error&) {
    }
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t n = CharacterLength(text, at);
        try {
            out += conv::from_utf(text.substr(at, n), "gbk", conv::stop);
        } catch (const conv::conversion_error&) {
        }
        at += n;
    }
    return out;
}

bool KillProcessByName(std::string name, int* ended) {
    if (ended != nullptr) *ended = 0;
    CFileHandle snapshot(Platform().CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !::Process32FirstW(snapshot.get(), &entry)) return false;
    do {
        std::string gbk;
        try {
            gbk = ToGbkSkippingUnmappable(std::wstring(entry.szExeFile));
        } catch (...) {
            continue;  // a converter that cannot be had matches nothing
        }
        if (gbk == name) {
            // A process that has ended since the snapshot, or that may not be
            // opened, is left alone.
            CHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
            if (process && ::TerminateProcess(process.get(), 0) && ended != nullptr) ++*ended;
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return true;
}
