#include "ServiceBase.h"

#include <cwchar>
#include <mutex>
#include <string>

#include "Handle.h"
#include "Platform.h"
#include "utils.h"

CServiceBase* CServiceBase::s_instance = nullptr;
DWORD CServiceBase::s_checkPoint = 1;

namespace {
// Once STOPPED is reported the dispatcher may return and the service object be
// destroyed while the reporting thread is still on its way out, so the lock
// lives outside the object and is never destroyed.
std::mutex& StatusLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
}  // namespace

void FormatErrorCode(DWORD code, wchar_t* out) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    size_t n = 0;
    out[n++] = L'0';
    out[n++] = L'x';
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const DWORD digit = (code >> shift) & 0xF;
        if (digit != 0) started = true;
        if (started) out[n++] = kDigits[digit];
    }
    out[n] = L'\0';
}

bool CServiceBase::RunInternal(CServiceBase& service) {
    s_instance = &service;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<PWSTR>(service.m_serviceName), &CServiceBase::ServiceEntry},
        {nullptr, nullptr},
    };
    if (Platform().StartServiceCtrlDispatcherW(table)) return true;

    const DWORD error = ::GetLastError();
    wchar_t text[128] = {};
    FormatErrorCode(error, text);
    Platform().OutputDebugStringW(text);
    WriteLog(__FILE__, 99, "RunInternal error, err code : %s", static_cast<int>(error));
    return false;
}

CServiceBase::CServiceBase(PCWSTR serviceName, bool canStop, bool canShutdown, bool canPauseContinue)
    : m_serviceName(serviceName), m_status(), m_statusHandle(nullptr) {
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwCurrentState = SERVICE_START_PENDING;
    DWORD accepted = 0;
    if (canStop) accepted |= SERVICE_ACCEPT_STOP;
    if (canShutdown) accepted |= SERVICE_ACCEPT_SHUTDOWN;
    if (canPauseContinue) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    m_status.dwControlsAccepted = accepted;
}

CServiceBase::~CServiceBase() {
    if (s_instance == this) s_instance = nullptr;
}

void WINAPI CServiceBase::ServiceEntry(DWORD argc, PWSTR* argv) {
    CServiceBase* service = s_instance;
    if (service == nullptr) return;
    service->m_statusHandle =
        Platform().RegisterServiceCtrlHandlerW(service->m_serviceName, &CServiceBase::ControlHandler);
    if (service->m_statusHandle == nullptr) {
        // No status can be reported without the handle, and the dispatcher would
        // hold the process until the manager gives up on it: end it with the error.
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 120, "RegisterServiceCtrlHandler failed w/err 0x%08lx\n", static_cast<int>(error));
        Platform().ExitProcess(error);
        return;
    }
    service->Start(argc, argv);
}

void WINAPI CServiceBase::ControlHandler(DWORD control) {
    CServiceBase* service = s_instance;
    if (service == nullptr) return;
    switch (control) {
    case SERVICE_CONTROL_STOP: service->Stop(); break;
    case SERVICE_CONTROL_PAUSE: service->Pause(); break;
    case SERVICE_CONTROL_CONTINUE: service->Continue(); break;
    case SERVICE_CONTROL_SHUTDOWN: service->Shutdown(); break;
    default: break;  // interrogate and the rest: nothing to report
    }
}

void CServiceBase::Start(DWORD argc, PWSTR* argv) {
    try {
        ReportStatus(SERVICE_START_PENDING);
        OnStart(argc, argv);
        ReportStatus(SERVICE_RUNNING);
    } catch (DWORD error) {
        ReportErrorToEventLog(L"Service Start", error);
        ReportStatus(SERVICE_STOPPED, error);
    } catch (...) {
        ReportToEventLog(L"Service failed to start.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_STOPPED);
    }
}

void CServiceBase::Stop() {
    const DWORD original = CurrentState();
    try {
        ReportStatus(SERVICE_STOP_PENDING);
        OnStop();
        ReportStatus(SERVICE_STOPPED);
    } catch (DWORD error) {
        ReportErrorToEventLog(L"Service Stop", error);
        ReportStatus(original);
    } catch (...) {
        ReportToEventLog(L"Service failed to stop.", EVENTLOG_ERROR_TYPE);
        ReportStatus(original);
    }
}

void CServiceBase::Pause() {
    try {
        ReportStatus(SERVICE_PAUSE_PENDING);
        OnPause();
        ReportStatus(SERVICE_PAUSED);
    } catch (DWORD error) {
        ReportErrorToEventLog(L"Service Pause", error);
        ReportStatus(SERVICE_RUNNING);
    } catch (...) {
        ReportToEventLog(L"Service failed to pause.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_RUNNING);
    }
}

void CServiceBase::Continue() {
    try {
        ReportStatus(SERVICE_CONTINUE_PENDING);
        OnContinue();
        ReportStatus(SERVICE_RUNNING);
    } catch (DWORD error) {
        ReportErrorToEventLog(L"Service Continue", error);
        ReportStatus(SERVICE_PAUSED);
    } catch (...) {
        ReportToEventLog(L"Service failed to resume.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_PAUSED);
    }
}

void CServiceBase::Shutdown() {
    try {
        OnShutdown();
        ReportStatus(SERVICE_STOPPED);
    } catch (DWORD error) {
        ReportErrorToEventLog(L"Service Shutdown", error);
    } catch (...) {
        ReportToEventLog(L"Service failed to shut down.", EVENTLOG_ERROR_TYPE);
    }
}

DWORD CServiceBase::CurrentState() const {
    std::lock_guard<std::mutex> lock(StatusLock());
    return m_status.dwCurrentState;
}

SERVICE_STATUS CServiceBase::Status() const {
    std::lock_guard<std::mutex> lock(StatusLock());
    return m_status;
}

void CServiceBase::ReportStatus(DWORD currentState, DWORD win32ExitCode) {
    std::lock_guard<std::mutex> lock(StatusLock());
    if (m_stoppedReported) return;
    m_stoppedReported = currentState == SERVICE_STOPPED;
    m_status.dwCurrentState = currentState;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwWaitHint = 0;
    if (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) {
        m_status.dwCheckPoint = 0;
    } else {
        m_status.dwCheckPoint = s_checkPoint++;
    }
    // The report goes from copies: after STOPPED this object may be gone.
    SERVICE_STATUS status = m_status;
    const SERVICE_STATUS_HANDLE handle = m_statusHandle;
    // Nothing sensible is left to do when the manager refuses a report.
    Platform().SetServiceStatus(handle, &status);
}

void ReportEventText(PCWSTR serviceName, PCWSTR message, WORD type) {
    CEventSource source(Platform().RegisterEventSourceW(nullptr, serviceName));
    if (!source) return;
    LPCWSTR strings[2] = {serviceName, message};
    Platform().ReportEventW(source.get(), type, 0, 0, nullptr, 2, 0, strings, nullptr);
}

void CServiceBase::ReportToEventLog(PCWSTR message, WORD type) { ReportEventText(m_serviceName, message, type); }

void CServiceBase::ReportErrorToEventLog(PCWSTR operation, DWORD error) {
    // "%s failed w/err 0x%08lx" into 260 characters: a longer text is cut to 259.
    wchar_t hex[9];
    std::swprintf(hex, 9, L"%08lx", static_cast<unsigned long>(error));
    std::wstring text = std::wstring(operation) + L" failed w/err 0x" + hex;
    if (text.size() > 259) text.resize(259);
    ReportToEventLog(text.c_str(), EVENTLOG_ERROR_TYPE);
}

void CServiceBase::OnStart(DWORD, PWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
