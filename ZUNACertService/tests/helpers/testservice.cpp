// A bare service on CServiceBase whose start fails with code 5, for a test
// against the real service manager. It checks that nothing touches the service
// object once STOPPED is reported: the report lingers, the main thread destroys
// and poisons the object meanwhile, and "clean" or "touched" is appended to
// testservice.result beside the executable.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "Platform.h"
#include "ServiceBase.h"
#include "utils.h"

namespace {
class CProbeService : public CServiceBase {
public:
    CProbeService() : CServiceBase(L"ZunaBaseProbe", true, true, false) {}

protected:
    void OnStart(DWORD, PWSTR*) override { throw static_cast<DWORD>(5); }
};

BOOL(WINAPI* g_realSetStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
BOOL WINAPI LingeringSetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    const bool stopped = status->dwCurrentState == SERVICE_STOPPED;
    const BOOL result = g_realSetStatus(handle, status);
    if (stopped) Sleep(300);
    return result;
}

alignas(CProbeService) unsigned char g_storage[sizeof(CProbeService)];
}  // namespace

int wmain(int, wchar_t**) {
    g_realSetStatus = Platform().SetServiceStatus;
    Platform().SetServiceStatus = &LingeringSetStatus;
    auto* service = new (g_storage) CProbeService();
    CServiceBase::RunInternal(*service);
    service->~CProbeService();
    std::memset(g_storage, 0xCD, sizeof(g_storage));
    Sleep(800);
    bool clean = true;
    for (unsigned char b : g_storage) clean = clean && b == 0xCD;
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring result(path);
    result = result.substr(0, result.rfind(L'\\')) + L"\\testservice.result";
    std::ofstream(result.c_str(), std::ios::app) << (clean ? "clean" : "touched") << "\n";
    return 0;
}
