#include "Main.h"

#include <memory>

#include "CZUNACertService.h"
#include "GuardEvents.h"
#include "LogFile.h"
#include "ServiceInstaller.h"
#include "utils.h"

const wchar_t kInstanceMutexName[] = L"Global\\ZUNATAVLGuardService";

namespace {

// The ZUNACertService log records carry that source name wherever this code sits.
const char kMainSource[] = "ZUNACertService.cpp";
// "服务运行失败" in code page 936.
const char kRunFailedGbk[] = "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC";

// The exit code of the service run: what the service last reported to the manager.
DWORD RunService() {
    std::unique_ptr<CZUNACertService> service;
    try {
        service.reset(new CZUNACertService(kServiceName, true, true, false));
    } catch (DWORD error) {
        WriteLog(kMainSource, 62, "CZUNACertService failed w/err 0x%08lx\n", static_cast<int>(error));
        return 0;
    } catch (...) {
        WriteLog(kMainSource, 62, "CZUNACertService failed w/err 0x%08lx\n", 0);
        return 0;
    }
    if (!CServiceBase::RunInternal(*service)) {
        WriteLog(kMainSource, 67, kRunFailedGbk, 0);
        return 0;
    }
    return service->Status().dwWin32ExitCode;
}

}  // namespace

void ReportNoLog(const std::wstring& path, DWORD error) {
    ReportGuardEvent(kServiceName, GuardEvent::LogUnavailable, {path, std::to_wstring(error)});
}

bool StartedByServiceManager() {
    CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                  sizeof(status), &needed) &&
           status.dwProcessId == ::GetCurrentProcessId();
}

int GuardMain(int argc, wchar_t* argv[]) {
    // A library loaded at run time comes from System32, never from the
    // program's folder or the current directory.
    const DWORD searchError = ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) ? 0 : ::GetLastError();
    const bool command = argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/');
    // Owned for the life of the process, never released.
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    const DWORD mutexError = ::GetLastError();  // read at once, whatever the result
    // Anyone may create that name first. The manager runs one service process
    // at a time, so a start by the manager is never refused for it; a console
    // copy still is.
    const bool nameTaken = mutex == nullptr || mutexError == ERROR_ALREADY_EXISTS;
    if (nameTaken && (command || !StartedByServiceManager())) {
        WriteLog(kMainSource, 24, "ZUNATAVLGuardService server had exist", 0);
        return ERROR_ALREADY_EXISTS;
    }
    // A run without a log says so where administrators look.
    SetLogUnavailableReporter(ReportNoLog);
    InitLog();
    if (searchError != 0) {
        WriteLog(kMainSource, 20, "SetDefaultDllDirectories failed w/err ", static_cast<int>(searchError));
    }
    if (nameTaken) {
        WriteLog(kMainSource, 26, "ZUNATAVLGuardService mutex held by another process; started as the service, runs ",
                 static_cast<int>(mutexError));
        ReportGuardEvent(kServiceName, GuardEvent::InstanceNameTaken,
                         {kInstanceMutexName, std::to_wstring(mutexError)});
    }

    if (command) {
        const wchar_t* word = argv[1] + 1;
        if (_wcsicmp(word, L"install") == 0) {
            const DWORD result = InstallService();
            WriteLog(kMainSource, 50, "Service:_tmain install", static_cast<int>(result));
            return static_cast<int>(result);
        }
        if (_wcsicmp(word, L"remove") == 0) {
            DWORD result = RemoveService();
            const DWORD source = RemoveEventLogSource();
            if (result == 0) result = source;
            WriteLog(kMainSource, 57, "Service:_tmain remove", static_cast<int>(result));
            return static_cast<int>(result);
        }
        return 0;
    }
    return static_cast<int>(RunService());
}
