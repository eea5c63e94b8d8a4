// Sleeps until it is terminated; copied under other names for process-table
// tests. With "hold" it starts a sleeping copy of itself that inherits its
// standard output, prints the copy's process ID and ends: the copy goes on
// holding whatever pipe that output is.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"hold") == 0) {
        wchar_t self[MAX_PATH] = {};
        if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 1;
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            return 2;
        }
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
        std::printf("%lu\n", info.dwProcessId);
        std::fflush(stdout);
        return 0;
    }
    for (;;) ::Sleep(INFINITE);
}
