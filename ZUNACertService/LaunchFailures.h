#pragma once
// A launch that fails the same way again and again is one story, told once:
// its first try's record and entry, then one record when the error changes
// or a start succeeds, with how many tries it took over how long. Nobody at
// the console (no user token, 1008) is waiting, not failing.
#include <windows.h>

#include <string>

class CLaunchFailures {
public:
    // A stretch of tries that failed alike, as it ends.
    struct Stretch {
        bool ended = false;  // false: there was none
        std::string step;
        DWORD error = 0;
        unsigned tries = 0;
        ULONGLONG ms = 0;  // from its first try to its end
    };

    // One failed try at `nowMs` (a monotonic clock). True when it begins a new
    // stretch (the first failure, or another step or error than the last
    // one's): then the step's record and its entry are due. `ended` receives
    // the stretch this one ends, if any.
    bool Failed(const char* step, DWORD error, ULONGLONG nowMs, Stretch* ended);
    // A start at `nowMs`: the stretch of failures before it, if any, ends.
    Stretch Started(ULONGLONG nowMs);

    // Whether `error` at `step` means no user has the console.
    static bool NobodyAtConsole(const char* step, DWORD error);

private:
    Stretch Close(ULONGLONG nowMs);

    bool m_failing = false;
    std::string m_step;
    DWORD m_error = 0;
    unsigned m_tries = 0;
    ULONGLONG m_sinceMs = 0;
};
