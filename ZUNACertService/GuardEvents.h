#pragma once
// The event-log entries of the guard beyond the service base's own (event 0):
// one ID per kind, matching Messages.mc, its type, and the rate limit of the
// kinds that can repeat. Callers only say what happened.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

enum class GuardEvent : DWORD {
    ProgramEnded = 100,         // path, exit code, seconds it ran
    ProgramKilled = 101,        // path, what the probe saw, processes ended
    LaunchFailed = 102,         // path, failing step, error code
    ThrottleBegan = 103,        // path, short runs in a row, last exit code, next pause in s
    ThrottleEnded = 104,        // path, seconds it ran
    LoopException = 105,        // what was thrown
    LoopGaveUp = 106,           // failing cycles, what was thrown, exit code
    LogUnavailable = 107,       // log path, error code
    ProgramMissing = 108,       // path
    InstallFolderRights = 109,  // the warning's text
    InstanceNameTaken = 110,    // mutex name, error code
    ProgramMoved = 111,         // path, old session, its user, new session, its user
    WaitingForUser = 112,       // path
    EndedWithSession = 113,     // path, session, its user, exit code
};

// Writes one entry of `event` from the source `source`: the source name, then
// `strings`. Kinds that can repeat get one more string, the note of how many
// were left out (empty when none); use CGuardEvents for them.
void ReportGuardEvent(PCWSTR source, GuardEvent event, std::vector<std::wstring> strings);

// At most one entry per repeating kind per 10 minutes; the next one written
// says how many were left out. One per service object.
class CGuardEvents {
public:
    explicit CGuardEvents(PCWSTR source) : m_source(source) {}
    void Report(GuardEvent event, std::vector<std::wstring> strings);

private:
    struct Limit {
        bool written = false;
        ULONGLONG lastMs = 0;
        unsigned leftOut = 0;
    };
    PCWSTR m_source;
    std::mutex m_lock;
    Limit m_limits[8];
};

// An exit code as administrators look it up: small ones in decimal, the
// NTSTATUS kind (a crash) in hexadecimal.
std::wstring ExitCodeText(DWORD code);
