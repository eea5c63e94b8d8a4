#pragma once
#include <windows.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "GuardEvents.h"
#include "Handle.h"
#include "Platform.h"

// One parsed record of the diagnostic log.
struct LogRecord {
    std::string timestamp;  // YYYY-MM-DD HH:MM:SS.ffffff
    std::string threadId;   // 0x and 8 hex digits
    std::string source;
    int line = 0;
    std::string message;
    std::string value;
    std::string raw;  // the whole record as in the file, line end included
};

std::string ReadFileBytes(const std::wstring& path);
std::string ReadLogFile();
std::vector<LogRecord> ParseLog(const std::string& text);
// Records whose source ends in `source` and whose line is `line`, oldest first.
std::vector<LogRecord> RecordsAt(const std::string& source, int line);
// Seconds between two records, by their own time stamps.
double SecondsBetween(const LogRecord& from, const LogRecord& to);
// The last record at `source` and `line` as "message [value]", or "<none>".
std::string LastRecord(const std::string& source, int line);
// The guard's own records at `line`; how many; the last as "message [value]".
std::vector<LogRecord> GuardRecords(int line);
size_t GuardRecordCount(int line);
std::string LastGuardRecord(int line);
// How many records the log holds; whether the guard's records since `mark`
// hold `lines` in this order, others between them.
size_t LogMark();
bool GuardRecordsInOrder(size_t mark, const std::vector<int>& lines);

// Restores the platform table when it goes out of scope.
class PlatformScope {
public:
    PlatformScope() : m_saved(Platform()) {}
    ~PlatformScope() { Platform() = m_saved; }

private:
    PlatformCalls m_saved;
};

// Event-log entries and status reports seen through the platform table.
struct EventEntry {
    WORD type;
    WORD category;
    DWORD id;
    std::wstring source;                // the name the source was registered under
    std::vector<std::wstring> strings;  // every insertion string
    std::wstring text;                  // the second string, the text of an entry of event 0
};
// `entry` as Event Viewer shows it, through the message table in TAVL.exe.
std::wstring RenderEvent(const EventEntry& entry);
void RecordEventLog(std::vector<EventEntry>* sink);
std::vector<EventEntry> EntriesOf(const std::vector<EventEntry>& events, DWORD id);
inline std::vector<EventEntry> EntriesOf(const std::vector<EventEntry>& events, GuardEvent id) {
    return EntriesOf(events, static_cast<DWORD>(id));
}
// The rendered text of the one entry of event `id`, or how many there were.
std::wstring OnlyEntry(const std::vector<EventEntry>& events, GuardEvent id);
void RecordStatus(std::vector<SERVICE_STATUS>* sink);
void RecordDebugOutput(std::vector<std::wstring>* sink);

// The guard's launch steps, each recorded on its way to the real call; the step
// whose record line is `failAt` fails with kLaunchError instead.
struct LaunchFakes {
    int failAt = 0;  // 0: none fails
    int processCalls = 0;
    TOKEN_TYPE tokenType = TokenImpersonation;
    HANDLE primary = nullptr;
    std::vector<DWORD> sessionSet;
    BOOL inheritEnvironment = TRUE;
    HANDLE environmentToken = nullptr, processToken = nullptr;
    LPVOID environment = nullptr, environmentGiven = nullptr;
    std::wstring userProfile;  // USERPROFILE in the block built for the program
    std::wstring application, commandLine, desktop, directory;
    DWORD flags = 0;
};
const DWORD kLaunchError = 1307;
struct LaunchStep {
    int line;  // of the step's failure record
    const char* name;
};
extern const LaunchStep kLaunchSteps[5];
inline void PrintTo(const LaunchStep& step, std::ostream* os) { *os << step.name; }
// Resets the record and puts the fakes into the platform table.
LaunchFakes& InstallLaunchFakes();

std::wstring TestDir();
// The built stand-in, found above the test directory.
std::wstring StandinExe();
bool WriteTextFile(const std::wstring& path, const std::string& text);

struct ChildProcess {
    CHandle process;
    DWORD pid = 0;
};
ChildProcess StartProcess(const std::wstring& exe, const std::wstring& arguments = L"",
                          const std::wstring& directory = L"");
// Runs to the end (ended after `timeoutMs`) and returns the exit code; standard
// output into *out, read until the program's end and at most `drainMs` more.
DWORD RunProcess(const std::wstring& exe, const std::wstring& arguments, std::string* out = nullptr,
                 DWORD timeoutMs = 60000, DWORD drainMs = 5000);
DWORD ExitCodeOf(HANDLE process);
bool IsProcessAlive(HANDLE process);
// Kills every process of the prefix whose image name is `name`; returns how many.
int KillAllNamed(const std::wstring& name);
int CountProcessesNamed(const std::wstring& name);

// Open handles of this process, counted one by one (Wine reports no count).
size_t CountOpenHandles();
size_t CountThreadsOfThisProcess();

// Ends the test program with a message naming `step` when it is not dismissed
// (destroyed) within `seconds`: a hung stop or join fails at once, with a
// hint, instead of at ctest's time-out.
class CWatchdog {
public:
    CWatchdog(double seconds, std::string step);
    ~CWatchdog();

private:
    CHandle m_done;
    std::string m_step;
    HANDLE m_thread = nullptr;
};

// Polls `condition` until true or the time-out; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));
