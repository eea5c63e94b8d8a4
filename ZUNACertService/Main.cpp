#include "Main.h"

#include <memory>

#include "CZUNACertService.h"
#include "ServiceInstaller.h"
#include "utils.h"

namespace {

// The ZUNACertService log records carry that source name wherever this code sits.
const char kMainSource[] = "ZUNACertService.cpp";
// "服务运行失败" in code page 936.
const char kRunFailedGbk[] = "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC";

void SetDescription() {
    CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
    if (!service) return;
    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(kServiceDescription)};
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
}

void RunService() {
    std::unique_ptr<CZUNACertService> service;
    try {
        service.reset(new CZUNACertService(kServiceName, true, true, false));
    } catch (DWORD error) {
        WriteLog(kMainSource, 62, "CZUNACertService failed w/err 0x%08lx\n", static_cast<int>(error));
        return;
    } catch (...) {
        WriteLog(kMainSource, 62, "CZUNACertService failed w/err 0x%08lx\n", 0);
        return;
    }
    if (!CServiceBase::RunInternal(*service)) {
        WriteLog(kMainSource, 67, kRunFailedGbk, 0);
    }
}

}  // namespace

int GuardMain(int argc, wchar_t* argv[]) {
    // A library loaded at run time comes from System32, never from the
    // program's folder or the current directory.
    const DWORD searchError = ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) ? 0 : ::GetLastError();
    // Owned for the life of the process, never released.
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, kServiceName);
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS || mutex == nullptr) {
        WriteLog(kMainSource, 24, "ZUNATAVLGuardService server had exist", 0);
        return 0;
    }
    InitLog();
    if (searchError != 0) {
        WriteLog(kMainSource, 20, "SetDefaultDllDirectories failed w/err ", static_cast<int>(searchError));
    }

    if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
        const wchar_t* word = argv[1] + 1;
        if (_wcsicmp(word, L"install") == 0) {
            RemoveService();
            InstallService();
            SetDescription();
            WriteLog(kMainSource, 50, "Service:_tmain install", 0);
        } else if (_wcsicmp(word, L"remove") == 0) {
            RemoveService();
            RemoveEventLogSource();
            WriteLog(kMainSource, 57, "Service:_tmain remove", 0);
        }
        return 0;
    }
    RunService();
    return 0;
}
