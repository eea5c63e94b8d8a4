// Writes log records the way the guard does, for tests that need a process of
// its own: "before <text>" logs without InitLog, "write <text>" with it, and
// "slow <text>" with it while the log's first open waits 7 s. It prints what
// the log's reporter hears and how long the first record took.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "Handle.h"
#include "LogFile.h"
#include "Platform.h"
#include "utils.h"

namespace {

void PrintUnavailable(const std::wstring& path, DWORD error) {
    std::printf("log unavailable: %ls %lu\n", path.c_str(), static_cast<unsigned long>(error));
}

HANDLE WINAPI SlowCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                             DWORD disposition, DWORD flags, HANDLE model) {
    static std::atomic<bool> first{true};
    if (first.exchange(false)) ::Sleep(7000);
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
    if (argc < 3) return 2;
    const std::wstring wmode = wargv[1], wtext = wargv[2];
    const std::string mode(wmode.begin(), wmode.end());
    const std::string text(wtext.begin(), wtext.end());
    SetLogUnavailableReporter(&PrintUnavailable);
    if (mode == "slow") Platform().CreateFileW = SlowCreateFile;
    if (mode != "before") InitLog();
    const DWORD start = ::GetTickCount();
    WriteLog("logprobe", 1, text, 0);
    std::printf("first record after %lu ms\n", static_cast<unsigned long>(::GetTickCount() - start));
    if (mode == "slow") {
        ::Sleep(4000);  // the worker's open has returned meanwhile
        // Whatever the late worker opened is closed: nothing holds the name.
        const CFileHandle log(::CreateFileW(kLogFilePath, DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        std::printf("log open: %lu.\n", log ? 0ul : static_cast<unsigned long>(::GetLastError()));
    }
    WriteLog("logprobe", 2, text, 0);
    std::printf("logprobe returned\n");
    return 0;
}
