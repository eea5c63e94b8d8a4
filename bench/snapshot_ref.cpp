// Reference load for the benchmark: the guard's two process-table snapshots
// per cycle and its one-second pause, and nothing else.
#include <windows.h>
#include <tlhelp32.h>

static void Walk() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (Process32FirstW(snapshot, &entry)) {
        while (Process32NextW(snapshot, &entry)) {
        }
    }
    CloseHandle(snapshot);
}

int main() {
    for (;;) {
        Walk();
        Walk();
        Sleep(1000);
    }
}
