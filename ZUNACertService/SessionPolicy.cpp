#include "SessionPolicy.h"

bool CSessionPolicy::NeedsUserLookup(DWORD programSession, DWORD consoleSession) {
    return consoleSession != kNoSession && consoleSession != programSession;
}

bool CSessionPolicy::MustMove(DWORD programSession, const ConsoleView& console) {
    return NeedsUserLookup(programSession, console.session) && console.user;
}

bool CSessionPolicy::EndedWithSession(DWORD programSession, DWORD consoleSession, bool programSessionHasUser) {
    return !programSessionHasUser || (consoleSession != kNoSession && consoleSession != programSession);
}

bool CSessionPolicy::NeedsUserLookup(DWORD consoleSession) const {
    return consoleSession != kNoSession && consoleSession != m_lastUserSession;
}

bool CSessionPolicy::NewUserAtConsole(const ConsoleView& console) {
    if (console.session == kNoSession || !console.user) return false;
    const bool changed = console.session != m_lastUserSession;
    const bool first = m_lastUserSession == kNoSession;
    m_lastUserSession = console.session;
    return changed && !first;
}
