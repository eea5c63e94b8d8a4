#include "ServiceConfig.h"

#include <vector>

#include "Handle.h"
#include "Platform.h"
#include "ServiceIdentity.h"
#include "utils.h"

const DWORD kFailureResetSeconds = 24 * 60 * 60;
const SC_ACTION kFailureActions[3] = {
    {SC_ACTION_RESTART, 60 * 1000}, {SC_ACTION_RESTART, 60 * 1000}, {SC_ACTION_RESTART, 5 * 60 * 1000}};

namespace {

DWORD SetDescription(SC_HANDLE service) {
    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(kServiceDescription)};
    return Platform().ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) ? 0
                                                                                              : ::GetLastError();
}

// A service manager that keeps no failure actions at all (Wine's) answers
// 124: there is nothing to set there, and the install is complete. That
// comes back as ERROR_NOT_SUPPORTED, after one record.
DWORD SetRecoveryLevel(SC_HANDLE service, DWORD level, LPVOID info) {
    if (Platform().ChangeServiceConfig2W(service, level, info)) return 0;
    const DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_LEVEL) return error;
    WriteLog(__FILE__, 26, "this service manager keeps no failure actions ", static_cast<int>(error));
    return ERROR_NOT_SUPPORTED;
}

DWORD SetFailureActions(SC_HANDLE service) {
    SC_ACTION actions[3] = {kFailureActions[0], kFailureActions[1], kFailureActions[2]};
    SERVICE_FAILURE_ACTIONSW failure = {kFailureResetSeconds, nullptr, nullptr, 3, actions};
    DWORD error = SetRecoveryLevel(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    if (error == 0) {
        // A stop with a non-zero exit code, not only a crash, counts as a failure.
        SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
        error = SetRecoveryLevel(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    }
    return error;
}

// What QueryServiceConfig2W gives for `level`; empty when it cannot be had
// (Wine keeps no failure actions and answers 124).
std::vector<BYTE> QueryConfig2(SC_HANDLE service, DWORD level) {
    DWORD needed = 0;
    Platform().QueryServiceConfig2W(service, level, nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<BYTE> buffer(needed);
    if (!Platform().QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) return {};
    return buffer;
}

bool HasDescription(SC_HANDLE service) {
    const std::vector<BYTE> buffer = QueryConfig2(service, SERVICE_CONFIG_DESCRIPTION);
    if (buffer.empty()) return false;
    const auto* d = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
    return d->lpDescription != nullptr && d->lpDescription[0] != L'\0';
}

bool HasFailureActions(SC_HANDLE service) {
    const std::vector<BYTE> buffer = QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS);
    return !buffer.empty() && reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data())->cActions > 0;
}

// The path as the service manager has it, when it is the program's own path
// without quotes: a blank in it would let C:\Program.exe run in its place.
bool IsUnquotedOwnPath(SC_HANDLE service, const std::wstring& exePath) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service, config, needed, &needed) || config->lpBinaryPathName == nullptr) {
        return false;
    }
    return exePath.find(L' ') != std::wstring::npos &&
           ::CompareStringOrdinal(config->lpBinaryPathName, -1, exePath.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

DWORD ApplyServiceSettings(SC_HANDLE service) {
    const DWORD description = SetDescription(service);
    const DWORD failure = SetFailureActions(service);
    if (description != 0) return description;
    return failure == ERROR_NOT_SUPPORTED ? 0 : failure;
}

void CheckOwnRegistration(PCWSTR serviceName, const std::wstring& exePath) {
    CServiceHandle manager(Platform().OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        WriteLog(__FILE__, 95, "OpenSCManager failed w/err ", static_cast<int>(::GetLastError()));
        return;
    }
    CServiceHandle service(::OpenServiceW(manager.get(), serviceName,
                                          SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
    if (!service) {
        WriteLog(__FILE__, 101, "OpenService failed w/err ", static_cast<int>(::GetLastError()));
        return;
    }
    if (!HasDescription(service.get())) {
        const DWORD error = SetDescription(service.get());
        WriteLog(__FILE__, 106, "service description set w/err ", static_cast<int>(error));
    }
    if (!HasFailureActions(service.get())) {
        const DWORD error = SetFailureActions(service.get());
        WriteLog(__FILE__, 110, "service failure actions set w/err ", static_cast<int>(error));
    }
    if (IsUnquotedOwnPath(service.get(), exePath)) {
        const std::wstring quoted = L"\"" + exePath + L"\"";
        const BOOL ok = Platform().ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                        SERVICE_NO_CHANGE, quoted.c_str(), nullptr, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr);
        WriteLog(__FILE__, 117, "service path quoted w/err ", ok ? 0 : static_cast<int>(::GetLastError()));
    }
}
