#include "ServiceInstaller.h"

#include <windows.h>

#include <string>

#include "Handle.h"
#include "InstallRights.h"
#include "ModulePath.h"
#include "Platform.h"
#include "ServiceConfig.h"
#include "ServiceIdentity.h"
#include "utils.h"

namespace {
// A service that will not leave STOP_PENDING must not hold the installer forever.
const DWORD kStopPollPauseMs = 250;
const DWORD kStopPollLimitMs = 30000;
// How long -install waits for a registration that is marked for deletion (a
// management console still holds it) to go before it creates the new one.
const DWORD kMarkedWaitLimitMs = 30000;

// Where Event Viewer finds the message table that renders the entries.
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZUNATAVLGuardService";

DWORD AddEventLogSource(const std::wstring& exePath) {
    CRegistryKey key;
    LSTATUS rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   key.put(), nullptr);
    if (rc != ERROR_SUCCESS) {
        WriteLog(__FILE__, 100, "RegCreateKeyEx failed w/err ", static_cast<int>(rc));
        return static_cast<DWORD>(rc);
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    // The event log reads the message file's path as an expandable string.
    rc = ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(exePath.c_str()),
                          static_cast<DWORD>((exePath.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS) {
        rc = ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                              sizeof(types));
    }
    if (rc != ERROR_SUCCESS) WriteLog(__FILE__, 104, "RegSetValueEx failed w/err ", static_cast<int>(rc));
    return static_cast<DWORD>(rc);
}

// Stops a running service and waits, bounded, until it has stopped. A service
// that is not running cannot be stopped: nothing is logged then.
void StopAndWait(SC_HANDLE service) {
    PlatformCalls& platform = Platform();
    SERVICE_STATUS status = {};
    if (!platform.ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
    WriteLog(__FILE__, 149, "Stopping %s.", 0);
    const ULONGLONG deadline = platform.TickMs() + kStopPollLimitMs;
    while (platform.QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
        WriteLog(__FILE__, 156, "stop...", 0);
        if (platform.TickMs() >= deadline) break;
        platform.Pause(nullptr, kStopPollPauseMs);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        WriteLog(__FILE__, 164, "\n%s is stopped.\n", 0);
    } else {
        WriteLog(__FILE__, 168, "\n%s failed to stop.\n", 0);
    }
}

// The existing registration, stopped and rewritten as a new one would be made.
DWORD UpdateInPlace(SC_HANDLE manager, const std::wstring& binaryPath, CServiceHandle& service) {
    service.reset(::OpenServiceW(manager, kServiceName,
                                 SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!service) return ::GetLastError();
    StopAndWait(service.get());
    if (!Platform().ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, binaryPath.c_str(), L"", nullptr, L"\0\0",
                                         L"LocalSystem", L"", kServiceDisplayName)) {
        const DWORD error = ::GetLastError();
        service.reset();
        return error;
    }
    WriteLog(__FILE__, 92, "%s exists: its registration is updated in place.\n", 0);
    return 0;
}

}  // namespace

DWORD RemoveEventLogSource() {
    const LSTATUS rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        WriteLog(__FILE__, 186, "RegDeleteKey failed w/err ", static_cast<int>(rc));
        return static_cast<DWORD>(rc);
    }
    return 0;
}

DWORD InstallService() {
    PlatformCalls& platform = Platform();
    const std::wstring path = GetModulePath();
    if (path.empty()) {
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 59, "GetModuleFileName failed w/err 0x%08lx\n", static_cast<int>(error));
        return error != 0 ? error : ERROR_FILENAME_EXCED_RANGE;
    }
    // Quoted, so that a path with blanks cannot be read as a shorter program.
    const std::wstring binaryPath = L"\"" + path + L"\"";

    CServiceHandle manager(platform.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 68, "OpenSCManager failed w/err 0x%08lx\n", static_cast<int>(error));
        return error;
    }
    CServiceHandle service;
    const ULONGLONG deadline = platform.TickMs() + kMarkedWaitLimitMs;
    for (bool waiting = false;; waiting = true) {
        service.reset(platform.CreateServiceW(
            manager.get(), kServiceName, kServiceDisplayName,
            SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, L"\0\0", nullptr,
            nullptr));
        DWORD error = service ? 0 : ::GetLastError();
        // Deleting a registration that exists and creating it again would leave
        // no service at all while anyone holds it open: it is rewritten instead.
        if (error == ERROR_SERVICE_EXISTS) error = UpdateInPlace(manager.get(), binaryPath, service);
        if (error == 0) break;
        const bool going = error == ERROR_SERVICE_MARKED_FOR_DELETE || error == ERROR_SERVICE_DOES_NOT_EXIST;
        if (!going || platform.TickMs() >= deadline) {
            WriteLog(__FILE__, 90, "CreateService failed w/err 0x%08lx\n", static_cast<int>(error));
            return error;
        }
        if (!waiting) {
            WriteLog(__FILE__, 88, "the old registration is marked for deletion; waiting for it to go ",
                     static_cast<int>(error));
        }
        platform.Pause(nullptr, kStopPollPauseMs);
    }
    WriteLog(__FILE__, 94, "%s is installed.\n", 0);
    ReportInstallFolderRights(path, kServiceName);
    const DWORD source = AddEventLogSource(path);
    const DWORD settings = ApplyServiceSettings(service.get());
    if (settings != 0) WriteLog(__FILE__, 106, "ChangeServiceConfig2 failed w/err ", static_cast<int>(settings));
    return source != 0 ? source : settings;
}

DWORD RemoveService() {
    PlatformCalls& platform = Platform();
    CServiceHandle manager(platform.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 133, "OpenSCManager failed w/err 0x%08lx\n", static_cast<int>(error));
        return error;
    }
    CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 142, "OpenService failed w/err 0x%08lx\n", static_cast<int>(error));
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;  // nothing to remove is what was asked
    }
    StopAndWait(service.get());
    if (!platform.DeleteService(service.get())) {
        const DWORD error = ::GetLastError();
        WriteLog(__FILE__, 175, "DeleteService failed w/err ", static_cast<int>(error));
        return error == ERROR_SERVICE_MARKED_FOR_DELETE ? 0 : error;
    }
    WriteLog(__FILE__, 179, "%s is removed.\n", 0);
    return 0;
}
