#pragma once
// Where the program must run: in the session of the user at the console, and
// nowhere else. Given what the console shows, says whether the copy the guard
// started must move, whether a run that ended went with its session (a logoff
// or a switch, not a crash), and whether a user has newly come to the
// console. It only decides; the watch loop reads the sessions and acts.
#include <windows.h>

// What the console shows at one moment.
struct ConsoleView {
    DWORD session;  // kNoSession: no session is attached to the console
    bool user;      // a user is logged on there (a token can be had), not the logon screen
};

class CSessionPolicy {
public:
    static const DWORD kNoSession = 0xFFFFFFFF;

    // Whether the console's user must be looked up to decide about a copy
    // running in `programSession`: not while it is the console's own session,
    // nor while no session is attached (a moment's state, nothing moves).
    static bool NeedsUserLookup(DWORD programSession, DWORD consoleSession);

    // Whether the copy started in `programSession` must end there and start in
    // the console's session: a logged-on user has a console that is not its
    // session. The logon screen and a detached console move nothing.
    static bool MustMove(DWORD programSession, const ConsoleView& console);

    // Whether a run in `programSession` that has ended went with its session:
    // that session has no user any more (a logoff), or is no longer the
    // console's. Such a run says nothing about the program.
    static bool EndedWithSession(DWORD programSession, DWORD consoleSession, bool programSessionHasUser);

    // Whether a cycle must look up the console's user: not while no session is
    // attached, nor while it is the session a user was last seen in.
    bool NeedsUserLookup(DWORD consoleSession) const;
    // Takes the console as a cycle sees it; true when a user has it whom the
    // guard did not see there last (another session), so that user's program
    // starts without any delay that earlier runs built up.
    bool NewUserAtConsole(const ConsoleView& console);

private:
    DWORD m_lastUserSession = kNoSession;
};
