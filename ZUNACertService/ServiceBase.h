#pragma once
#include <windows.h>

// The generic part of a Windows service: status reports, control dispatch and
// event-log entries for failing hooks. One service object per process.
class CServiceBase {
public:
    // Connects the process to the service control manager and returns once the
    // service has stopped; false when the dispatcher could not be started.
    static bool RunInternal(CServiceBase& service);

    CServiceBase(PCWSTR serviceName, bool canStop = true, bool canShutdown = true,
                 bool canPauseContinue = false);
    virtual ~CServiceBase();

    // The control sequences; the dispatcher's callbacks run them, tests may too.
    void Start(DWORD argc, PWSTR* argv);
    void Stop();
    void Pause();
    void Continue();
    void Shutdown();

    void ReportStatus(DWORD currentState, DWORD win32ExitCode = 0);
    void ReportToEventLog(PCWSTR message, WORD type);
    void ReportErrorToEventLog(PCWSTR operation, DWORD error);

    static void WINAPI ServiceEntry(DWORD argc, PWSTR* argv);
    static void WINAPI ControlHandler(DWORD control);

    SERVICE_STATUS Status() const;

protected:
    virtual void OnStart(DWORD argc, PWSTR* argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    PCWSTR m_serviceName;
    SERVICE_STATUS m_status;
    SERVICE_STATUS_HANDLE m_statusHandle;
    // Once STOPPED is reported the manager may have let the process go: nothing
    // more is reported, so a stop after a shutdown reports nothing twice.
    bool m_stoppedReported = false;

    static CServiceBase* s_instance;
    static DWORD s_checkPoint;

private:
    DWORD CurrentState() const;
};

// One entry from source `serviceName`: event 0, the name and `message` as its two strings.
void ReportEventText(PCWSTR serviceName, PCWSTR message, WORD type);
// "0x" and the code's hex digits, upper case, no leading zeros; `out` holds 11.
void FormatErrorCode(DWORD code, wchar_t* out);
