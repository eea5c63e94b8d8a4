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
#include "ServiceInstaller.h"
#include "utils.h"

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
    return static_cast<int>(RemoveService());
}
