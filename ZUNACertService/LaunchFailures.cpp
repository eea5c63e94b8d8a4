#include "LaunchFailures.h"

bool CLaunchFailures::Failed(const char* step, DWORD error, ULONGLONG nowMs, Stretch* ended) {
    const std::string name = step != nullptr ? step : "";
    if (m_failing && name == m_step && error == m_error) {
        ++m_tries;
        if (ended != nullptr) *ended = Stretch();
        return false;
    }
    const Stretch before = Close(nowMs);
    if (ended != nullptr) *ended = before;
    m_failing = true;
    m_step = name;
    m_error = error;
    m_tries = 1;
    m_sinceMs = nowMs;
    return true;
}

CLaunchFailures::Stretch CLaunchFailures::Started(ULONGLONG nowMs) { return Close(nowMs); }

CLaunchFailures::Stretch CLaunchFailures::Close(ULONGLONG nowMs) {
    Stretch s;
    if (!m_failing) return s;
    s.ended = true;
    s.step = m_step;
    s.error = m_error;
    s.tries = m_tries;
    s.ms = nowMs >= m_sinceMs ? nowMs - m_sinceMs : 0;
    m_failing = false;
    return s;
}

bool CLaunchFailures::NobodyAtConsole(const char* step, DWORD error) {
    return error == ERROR_NO_TOKEN && step != nullptr && std::string(step) == "WTSQueryUserToken";
}
