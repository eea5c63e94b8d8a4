#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/thread/thread.hpp>

#include "GuardEvents.h"
#include "Handle.h"
#include "Platform.h"
#include "RestartSchedule.h"
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
    // Failing cycles in a row after which the watch loop gives up and the
    // process ends with this exit code, for the service manager to restart it.
    static const int kFailedCyclesBeforeGivingUp = 5;
    static const DWORD kGiveUpExitCode = ERROR_EXCEPTION_IN_SERVICE;

    CZUNACertService(PCWSTR serviceName, bool canStop = true, bool canShutdown = true,
                     bool canPauseContinue = false);
    ~CZUNACertService() override;

    void WatchLoop();
    // Starts the program in the console user's session and waits until it ends.
    ProgramRun LaunchInUserSession();

    HANDLE GuardedProcess() const { return m_guardedProcess.load(); }
    const std::wstring& ProgramPath() const { return m_exePath; }

protected:
    void OnStart(DWORD argc, PWSTR* argv) override;
    void OnStop() override;

private:
    // What the loop checks once per start: its own registration, who may change
    // its folder, whether the program is there.
    void CheckAtStart();
    // Steps 2 to 7 of one watch cycle; may throw.
    void RunCycle(boost::posix_time::ptime& lastProbe);
    // The table as a cycle sees it; an unreadable one is logged once per streak.
    ProgramPresence LookForProgram();
    // Waits out a delayed restart, runs the program and takes note of the run.
    void StartProgram();
    // One failed cycle; false when the loop gives up.
    bool CycleFailed(const std::string& what, int inARow);
    // Starts the program under `m_launchLock` unless a stop has come; returns
    // the process, or null when nothing was started.
    CHandle StartGuardedProgram(HANDLE primaryToken, LPVOID environment, CHandle& thread, ProgramRun& run);

    std::atomic<LONG> m_stopping;
    CHandle m_stoppedEvent;
    std::atomic<HANDLE> m_guardedProcess;
    std::wstring m_exePath;
    std::unique_ptr<boost::thread> m_watchThread;

    // Keeps the stop flag and the published process handle consistent: no
    // launch after a stop, no TerminateProcess on a handle already closed.
    std::mutex m_launchLock;
    // Set by a stop and by the destructor: every pause of the loop ends at once.
    CHandle m_wakeEvent;
    // Set by the destructor: the watch thread leaves its waits at once and the
    // guarded program is left running.
    CHandle m_abandonEvent;

    CRestartSchedule m_restarts;
    CGuardEvents m_events;
    bool m_tableUnreadable = false;
};

// Directory of the running executable, without a trailing backslash; empty
// when the module path cannot be had.
std::wstring GetModuleDirectory();
// Full path of the running executable, never cut; empty on failure.
std::wstring GetModulePath();
// `text` in the ANSI code page; a character it cannot represent becomes '?',
// never a look-alike.
std::string ToAnsi(const std::wstring& text);
