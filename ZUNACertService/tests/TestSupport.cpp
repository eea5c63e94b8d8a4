#include "TestSupport.h"

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <fstream>
#include <sstream>
#include <mutex>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "CZUNACertService.h"
#include "utils.h"

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string ReadLogFile() { return ReadFileBytes(kLogFilePath); }

namespace {

// "[YYYY-MM-DD HH:MM:SS.ffffff][0x12345678]: " at `at`.
bool IsRecordHeader(const std::string& s, size_t at) {
    static const char shape[] = "[dddd-dd-dd dd:dd:dd.dddddd][0xhhhhhhhh]: ";
    const size_t n = sizeof(shape) - 1;
    if (at + n > s.size()) return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[at + i];
        switch (shape[i]) {
        case 'd': if (c < '0' || c > '9') return false; break;
        case 'h': if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false; break;
        default: if (c != shape[i]) return false;
        }
    }
    return true;
}

const size_t kHeaderLength = 42;

}  // namespace

std::vector<LogRecord> ParseLog(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t at = 0; at < text.size(); at = text.find('[', at + 1)) {
        if ((at == 0 || text[at - 1] == '\n') && IsRecordHeader(text, at)) starts.push_back(at);
        if (at == std::string::npos) break;
    }
    std::vector<LogRecord> records;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t begin = starts[i];
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        LogRecord r;
        r.raw = text.substr(begin, end - begin);
        r.timestamp = r.raw.substr(1, 26);
        r.threadId = r.raw.substr(29, 10);
        std::string body = r.raw.substr(kHeaderLength);
        if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0) body.resize(body.size() - 2);
        const size_t open = body.find(" [ ");
        const size_t close = body.find(" ]  : ", open);
        const size_t valueOpen = body.rfind(" [ ");
        if (open == std::string::npos || close == std::string::npos || valueOpen == std::string::npos ||
            valueOpen < close || body.size() < 3 || body.compare(body.size() - 3, 3, " ] ") != 0) {
            r.message = body;  // not one of ours; kept whole
            records.push_back(r);
            continue;
        }
        r.source = body.substr(0, open);
        r.line = std::atoi(body.c_str() + open + 3);
        r.message = body.substr(close + 6, valueOpen - (close + 6));
        r.value = body.substr(valueOpen + 3, body.size() - 3 - (valueOpen + 3));
        records.push_back(r);
    }
    return records;
}

std::vector<LogRecord> RecordsAt(const std::string& source, int line) {
    std::vector<LogRecord> found;
    for (LogRecord& r : ParseLog(ReadLogFile())) {
        if (r.line == line && r.source.size() >= source.size() &&
            r.source.compare(r.source.size() - source.size(), source.size(), source) == 0) {
            found.push_back(r);
        }
    }
    return found;
}

std::string LastRecord(const std::string& source, int line) {
    const std::vector<LogRecord> r = RecordsAt(source, line);
    return r.empty() ? "<none>" : r.back().message + " [" + r.back().value + "]";
}

std::vector<LogRecord> GuardRecords(int line) { return RecordsAt("CZUNACertService.cpp", line); }

size_t GuardRecordCount(int line) { return GuardRecords(line).size(); }

std::string LastGuardRecord(int line) { return LastRecord("CZUNACertService.cpp", line); }

size_t LogMark() { return ParseLog(ReadLogFile()).size(); }

bool GuardRecordsInOrder(size_t mark, const std::vector<int>& lines) {
    const std::vector<LogRecord> records = ParseLog(ReadLogFile());
    size_t next = 0;
    for (size_t i = mark; i < records.size() && next < lines.size(); ++i) {
        if (records[i].source == "CZUNACertService.cpp" && records[i].line == lines[next]) ++next;
    }
    return next == lines.size();
}

double SecondsBetween(const LogRecord& from, const LogRecord& to) {
    namespace pt = boost::posix_time;
    return (pt::time_from_string(to.timestamp) - pt::time_from_string(from.timestamp)).total_microseconds() / 1e6;
}

namespace {
std::vector<EventEntry>* g_events = nullptr;
std::wstring g_registeredSource;
std::vector<SERVICE_STATUS>* g_statuses = nullptr;
std::vector<std::wstring>* g_debug = nullptr;
std::mutex g_recordLock;
HANDLE const kFakeSource = reinterpret_cast<HANDLE>(0x5eed);

HANDLE WINAPI FakeRegisterEventSource(LPCWSTR server, LPCWSTR source) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_registeredSource = server == nullptr && source != nullptr ? source : L"<not the local machine's>";
    return kFakeSource;
}
BOOL WINAPI FakeDeregisterEventSource(HANDLE) { return TRUE; }
BOOL WINAPI FakeReportEvent(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                            LPCWSTR* strings, LPVOID data) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    EventEntry entry{type, category, id, source == kFakeSource ? g_registeredSource : L"<unregistered>", {}, L""};
    for (WORD i = 0; i < count; ++i) entry.strings.push_back(strings[i]);
    if (count > 1) entry.text = strings[1];
    // No user, no raw data: an entry carries its texts only.
    if (user != nullptr || dataSize != 0 || data != nullptr) entry.strings.push_back(L"<unexpected user or data>");
    if (g_events) g_events->push_back(entry);
    return TRUE;
}
BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    if (g_statuses) g_statuses->push_back(*status);
    return TRUE;
}
void WINAPI FakeOutputDebugString(LPCWSTR text) {
    std::lock_guard<std::mutex> lock(g_recordLock);
    if (g_debug) g_debug->push_back(text);
}
}  // namespace

void RecordEventLog(std::vector<EventEntry>* sink) {
    g_events = sink;
    Platform().RegisterEventSourceW = FakeRegisterEventSource;
    Platform().DeregisterEventSource = FakeDeregisterEventSource;
    Platform().ReportEventW = FakeReportEvent;
}

std::vector<EventEntry> EntriesOf(const std::vector<EventEntry>& events, DWORD id) {
    std::vector<EventEntry> found;
    for (const EventEntry& e : events) {
        if (e.id == id) found.push_back(e);
    }
    return found;
}

std::wstring OnlyEntry(const std::vector<EventEntry>& events, GuardEvent id) {
    const std::vector<EventEntry> found = EntriesOf(events, id);
    if (found.size() == 1) return RenderEvent(found[0]);
    return L"<" + std::to_wstring(found.size()) + L" entries of event " + std::to_wstring(static_cast<DWORD>(id)) + L">";
}

void RecordStatus(std::vector<SERVICE_STATUS>* sink) {
    g_statuses = sink;
    Platform().SetServiceStatus = FakeSetServiceStatus;
}

void RecordDebugOutput(std::vector<std::wstring>* sink) {
    g_debug = sink;
    Platform().OutputDebugStringW = FakeOutputDebugString;
}

const LaunchStep kLaunchSteps[5] = {{159, "WTSQueryUserToken"},
                                     {170, "DuplicateTokenEx"},
                                     {180, "SetTokenInformation"},
                                     {191, "CreateEnvironmentBlock"},
                                     {211, "CreateProcessAsUser"}};

namespace {
LaunchFakes g_launch;

bool Failing(int line) {
    if (g_launch.failAt != line) return false;
    ::SetLastError(kLaunchError);
    return true;
}

// Environment names are case-insensitive on Windows.
std::wstring VariableIn(LPVOID block, const std::wstring& name) {
    for (auto* at = static_cast<const wchar_t*>(block); at != nullptr && *at != L'\0'; at += std::wcslen(at) + 1) {
        if (_wcsnicmp(at, (name + L"=").c_str(), name.size() + 1) == 0) return at + name.size() + 1;
    }
    return L"<none>";
}
}  // namespace

LaunchFakes& InstallLaunchFakes() {
    g_launch = LaunchFakes();
    Platform().WTSQueryUserToken = [](ULONG session, PHANDLE token) -> BOOL {
        return !Failing(159) && ::WTSQueryUserToken(session, token);
    };
    Platform().DuplicateTokenEx = [](HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES sa,
                                     SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE out) -> BOOL {
        g_launch.tokenType = type;
        const BOOL ok = !Failing(170) && ::DuplicateTokenEx(token, access, sa, level, type, out);
        g_launch.primary = ok ? *out : nullptr;
        return ok;
    };
    Platform().SetTokenInformation = [](HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size) -> BOOL {
        if (cls == TokenSessionId && token == g_launch.primary && size == sizeof(DWORD)) {
            g_launch.sessionSet.push_back(*static_cast<DWORD*>(info));
        }
        return !Failing(180) && ::SetTokenInformation(token, cls, info, size);
    };
    Platform().CreateEnvironmentBlock = [](LPVOID* block, HANDLE token, BOOL inherit) -> BOOL {
        g_launch.inheritEnvironment = inherit;
        g_launch.environmentToken = token;
        const BOOL ok = !Failing(191) && ::CreateEnvironmentBlock(block, token, inherit);
        g_launch.environment = ok ? *block : nullptr;
        g_launch.userProfile = VariableIn(g_launch.environment, L"USERPROFILE");
        return ok;
    };
    Platform().CreateProcessAsUserW = [](HANDLE token, LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa,
                                         LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                         LPCWSTR dir, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) -> BOOL {
        ++g_launch.processCalls;
        g_launch.processToken = token;
        g_launch.application = app ? app : L"<null>";
        g_launch.commandLine = cmd ? cmd : L"<null>";
        g_launch.desktop = si->lpDesktop ? si->lpDesktop : L"<null>";
        g_launch.directory = dir ? dir : L"<null>";
        g_launch.flags = flags;
        g_launch.environmentGiven = env;
        return !Failing(211) && ::CreateProcessAsUserW(token, app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    };
    return g_launch;
}

std::wstring TestDir() { return GetModuleDirectory(); }

std::wstring StandinExe() {
    std::wstring dir = TestDir();
    for (int up = 0; up < 4; ++up) {
        const std::wstring candidate = dir + L"\\standin\\ZUNATAVLService.exe";
        if (::GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) return candidate;
        const size_t slash = dir.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        dir.resize(slash);
    }
    return std::wstring();
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

ChildProcess StartProcess(const std::wstring& exe, const std::wstring& arguments, const std::wstring& directory) {
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ChildProcess child;
    if (::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                         directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        ::CloseHandle(info.hThread);
        child.process.reset(info.hProcess);
        child.pid = info.dwProcessId;
    }
    return child;
}

DWORD RunProcess(const std::wstring& exe, const std::wstring& arguments, std::string* out, DWORD timeoutMs,
                 DWORD drainMs) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 0xFFFFFFFF;
    CHandle reader(readEnd);
    CHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &info)) {
        return 0xFFFFFFFF;
    }
    CHandle process(info.hProcess);
    CHandle thread(info.hThread);
    writer.reset();
    // Read without blocking: a child of the program may hold the pipe open for
    // ever, and its output is not waited for past the bound.
    std::string collected;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    ULONGLONG drainEnd = 0;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // every writer gone
        if (available > 0) {
            char buf[4096];
            DWORD n = 0;
            if (!::ReadFile(reader.get(), buf, sizeof(buf) < available ? sizeof(buf) : available, &n, nullptr)) break;
            collected.append(buf, n);
            continue;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            if (drainEnd == 0) drainEnd = now + drainMs;
            if (now >= drainEnd) break;
        } else if (now >= deadline) {
            ::TerminateProcess(process.get(), 0xDEAD);
            ::WaitForSingleObject(process.get(), 5000);
        }
        ::Sleep(10);
    }
    if (out) *out = collected;
    return ExitCodeOf(process.get());
}

DWORD ExitCodeOf(HANDLE process) {
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process, &code);
    return code;
}

bool IsProcessAlive(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

namespace {
template <typename F>
int ForEachNamed(const std::wstring& name, F f) {
    CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    if (!::Process32FirstW(snapshot.get(), &entry)) return 0;
    do {
        if (name == entry.szExeFile) {
            ++count;
            f(entry.th32ProcessID);
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return count;
}
}  // namespace

int KillAllNamed(const std::wstring& name) {
    return ForEachNamed(name, [](DWORD pid) {
        CHandle p(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (p) {
            ::TerminateProcess(p.get(), 0);
            ::WaitForSingleObject(p.get(), 5000);
        }
    });
}

int CountProcessesNamed(const std::wstring& name) {
    return ForEachNamed(name, [](DWORD) {});
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(step);
    }
}

std::wstring RenderEvent(const EventEntry& entry) {
    // Programs in a folder of their own sit one level deeper.
    static const HMODULE tavl = [] {
        HMODULE found = nullptr;
        for (const wchar_t* up : {L"\\..", L"\\..\\.."}) {
            if (found == nullptr) {
                found = ::LoadLibraryExW((TestDir() + up + L"\\ZUNACertService\\TAVL.exe").c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE);
            }
        }
        return found;
    }();
    std::vector<DWORD_PTR> args;
    for (const std::wstring& s : entry.strings) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
    wchar_t shown[2048] = {};
    if (tavl == nullptr ||
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, tavl, entry.id, 0, shown, 2048,
                         reinterpret_cast<va_list*>(args.data())) == 0) {
        return L"<no message " + std::to_wstring(entry.id) + L": " + std::to_wstring(::GetLastError()) + L">";
    }
    std::wstring text(shown);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.resize(text.size() - 2);
    return text;
}

size_t CountOpenHandles() {
    size_t count = 0;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

size_t CountThreadsOfThisProcess() {
    CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    if (snapshot && ::Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
        } while (::Thread32Next(snapshot.get(), &entry));
    }
    return count;
}

CWatchdog::CWatchdog(double seconds, std::string step)
    : m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_step(std::move(step)) {
    struct Args {
        HANDLE done;
        DWORD ms;
        std::string step;
    };
    auto* args = new Args{m_done.get(), static_cast<DWORD>(seconds * 1000), m_step};
    m_thread = ::CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            std::unique_ptr<Args> a(static_cast<Args*>(p));
            if (::WaitForSingleObject(a->done, a->ms) == WAIT_TIMEOUT) {
                std::fprintf(stderr, "\nHUNG: %s did not finish within %.1f s\n", a->step.c_str(), a->ms / 1000.0);
                std::fflush(stderr);
                std::fflush(stdout);
                ::TerminateProcess(::GetCurrentProcess(), 3);
            }
            return 0;
        },
        args, 0, nullptr);
    if (m_thread == nullptr) delete args;  // no watchdog, the test still runs
}

CWatchdog::~CWatchdog() {
    ::SetEvent(m_done.get());
    if (m_thread != nullptr) {
        ::WaitForSingleObject(m_thread, INFINITE);
        ::CloseHandle(m_thread);
    }
}
