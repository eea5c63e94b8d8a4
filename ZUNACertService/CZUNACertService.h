#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

#include "GuardEvents.h"
#include "Handle.h"
#include "LaunchFailures.h"
#include "ModulePath.h"
#include "Platform.h"
#include "RestartSchedule.h"
#include "ServiceBase.h"
#include "ServiceIdentity.h"
#include "SessionPolicy.h"

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
    void RunCycle(ULONGLONG& lastProbe);
    // Reads the console; true when a new user has it (any start delay is cleared).
    bool ObserveConsole();
    // The table as a cycle sees it; an unreadable one is logged once per streak.
    ProgramPresence LookForProgram();
    // Waits out a delayed restart, runs the program and takes note of the run.
    void StartProgram();
    // One run through the platform table's launcher, or the guard's own.
    ProgramRun RunProgram();
    // While the program runs: ends it when another user has the console.
    void MoveIfConsoleChanged(HANDLE process, ProgramRun& run);
    // A launch step failed: its record when it begins a stretch of failures.
    ProgramRun FailedStep(int line, const char* message, const char* step);
    void LogStretchEnded(const CLaunchFailures::Stretch& stretch);
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
    CSessionPolicy m_sessions;
    CLaunchFailures m_launchFailures;
    CGuardEvents m_events;
    bool m_tableUnreadable = false;
};

// `text` in the ANSI code page; a character it cannot represent becomes '?',
// never a look-alike.
std::string ToAnsi(const std::wstring& text);
