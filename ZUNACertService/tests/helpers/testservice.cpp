// A bare service on CServiceBase for tests against the real service manager.
// Its first argument picks the start: "ok" runs, "throw5" fails with code 5.
// A failing start also checks that nothing touches the service object once
// STOPPED is reported: the report lingers, the main thread destroys and
// poisons the object meanwhile, and "clean" or "touched" is appended to
// testservice.result beside the executable.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <fstream>
#include <new>
#include <string>

#include "Platform.h"
#include "ServiceBase.h"
#include "utils.h"

namespace {
class CProbeService : public CServiceBase {
public:
    CProbeService(bool fail) : CServiceBase(L"ZunaBaseProbe", true, true, false), m_fail(fail) {}

protected:
    void OnStart(DWORD, PWSTR*) override {
        if (m_fail) throw static_cast<DWORD>(5);
    }

private:
    bool m_fail;
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

int wmain(int argc, wchar_t** argv) {
    const bool fail = argc > 1 && std::wcscmp(argv[1], L"throw5") == 0;
    g_realSetStatus = Platform().SetServiceStatus;
    if (fail) Platform().SetServiceStatus = &LingeringSetStatus;
    auto* service = new (g_storage) CProbeService(fail);
    CServiceBase::RunInternal(*service);
    service->~CProbeService();
    std::memset(g_storage, 0xCD, sizeof(g_storage));
    if (!fail) return 0;
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
