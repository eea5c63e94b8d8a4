// Runs RemoveService without the single-instance mutex, so a test can remove
// the service while it runs (a console copy of the guard would be refused).
// "status" instead prints the service's state and accepted controls as the
// manager reports them ("state=4 accepted=5"), and removes nothing. "squat"
// takes the guard's single-instance name, with and without the global prefix,
// as any standard user could, and holds it until it is ended.
#include <cstdio>
#include <cwchar>

#include "CZUNACertService.h"
#include "Handle.h"
#include "Platform.h"
#include "ServiceInstaller.h"
#include "utils.h"

namespace {
// The first record of the removal comes right after the stop. On Windows a log
// that the stopping service still holds is appended to, being SYSTEM's own;
// Wine makes the owner up and the removal's records would be lost. So here the
// stop returns once the service's process has ended, as it soon does anyway.
BOOL WINAPI StopAndLetTheProcessEnd(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    SERVICE_STATUS_PROCESS info = {};
    DWORD needed = 0;
    CHandle process;
    if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof(info),
                               &needed) &&
        info.dwProcessId != 0) {
        process.reset(::OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId));
    }
    const BOOL stopped = ::ControlService(service, control, status);
    if (stopped && process) ::WaitForSingleObject(process.get(), 10000);
    return stopped;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"status") == 0) {
        CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        if (!service || !::QueryServiceStatus(service.get(), &status)) return 1;
        std::printf("state=%lu accepted=%lu\n", status.dwCurrentState, status.dwControlsAccepted);
        return 0;
    }
    if (argc > 1 && std::wcscmp(argv[1], L"squat") == 0) {
        HANDLE names[] = {::CreateMutexW(nullptr, TRUE, L"ZUNATAVLGuardService"),
                          ::CreateMutexW(nullptr, TRUE, L"Global\\ZUNATAVLGuardService")};
        std::printf("squatting %d\n", names[0] != nullptr && names[1] != nullptr);
        std::fflush(stdout);
        for (;;) ::Sleep(INFINITE);
    }
    InitLog();
    Platform().ControlService = StopAndLetTheProcessEnd;
    return static_cast<int>(RemoveService());
}
