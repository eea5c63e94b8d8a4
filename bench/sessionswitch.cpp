// The guard in this process with a console that switches between two
// sessions; everything else real: the launcher, the program beside this
// executable, the terminations. Wine has one session, so only the session
// calls are made up. Prints, per switch, the seconds until the new copy was
// started and until it answered:
//     sessionswitch.exe [switches]
//     switch 0.412 0.655
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <thread>

#include "CZUNACertService.h"
#include "core/Http.h"
#include "utils.h"

namespace {

std::atomic<DWORD> g_console{1};

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (Since(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int switches = argc > 1 ? _wtoi(argv[1]) : 5;
    InitLog();
    PlatformCalls& platform = Platform();
    platform.WTSGetActiveConsoleSessionId = []() -> DWORD { return g_console.load(); };
    // A user in either session: the guard's own token stands in for theirs.
    platform.WTSQueryUserToken = [](ULONG, PHANDLE token) -> BOOL {
        return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    };
    platform.SetTokenInformation = [](HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size) -> BOOL {
        return cls == TokenSessionId ? TRUE : ::SetTokenInformation(token, cls, info, size);
    };
    platform.ProcessIdToSessionId = [](DWORD, DWORD* session) -> BOOL {
        *session = g_console.load();
        return TRUE;
    };

    CZUNACertService guard(L"SessionBench");
    guard.Start(0, nullptr);
    const auto answers = [] { return !HttpPost(kProbeUrl, kProbeBody).empty(); };
    if (!WaitFor([&] { return guard.GuardedProcess() != nullptr && answers(); }, 20)) {
        std::printf("no program started\n");
        guard.Stop();
        return 1;
    }
    for (int i = 0; i < switches; ++i) {
        // Switches fall anywhere within the launcher's one-second look.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500 + 173 * i % 1000));
        const DWORD old = ::GetProcessId(guard.GuardedProcess());
        const auto at = std::chrono::steady_clock::now();
        g_console = g_console.load() == 1 ? 2 : 1;
        const bool started = WaitFor(
            [&] {
                HANDLE p = guard.GuardedProcess();
                return p != nullptr && ::GetProcessId(p) != old;
            },
            10);
        const double toStart = Since(at);
        const bool answered = started && WaitFor(answers, 10);
        std::printf("switch %.3f %.3f\n", started ? toStart : -1.0, answered ? Since(at) : -1.0);
        std::fflush(stdout);
    }
    guard.Stop();
    return 0;
}
