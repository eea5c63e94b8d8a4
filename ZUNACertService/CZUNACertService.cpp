#include "CZUNACertService.h"

#include <wtsapi32.h>
#include <userenv.h>

#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Platform.h"
#include "core/Http.h"
#include "utils.h"

const wchar_t kServiceName[] = L"ZUNATAVLGuardService";
const wchar_t kServiceDisplayName[] = L"ZUNATAVLGuardService zuna Service";
const wchar_t kServiceDescription[] =
    L"ZUNA\u7edf\u4e00\u63a7\u4ef6\u652f\u6301\u8c37\u6b4c\u6d4f\u89c8\u5668\u7684\u670d\u52a1";
const char kProbeUrl[] = "http://127.0.0.1:58000";
const char kProbeBody[] = "{\"active\":\"CertInfo\", \"name\" : \"GetOCXVersion\"}";

namespace {

const DWORD kCyclePauseMs = 1000;
const DWORD kLaunchPauseMs = 2000;
const int kProbeIntervalSeconds = 30;
// "子进程结束，回收资源..." in code page 936.
const char kChildEndedGbk[] =
    "\xD7\xD3\xBD\xF8\xB3\xCC\xBD\xE1\xCA\xF8\xA3\xAC\xBB\xD8\xCA\xD5\xD7\xCA\xD4\xB4...";

int ElapsedSeconds(const boost::posix_time::ptime& from, const boost::posix_time::ptime& to) {
    const boost::posix_time::time_duration d = to - from;
    return static_cast<int>(d.ticks() / d.ticks_per_second());
}

std::string ToAnsi(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(n));
    if (::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer.data(), n, nullptr, nullptr) <= 0) {
        return std::string();
    }
    return std::string(buffer.data());
}

}  // namespace

std::wstring GetModulePath() {
    // A path longer than MAX_PATH is not cut: the buffer grows until it fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = Platform().GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring GetModuleDirectory() {
    const std::wstring path = GetModulePath();
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}

CZUNACertService::CZUNACertService(PCWSTR serviceName, bool canStop, bool canShutdown, bool canPauseContinue)
    : CServiceBase(serviceName, canStop, canShutdown, canPauseContinue),
      m_stopping(0),
      m_guardedProcess(nullptr) {
    m_exePath = GetModuleDirectory() + L"\\ZUNATAVLService.exe";
    m_stoppedEvent.reset(Platform().CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stoppedEvent) throw static_cast<DWORD>(::GetLastError());
    m_abandonEvent.reset(Platform().CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_abandonEvent) throw static_cast<DWORD>(::GetLastError());
    WriteLog(__FILE__, 304, ToAnsi(m_exePath), 0);
}

CZUNACertService::~CZUNACertService() {
    // After a shutdown OnStop has not run and the watch thread may still be
    // busy: end it before the members go, leaving the guarded program alone.
    if (m_watchThread) {
        {
            std::lock_guard<std::mutex> lock(m_launchLock);
            m_stopping = 1;
        }
        ::SetEvent(m_abandonEvent.get());
        try {
            if (m_watchThread->joinable()) m_watchThread->join();
        } catch (...) {
        }
        m_watchThread.reset();
    }
}

void CZUNACertService::OnStart(DWORD, PWSTR*) {
    ReportToEventLog(L"CZUNACertService in OnStart", EVENTLOG_INFORMATION_TYPE);
    ReportToEventLog(GetModuleDirectory().c_str(), EVENTLOG_INFORMATION_TYPE);
    if (!m_watchThread) {
        m_watchThread.reset(new boost::thread(&CZUNACertService::WatchLoop, this));
    }
}

void CZUNACertService::OnStop() {
    WriteLog(__FILE__, 389, "service stop soon!", 0);
    bool terminated = false;
    {
        std::lock_guard<std::mutex> lock(m_launchLock);
        m_stopping = 1;
        HANDLE process = m_guardedProcess.load();
        if (process != nullptr) {
            // The launcher's wait ends with it; failure means it has just ended.
            ::TerminateProcess(process, 0);
            terminated = true;
        }
    }
    if (terminated) WriteLog(__FILE__, 394, "service TerminateProcess!", 0);
    ReportToEventLog(L"CZUNACertService in OnStop", EVENTLOG_INFORMATION_TYPE);
    WriteLog(__FILE__, 403, "service thread stop soon!", 0);
    if (m_watchThread && m_watchThread->joinable()) {
        m_watchThread->join();
        m_watchThread.reset();
        WriteLog(__FILE__, 409, "service thread stop!", 0);
    }
    WriteLog(__FILE__, 411, "service stop over!", 0);
}

void CZUNACertService::WatchLoop() {
    PlatformCalls& platform = Platform();
    HANDLE wake = m_abandonEvent.get();
    boost::posix_time::ptime lastProbe = platform.UtcNow();
    while (m_stopping.load() == 0) {
        if (!platform.IsGuardedProcessRunning()) {
            LaunchInUserSession();
            platform.Pause(wake, kLaunchPauseMs);
        }
        const int elapsed = ElapsedSeconds(lastProbe, platform.UtcNow());
        if (platform.IsGuardedProcessRunning() && elapsed >= kProbeIntervalSeconds &&
            m_stopping.load() == 0) {
            const std::string reply = platform.Probe(kProbeUrl, kProbeBody, &m_stopping);
            WriteLog(__FILE__, 368, EscapedForLog(reply), 0);
            // A probe given up for a stop says nothing about the program.
            if (reply.empty() && m_stopping.load() == 0) {
                KillProcessByName(kGuardedExeName);
                platform.Pause(wake, kLaunchPauseMs);
                LaunchInUserSession();
            }
            lastProbe = platform.UtcNow();
        }
        platform.Pause(wake, kCyclePauseMs);
    }
    ::SetEvent(m_stoppedEvent.get());
}

CHandle CZUNACertService::StartGuardedProgram(HANDLE primaryToken, LPVOID environment, CHandle& thread) {
    const std::wstring directory = GetModuleDirectory();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    PROCESS_INFORMATION info = {};

    std::lock_guard<std::mutex> lock(m_launchLock);
    if (m_stopping.load() != 0) return CHandle();  // a stop has come: start nothing more
    const BOOL created = ::CreateProcessAsUserW(
        primaryToken, m_exePath.c_str(), nullptr, nullptr, nullptr, FALSE,
        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment,
        directory.empty() ? nullptr : directory.c_str(), &startup, &info);
    if (!created) {
        WriteLog(__FILE__, 211, "CreateProcessAsUser %d", static_cast<int>(::GetLastError()));
        return CHandle();
    }
    thread.reset(info.hThread);
    m_guardedProcess = info.hProcess;
    return CHandle(info.hProcess);
}

void CZUNACertService::LaunchInUserSession() {
    const DWORD sessionId = ::WTSGetActiveConsoleSessionId();

    CHandle userToken;
    if (!::WTSQueryUserToken(sessionId, userToken.put())) {
        WriteLog(__FILE__, 159, "WTSQueryUserToken %d", static_cast<int>(::GetLastError()));
        return;
    }
    CHandle primaryToken;
    if (!::DuplicateTokenEx(userToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                            primaryToken.put())) {
        WriteLog(__FILE__, 170, "DuplicateTokenEx %d", static_cast<int>(::GetLastError()));
        return;
    }
    DWORD session = sessionId;
    if (!::SetTokenInformation(primaryToken.get(), TokenSessionId, &session, sizeof(session))) {
        WriteLog(__FILE__, 180, "SetTokenInformation %d", static_cast<int>(::GetLastError()));
        return;
    }
    CEnvironmentBlock environment;
    if (!::CreateEnvironmentBlock(environment.put(), primaryToken.get(), FALSE)) {
        WriteLog(__FILE__, 191, "CreateEnvironmentBlock %d", static_cast<int>(::GetLastError()));
        return;
    }

    CHandle thread;
    CHandle process = StartGuardedProgram(primaryToken.get(), environment.get(), thread);
    if (!process) return;

    // A shutdown abandons the wait and leaves the program running.
    HANDLE waits[2] = {process.get(), m_abandonEvent.get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        WriteLog(__FILE__, 225, kChildEndedGbk, 0);
    }

    // Unpublish and close under the lock, so OnStop never terminates a closed handle.
    std::lock_guard<std::mutex> lock(m_launchLock);
    m_guardedProcess = nullptr;
    process.reset();
    thread.reset();
}
