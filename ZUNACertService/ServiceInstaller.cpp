#include "ServiceInstaller.h"

#include <windows.h>

#include <string>

#include "CZUNACertService.h"
#include "Handle.h"
#include "InstallRights.h"
#include "utils.h"

namespace {
// A service that will not leave STOP_PENDING must not hold the installer forever.
const DWORD kStopPollPauseMs = 250;
const DWORD kStopPollLimitMs = 30000;

// Where Event Viewer finds the message table that renders the entries.
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZUNATAVLGuardService";

void AddEventLogSource(const std::wstring& exePath) {
    CRegistryKey key;
    LSTATUS rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   key.put(), nullptr);
    if (rc != ERROR_SUCCESS) {
        WriteLog(__FILE__, 100, "RegCreateKeyEx failed w/err ", static_cast<int>(rc));
        return;
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(exePath.c_str()),
                          static_cast<DWORD>((exePath.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS) {
        rc = ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                              sizeof(types));
    }
    if (rc != ERROR_SUCCESS) WriteLog(__FILE__, 104, "RegSetValueEx failed w/err ", static_cast<int>(rc));
}
}  // namespace

void RemoveEventLogSource() {
    const LSTATUS rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        WriteLog(__FILE__, 186, "RegDeleteKey failed w/err ", static_cast<int>(rc));
    }
}

void InstallService() {
    const std::wstring path = GetModulePath();
    if (path.empty()) {
        WriteLog(__FILE__, 59, "GetModuleFileName failed w/err 0x%08lx\n", static_cast<int>(::GetLastError()));
        return;
    }
    // Quoted, so that a path with blanks cannot be read as a shorter program.
    const std::wstring binaryPath = L"\"" + path + L"\"";

    CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        WriteLog(__FILE__, 68, "OpenSCManager failed w/err 0x%08lx\n", static_cast<int>(::GetLastError()));
        return;
    }
    CServiceHandle service(::CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, SERVICE_QUERY_STATUS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                            binaryPath.c_str(), nullptr, nullptr, L"\0\0", nullptr, nullptr));
    if (!service) {
        WriteLog(__FILE__, 90, "CreateService failed w/err 0x%08lx\n", static_cast<int>(::GetLastError()));
        return;
    }
    WriteLog(__FILE__, 94, "%s is installed.\n", 0);
    ReportInstallFolderRights(path);
    AddEventLogSource(path);
    manager.reset();
    service.reset();
}

void RemoveService() {
    SERVICE_STATUS status = {};
    CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        WriteLog(__FILE__, 133, "OpenSCManager failed w/err 0x%08lx\n", static_cast<int>(::GetLastError()));
        return;
    }
    CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        WriteLog(__FILE__, 142, "OpenService failed w/err 0x%08lx\n", static_cast<int>(::GetLastError()));
        return;
    }
    // A service that is not running cannot be stopped: go straight to the delete.
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        WriteLog(__FILE__, 149, "Stopping %s.", 0);
        const ULONGLONG deadline = ::GetTickCount64() + kStopPollLimitMs;
        while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
            WriteLog(__FILE__, 156, "stop...", 0);
            if (::GetTickCount64() >= deadline) break;
            ::Sleep(kStopPollPauseMs);
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            WriteLog(__FILE__, 164, "\n%s is stopped.\n", 0);
        } else {
            WriteLog(__FILE__, 168, "\n%s failed to stop.\n", 0);
        }
    }
    if (!::DeleteService(service.get())) {
        WriteLog(__FILE__, 175, "DeleteService failed w/err ", static_cast<int>(::GetLastError()));
    } else {
        WriteLog(__FILE__, 179, "%s is removed.\n", 0);
    }
    manager.reset();
    service.reset();
}
