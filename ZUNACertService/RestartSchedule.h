#pragma once
// When the guard may start the program again after a run that it started has
// ended. A program that ran a while is started again after the loop's usual
// 3 s. One that ends within 10 s of its start five times in a row waits
// longer before each further start: 6 s, then twice as long each time, up to
// 5 minutes; a run of 60 s or more brings the usual 3 s back. A run that
// ended with its session (a logoff, a switch) is not given to it, and a new
// user at the console starts afresh.
#include <windows.h>

class CRestartSchedule {
public:
    static const ULONGLONG kShortRunMs = 10 * 1000;
    static const int kShortRunsBeforeDelay = 5;
    static const ULONGLONG kLastingRunMs = 60 * 1000;
    static const DWORD kUsualPauseMs = 3000;
    static const DWORD kLongestPauseMs = 5 * 60 * 1000;

    enum class Change { None, DelayBegan, DelayEnded };

    // Takes one finished run (times in milliseconds of one monotonic clock)
    // and says whether starts are delayed from now on, or no longer.
    Change ProgramEnded(ULONGLONG startMs, ULONGLONG endMs);
    // A new user has the console: no delay, no short runs; true when a delay ended.
    bool Clear();

    // The pause from a run's end to the next start: kUsualPauseMs unless delayed.
    DWORD PauseMs() const { return m_pauseMs == 0 ? kUsualPauseMs : m_pauseMs; }
    bool Delayed() const { return m_pauseMs != 0; }
    int ShortRunsInARow() const { return m_shortRuns; }
    // The earliest start, on the clock the runs were given in; 0 when not delayed.
    ULONGLONG NotBeforeMs() const { return m_pauseMs == 0 ? 0 : m_lastEndMs + m_pauseMs; }

private:
    int m_shortRuns = 0;
    DWORD m_pauseMs = 0;  // 0: not delayed
    ULONGLONG m_lastEndMs = 0;
};
