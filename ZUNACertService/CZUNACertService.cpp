#include "CZUNACertService.h"

#include <wtsapi32.h>
#include <userenv.h>

#include <exception>
#include <vector>

#include "InstallRights.h"
#include "SessionPolicy.h"
#include "ServiceConfig.h"
#include "core/Http.h"
#include "utils.h"

namespace {

const DWORD kCyclePauseMs = 1000;
const DWORD kLaunchPauseMs = 2000;
// After a cycle that threw: long enough not to spin, short enough that five
// of them end the service well within a minute.
const DWORD kFailurePauseMs = 5000;
const ULONGLONG kProbeIntervalMs = 30 * 1000;
// How often the launcher, waiting on the program, looks at the console, and
// how often a delayed start does.
const DWORD kConsoleCheckMs = 1000;
const DWORD kDelaySliceMs = 500;
// "子进程结束，回收资源..." in code page 936.
const char kChildEndedGbk[] =
    "\xD7\xD3\xBD\xF8\xB3\xCC\xBD\xE1\xCA\xF8\xA3\xAC\xBB\xD8\xCA\xD5\xD7\xCA\xD4\xB4...";

// Whether a user is logged on in `session`: a token can be had for it. Not at
// the logon screen, not after a logoff.
bool SessionHasUser(DWORD session) {
    if (session == CSessionPolicy::kNoSession) return false;
    CHandle token;
    return Platform().WTSQueryUserToken(session, token.put()) != FALSE;
}

// The name of the user logged on in `session`, for records and entries; "-"
// when there is none or it cannot be read.
std::wstring SessionUser(DWORD session) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!Platform().WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &buffer, &bytes)) {
        return L"-";
    }
    std::wstring name = buffer != nullptr ? buffer : L"";
    if (buffer != nullptr) Platform().WTSFreeMemory(buffer);
    return name.empty() ? L"-" : name;
}

std::wstring Widen(const std::string& text) {
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

// What was thrown, for the log and the event log.
std::string DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (DWORD code) {
        return "error code " + std::to_string(code);
    } catch (...) {
        return "an exception of unknown type";
    }
}

// What an empty probe reply came from, in an administrator's words.
std::wstring DescribeProbe(const ProbeOutcome& outcome) {
    const std::wstring code = L"libcurl code " + std::to_wstring(outcome.curlCode);
    switch (outcome.curlCode) {
    case 0: return L"empty body, HTTP status " + std::to_wstring(outcome.httpStatus);
    case 7: return L"no connection, " + code;
    case 28: return L"timed out, " + code;
    case 22: return L"HTTP status " + std::to_wstring(outcome.httpStatus) + L", " + code;
    default: return code;
    }
}

}  // namespace

std::string ToAnsi(const std::wstring& text) {
    // No best fit: a look-alike letter would name another path than the real
    // one. UTF-8 and GB18030 hold every character and refuse the flag
    // (ERROR_INVALID_FLAGS).
    const UINT codePage = Platform().GetACP();
    const DWORD flags = codePage == CP_UTF8 || codePage == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = Platform().WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(n));
    if (Platform().WideCharToMultiByte(codePage, flags, text.c_str(), -1, buffer.data(), n, nullptr, nullptr) <= 0) {
        return std::string();
    }
    return std::string(buffer.data());
}

CZUNACertService::CZUNACertService(PCWSTR serviceName, bool canStop, bool canShutdown, bool canPauseContinue)
    : CServiceBase(serviceName, canStop, canShutdown, canPauseContinue),
      m_stopping(0),
      m_guardedProcess(nullptr),
      m_events(serviceName) {
    m_exePath = GetModuleDirectory() + L"\\ZUNATAVLService.exe";
    for (CHandle* event : {&m_stoppedEvent, &m_wakeEvent, &m_abandonEvent}) {
        event->reset(Platform().CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!*event) throw static_cast<DWORD>(::GetLastError());
    }
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
        ::SetEvent(m_wakeEvent.get());
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
    // No pause of the loop, however long, holds the stop.
    ::SetEvent(m_wakeEvent.get());
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

void CZUNACertService::CheckAtStart() {
    const std::wstring self = GetModulePath();
    CheckOwnRegistration(m_serviceName, self);
    // LocalSystem runs both programs from this folder, whoever may change it.
    ReportInstallFolderRights(self, m_serviceName);
    if (::GetFileAttributesW(m_exePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ReportGuardEvent(m_serviceName, GuardEvent::ProgramMissing, {m_exePath});
    }
}

void CZUNACertService::WatchLoop() {
    PlatformCalls& platform = Platform();
    try {
        CheckAtStart();
    } catch (...) {
        WriteLog(__FILE__, 315, "start-up checks failed: " + DescribeCurrentException(), 0);
    }
    ULONGLONG lastProbe = platform.TickMs();
    int failedInARow = 0;
    while (m_stopping.load() == 0) {
        // Whatever a cycle throws, the guard goes on guarding.
        std::string failure;
        try {
            RunCycle(lastProbe);
        } catch (...) {
            failure = DescribeCurrentException();
        }
        if (failure.empty()) {
            failedInARow = 0;
        } else if (!CycleFailed(failure, ++failedInARow)) {
            break;
        }
        platform.Pause(m_wakeEvent.get(), kCyclePauseMs);
    }
    ::SetEvent(m_stoppedEvent.get());
}

bool CZUNACertService::CycleFailed(const std::string& what, int inARow) {
    try {
        WriteLog(__FILE__, 340, "watch loop exception: " + what, inARow);
        m_events.Report(GuardEvent::LoopException, {Widen(what)});
        if (inARow < kFailedCyclesBeforeGivingUp) {
            Platform().Pause(m_wakeEvent.get(), kFailurePauseMs);
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(m_launchLock);
            if (m_stopping.load() != 0) return false;  // a stop is already on its way
            m_stopping = 1;
        }
        WriteLog(__FILE__, 349, "watch loop gives up, service stops w/err ", static_cast<int>(kGiveUpExitCode));
        ReportGuardEvent(m_serviceName, GuardEvent::LoopGaveUp,
                         {std::to_wstring(inARow), Widen(what), std::to_wstring(kGiveUpExitCode)});
    } catch (...) {
        // Reporting failed too; the exit below still tells the service manager.
        if (inARow < kFailedCyclesBeforeGivingUp) return true;
        m_stopping = 1;
    }
    // Ended without STOPPED, the service has failed in the manager's eyes, and
    // its failure actions run whatever "actions on non-crash failures" says: a
    // change of that flag counts only from the next system start, and an
    // administrator's own actions may come without it.
    Platform().ExitProcess(kGiveUpExitCode);
    return false;
}

ProgramPresence CZUNACertService::LookForProgram() {
    const ProgramPresence presence = Platform().FindGuardedProgram();
    if (presence == ProgramPresence::Unknown && !m_tableUnreadable) {
        WriteLog(__FILE__, 372, "CreateToolhelp32Snapshot failed w/err ", static_cast<int>(::GetLastError()));
    }
    m_tableUnreadable = presence == ProgramPresence::Unknown;
    return presence;
}

void CZUNACertService::RunCycle(ULONGLONG& lastProbe) {
    PlatformCalls& platform = Platform();
    HANDLE wake = m_wakeEvent.get();
    ObserveConsole();
    // An unreadable table says nothing: neither a second copy nor a kill.
    if (LookForProgram() == ProgramPresence::Absent) {
        StartProgram();
        platform.Pause(wake, kLaunchPauseMs);
    }
    // On the monotonic clock: a wall clock set back or forward moves no probe.
    const ULONGLONG now = platform.TickMs();
    if (LookForProgram() != ProgramPresence::Running || now - lastProbe < kProbeIntervalMs ||
        m_stopping.load() != 0) {
        return;
    }
    const ProbeOutcome outcome = platform.Probe != nullptr ? platform.Probe(kProbeUrl, kProbeBody, &m_stopping)
                                                           : HttpProbe(kProbeUrl, kProbeBody, &m_stopping);
    WriteLog(__FILE__, 368, EscapedForLog(outcome.body), 0);
    // A probe given up for a stop says nothing about the program.
    if (outcome.body.empty() && m_stopping.load() == 0) {
        int ended = 0;
        if (KillProcessByName(kGuardedExeName, &ended)) {
            m_events.Report(GuardEvent::ProgramKilled, {m_exePath, DescribeProbe(outcome), std::to_wstring(ended)});
            platform.Pause(wake, kLaunchPauseMs);
            StartProgram();
        } else {
            WriteLog(__FILE__, 380, "KillProcessByName: process table unreadable, nothing started", 0);
        }
    }
    lastProbe = platform.TickMs();
}

bool CZUNACertService::ObserveConsole() {
    const DWORD console = Platform().WTSGetActiveConsoleSessionId();
    if (!m_sessions.NeedsUserLookup(console)) return false;
    if (!m_sessions.NewUserAtConsole(ConsoleView{console, SessionHasUser(console)})) return false;
    // A new user's program starts at once, whatever the runs before built up.
    if (m_restarts.Clear()) {
        WriteLog(__FILE__, 284, "new user at the console, start delay cleared, session ", static_cast<int>(console));
    }
    return true;
}

ProgramRun CZUNACertService::RunProgram() {
    PlatformCalls& platform = Platform();
    return platform.RunGuardedProgram != nullptr ? platform.RunGuardedProgram(*this) : LaunchInUserSession();
}

void CZUNACertService::StartProgram() {
    PlatformCalls& platform = Platform();
    // A program that keeps dying at once is started less and less often; a
    // new user at the console ends the wait.
    const ULONGLONG notBefore = m_restarts.NotBeforeMs();
    const ULONGLONG now = platform.TickMs();
    for (ULONGLONG left = notBefore > now ? notBefore - now : 0; left > 0 && m_stopping.load() == 0;) {
        const DWORD slice = static_cast<DWORD>(left < kDelaySliceMs ? left : kDelaySliceMs);
        platform.Pause(m_wakeEvent.get(), slice);
        left -= slice;
        if (ObserveConsole()) break;
    }
    if (m_stopping.load() != 0) return;

    ProgramRun run = RunProgram();
    // Moved to a new user at the console: started there at once.
    while (run.started && run.moved && m_stopping.load() == 0) run = RunProgram();
    if (!run.started) {
        if (run.failedStep != nullptr && run.newFailure) {
            if (CLaunchFailures::NobodyAtConsole(run.failedStep, run.error)) {
                m_events.Report(GuardEvent::WaitingForUser, {m_exePath});
            } else {
                m_events.Report(GuardEvent::LaunchFailed,
                                {m_exePath, Widen(run.failedStep), std::to_wstring(run.error)});
            }
        }
        return;
    }
    // Ended by a stop, or left running by a shutdown: no verdict on the program.
    if (!run.ended || m_stopping.load() != 0) return;
    if (run.withSession) {
        // A logoff or a switch, not a crash: the schedule does not count it.
        m_events.Report(GuardEvent::EndedWithSession,
                        {m_exePath, std::to_wstring(run.session), run.user, ExitCodeText(run.exitCode)});
        return;
    }
    const CRestartSchedule::Change change = m_restarts.ProgramEnded(run.startMs, run.endMs);
    const std::wstring ran = std::to_wstring((run.endMs - run.startMs) / 1000);
    m_events.Report(GuardEvent::ProgramEnded, {m_exePath, ExitCodeText(run.exitCode), ran});
    if (change == CRestartSchedule::Change::DelayBegan) {
        m_events.Report(GuardEvent::ThrottleBegan,
                        {m_exePath, std::to_wstring(m_restarts.ShortRunsInARow()), ExitCodeText(run.exitCode),
                         std::to_wstring(m_restarts.PauseMs() / 1000)});
    } else if (change == CRestartSchedule::Change::DelayEnded) {
        m_events.Report(GuardEvent::ThrottleEnded, {m_exePath, ran});
    }
}

ProgramRun CZUNACertService::FailedStep(int line, const char* message, const char* step) {
    ProgramRun run;
    run.error = ::GetLastError();
    run.failedStep = step;
    // The same failure again is the same story: its record once, and one
    // record when it ends.
    CLaunchFailures::Stretch ended;
    run.newFailure = m_launchFailures.Failed(step, run.error, Platform().TickMs(), &ended);
    LogStretchEnded(ended);
    if (run.newFailure) WriteLog(__FILE__, line, message, static_cast<int>(run.error));
    return run;
}

void CZUNACertService::LogStretchEnded(const CLaunchFailures::Stretch& stretch) {
    if (!stretch.ended) return;
    WriteLog(__FILE__, 162,
             stretch.step + " failed " + std::to_string(stretch.tries) + " time(s) in a row over " +
                 std::to_string(stretch.ms / 1000) + " s, error",
             static_cast<int>(stretch.error));
}

CHandle CZUNACertService::StartGuardedProgram(HANDLE primaryToken, LPVOID environment, CHandle& thread,
                                              ProgramRun& run) {
    const std::wstring directory = GetModuleDirectory();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    PROCESS_INFORMATION info = {};
    // Without a command line Windows hands the program its path unquoted, and a
    // blank in it splits into a wrong argv[0] and a stray argument.
    std::wstring commandLine = L"\"" + m_exePath + L"\"";

    std::lock_guard<std::mutex> lock(m_launchLock);
    if (m_stopping.load() != 0) return CHandle();  // a stop has come: start nothing more
    const BOOL created = Platform().CreateProcessAsUserW(
        primaryToken, m_exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment,
        directory.empty() ? nullptr : directory.c_str(), &startup, &info);
    if (!created) {
        run = FailedStep(211, "CreateProcessAsUser %d", "CreateProcessAsUser");
        return CHandle();
    }
    thread.reset(info.hThread);
    m_guardedProcess = info.hProcess;
    run.started = true;
    run.startMs = Platform().TickMs();
    LogStretchEnded(m_launchFailures.Started(run.startMs));
    // The record says where the process is; the guard follows the session it
    // launched into.
    DWORD actual = run.session;
    if (!Platform().ProcessIdToSessionId(info.dwProcessId, &actual)) {
        WriteLog(__FILE__, 216, "ProcessIdToSessionId failed w/err ", static_cast<int>(::GetLastError()));
    }
    run.user = SessionUser(actual);
    WriteLog(__FILE__, 214, "program started in session " + std::to_string(actual) + " for " + ToAnsi(run.user),
             static_cast<int>(info.dwProcessId));
    return CHandle(info.hProcess);
}

void CZUNACertService::MoveIfConsoleChanged(HANDLE process, ProgramRun& run) {
    const DWORD console = Platform().WTSGetActiveConsoleSessionId();
    if (!CSessionPolicy::NeedsUserLookup(run.session, console)) return;
    if (!CSessionPolicy::MustMove(run.session, ConsoleView{console, SessionHasUser(console)})) return;
    {
        // Ended as the stop ends it; a stop that came first has done so.
        std::lock_guard<std::mutex> lock(m_launchLock);
        if (m_stopping.load() != 0) return;
        if (!::TerminateProcess(process, 0)) {
            WriteLog(__FILE__, 233, "TerminateProcess for the move failed w/err ",
                     static_cast<int>(::GetLastError()));
            return;
        }
    }
    run.moved = true;
    const std::wstring& fromUser = run.user;
    const std::wstring toUser = SessionUser(console);
    WriteLog(__FILE__, 231,
             "console session " + std::to_string(run.session) + " (" + ToAnsi(fromUser) + ") -> " +
                 std::to_string(console) + " (" + ToAnsi(toUser) + "), the program moves",
             0);
    m_events.Report(GuardEvent::ProgramMoved, {m_exePath, std::to_wstring(run.session), fromUser,
                                               std::to_wstring(console), toUser});
}

ProgramRun CZUNACertService::LaunchInUserSession() {
    PlatformCalls& platform = Platform();
    const DWORD sessionId = platform.WTSGetActiveConsoleSessionId();

    CHandle userToken;
    if (sessionId == CSessionPolicy::kNoSession) {
        // No session attached to the console, so no user and no token.
        ::SetLastError(ERROR_NO_TOKEN);
        return FailedStep(159, "WTSQueryUserToken %d", "WTSQueryUserToken");
    }
    if (!platform.WTSQueryUserToken(sessionId, userToken.put())) {
        return FailedStep(159, "WTSQueryUserToken %d", "WTSQueryUserToken");
    }
    CHandle primaryToken;
    if (!platform.DuplicateTokenEx(userToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                                   primaryToken.put())) {
        return FailedStep(170, "DuplicateTokenEx %d", "DuplicateTokenEx");
    }
    DWORD session = sessionId;
    if (!platform.SetTokenInformation(primaryToken.get(), TokenSessionId, &session, sizeof(session))) {
        return FailedStep(180, "SetTokenInformation %d", "SetTokenInformation");
    }
    CEnvironmentBlock environment;
    if (!platform.CreateEnvironmentBlock(environment.put(), primaryToken.get(), FALSE)) {
        return FailedStep(191, "CreateEnvironmentBlock %d", "CreateEnvironmentBlock");
    }

    ProgramRun run;
    run.session = sessionId;
    CHandle thread;
    CHandle process = StartGuardedProgram(primaryToken.get(), environment.get(), thread, run);
    if (!process) return run;

    // A shutdown abandons the wait and leaves the program running. Once a
    // second the console is looked at: the program follows its user.
    HANDLE waits[2] = {process.get(), m_abandonEvent.get()};
    for (;;) {
        const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, kConsoleCheckMs);
        if (waited == WAIT_TIMEOUT) {
            if (!run.moved) MoveIfConsoleChanged(process.get(), run);
            continue;
        }
        if (waited == WAIT_FAILED) {
            WriteLog(__FILE__, 228, "WaitForMultipleObjects failed w/err ", static_cast<int>(::GetLastError()));
        }
        break;
    }
    if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
        run.ended = true;
        run.endMs = platform.TickMs();
        WriteLog(__FILE__, 225, kChildEndedGbk, 0);
        if (!::GetExitCodeProcess(process.get(), &run.exitCode)) {
            WriteLog(__FILE__, 226, "GetExitCodeProcess failed w/err ", static_cast<int>(::GetLastError()));
        }
        if (!run.moved) {
            const DWORD console = platform.WTSGetActiveConsoleSessionId();
            run.withSession = CSessionPolicy::EndedWithSession(run.session, console, SessionHasUser(run.session));
            if (run.withSession) {
                WriteLog(__FILE__, 236, "program ended with its session " + std::to_string(run.session) +
                                            ", console session " + std::to_string(console),
                         static_cast<int>(run.exitCode));
            }
        }
    }

    // Unpublish and close under the lock, so OnStop never terminates a closed handle.
    std::lock_guard<std::mutex> lock(m_launchLock);
    m_guardedProcess = nullptr;
    process.reset();
    thread.reset();
    return run;
}
