// Runs RemoveService without the single-instance mutex, so a test can remove
// the service while it runs (a console copy of the guard would be refused).
// "status" instead prints the service's state and accepted controls as the
// manager reports them ("state=4 accepted=5"), and removes nothing.
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
    InitLog();
    RemoveService();
    return 0;
}
