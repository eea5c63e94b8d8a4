#include "LogSink.h"

#include "LogFile.h"
#include "Platform.h"

#include <string>
#include <system_error>

#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/utility/setup/formatter_parser.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>

namespace {

namespace logging = boost::log;
namespace sinks = boost::log::sinks;

[[noreturn]] void Throw(DWORD error, const char* call) {
    throw std::system_error(static_cast<int>(error), std::system_category(), call);
}

class CLogFileBackend : public sinks::basic_formatted_sink_backend<char, sinks::synchronized_feeding> {
public:
    CLogFileBackend(CFileHandle file, const wchar_t* path, unsigned long long limit)
        : m_file(std::move(file)), m_path(path), m_limit(limit) {
        LARGE_INTEGER end = {};
        if (!::SetFilePointerEx(m_file.get(), LARGE_INTEGER{}, &end, FILE_END)) {
            Throw(::GetLastError(), "SetFilePointerEx");
        }
        m_size = static_cast<unsigned long long>(end.QuadPart);
    }

    // One record at a time, under the frontend's lock. Each record is one
    // write, so a reader sees it at once and a failure loses only that record.
    void consume(const logging::record_view&, const string_type& formatted) {
        // The bytes as passed; a line feed is written as CRLF, as the text
        // mode of the earlier file stream did, and CRLF ends the record.
        m_bytes.clear();
        for (const char c : formatted) {
            if (c == '\n') m_bytes += '\r';
            m_bytes += c;
        }
        m_bytes += "\r\n";
        if (m_size > 0 && m_size + m_bytes.size() >= m_limit) StartAgain();
        DWORD written = 0;
        if (!Platform().WriteFile(m_file.get(), m_bytes.data(), static_cast<DWORD>(m_bytes.size()), &written, nullptr)) {
            const DWORD error = ::GetLastError();
            Resynchronise();
            Throw(error, "WriteFile");
        }
        m_size += written;
    }

private:
    // In place, through the same handle: the name is never opened again. The
    // records so far are kept as `.old` first; should that fail they are
    // lost, and the limit holds all the same.
    void StartAgain() {
        KeepCopyAsOld(m_file.get(), m_path.c_str());
        if (!::SetFilePointerEx(m_file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
            !::SetEndOfFile(m_file.get())) {
            const DWORD error = ::GetLastError();
            Resynchronise();
            Throw(error, "SetEndOfFile");
        }
        m_size = 0;
    }

    // After a failed call the count follows the file again, at its end.
    void Resynchronise() {
        LARGE_INTEGER end = {};
        if (::SetFilePointerEx(m_file.get(), LARGE_INTEGER{}, &end, FILE_END)) {
            m_size = static_cast<unsigned long long>(end.QuadPart);
        }
    }

    CFileHandle m_file;
    const std::wstring m_path;
    const unsigned long long m_limit;
    unsigned long long m_size = 0;  // bytes in the file, every CR counted
    std::string m_bytes;
};

}  // namespace

void AddLogFileSink(CFileHandle file, const wchar_t* path, unsigned long long limitBytes) {
    auto backend = boost::make_shared<CLogFileBackend>(std::move(file), path, limitBytes);
    auto sink = boost::make_shared<sinks::synchronous_sink<CLogFileBackend>>(backend);
    sink->set_formatter(logging::parse_formatter("[%TimeStamp%][%ThreadID%]: %Message%"));
    logging::core::get()->add_sink(sink);
}
