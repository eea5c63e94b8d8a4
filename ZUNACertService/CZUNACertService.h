#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

#include "Handle.h"
#include "ServiceBase.h"

extern const wchar_t kServiceName[];
extern const wchar_t kServiceDisplayName[];
extern const wchar_t kServiceDescription[];
// The probe: where it goes and what it says.
extern const char kProbeUrl[];
extern const char kProbeBody[];

// The guard: keeps the guarded program running and answering.
class CZUNACertService : public CServiceBase {
public:
    CZUNACertService(PCWSTR serviceName, bool canStop = true, bool canShutdown = true,
                     bool canPauseContinue = false);
    ~CZUNACertService() override;

    void WatchLoop();
    void LaunchInUserSession();

    HANDLE GuardedProcess() const { return m_guardedProcess.load(); }

protected:
    void OnStart(DWORD argc, PWSTR* argv) override;
    void OnStop() override;

private:
    // Starts the program under `m_launchLock` unless a stop has come; returns
    // the process, or null when nothing was started.
    CHandle StartGuardedProgram(HANDLE primaryToken, LPVOID environment, CHandle& thread);

    std::atomic<LONG> m_stopping;
    CHandle m_stoppedEvent;
    std::atomic<HANDLE> m_guardedProcess;
    std::wstring m_exePath;
    std::unique_ptr<boost::thread> m_watchThread;

    // Keeps the stop flag and the published process handle consistent: no
    // launch after a stop, no TerminateProcess on a handle already closed.
    std::mutex m_launchLock;
    // Set by the destructor: the watch thread leaves its waits at once and the
    // guarded program is left running.
    CHandle m_abandonEvent;
};

// Directory of the running executable, without a trailing backslash; empty
// when the module path cannot be had.
std::wstring GetModuleDirectory();
// Full path of the running executable, never cut; empty on failure.
std::wstring GetModulePath();
