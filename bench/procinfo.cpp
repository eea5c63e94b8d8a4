// Prints, for every process of the given image name, what Windows reports of
// it from inside the prefix: "pid handles private_bytes working_set".
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, argv[1]) != 0) continue;
        HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        DWORD handles = 0;
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof(memory);
        if (p) {
            GetProcessHandleCount(p, &handles);
            GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
            CloseHandle(p);
        }
        std::printf("%lu %lu %llu %llu\n", entry.th32ProcessID, handles,
                    static_cast<unsigned long long>(memory.PrivateUsage),
                    static_cast<unsigned long long>(memory.WorkingSetSize));
    }
    CloseHandle(snapshot);
    return 0;
}
