#include "RestartSchedule.h"

CRestartSchedule::Change CRestartSchedule::ProgramEnded(ULONGLONG startMs, ULONGLONG endMs) {
    const ULONGLONG ran = endMs >= startMs ? endMs - startMs : 0;
    m_lastEndMs = endMs;
    if (ran >= kLastingRunMs) {
        m_shortRuns = 0;
        if (m_pauseMs == 0) return Change::None;
        m_pauseMs = 0;
        return Change::DelayEnded;
    }
    if (ran >= kShortRunMs) {
        // Neither short nor lasting: the row of short runs is broken, but a
        // delay once begun stays until a run lasts.
        m_shortRuns = 0;
        return Change::None;
    }
    ++m_shortRuns;
    if (m_pauseMs != 0) {
        m_pauseMs = m_pauseMs >= kLongestPauseMs / 2 ? kLongestPauseMs : m_pauseMs * 2;
        return Change::None;
    }
    if (m_shortRuns < kShortRunsBeforeDelay) return Change::None;
    m_pauseMs = kUsualPauseMs * 2;
    return Change::DelayBegan;
}

bool CRestartSchedule::Clear() {
    const bool delayed = m_pauseMs != 0;
    m_shortRuns = 0;
    m_pauseMs = 0;
    return delayed;
}
