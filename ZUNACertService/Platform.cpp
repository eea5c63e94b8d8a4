#include "Platform.h"

#include <wtsapi32.h>
#include <userenv.h>

#include "Handle.h"
#include "utils.h"

namespace {

ULONGLONG RealTickMs() { return ::GetTickCount64(); }

void RealPause(HANDLE wake, DWORD milliseconds) {
    if (wake == nullptr) {
        ::Sleep(milliseconds);
    } else {
        ::WaitForSingleObject(wake, milliseconds);
    }
}

}  // namespace

PlatformCalls DefaultPlatform() {
    PlatformCalls calls;
    calls.SetServiceStatus = ::SetServiceStatus;
    calls.RegisterEventSourceW = ::RegisterEventSourceW;
    calls.ReportEventW = ::ReportEventW;
    calls.DeregisterEventSource = ::DeregisterEventSource;
    calls.RegisterServiceCtrlHandlerW = ::RegisterServiceCtrlHandlerW;
    calls.StartServiceCtrlDispatcherW = ::StartServiceCtrlDispatcherW;
    calls.ExitProcess = ::ExitProcess;
    calls.OutputDebugStringW = ::OutputDebugStringW;
    calls.GetModuleFileNameW = ::GetModuleFileNameW;
    calls.CreateEventW = ::CreateEventW;
    calls.CreateToolhelp32Snapshot = ::CreateToolhelp32Snapshot;
    calls.OpenSCManagerW = ::OpenSCManagerW;
    calls.CreateServiceW = ::CreateServiceW;
    calls.ChangeServiceConfigW = ::ChangeServiceConfigW;
    calls.ChangeServiceConfig2W = ::ChangeServiceConfig2W;
    calls.QueryServiceConfig2W = ::QueryServiceConfig2W;
    calls.ControlService = ::ControlService;
    calls.QueryServiceStatus = ::QueryServiceStatus;
    calls.DeleteService = ::DeleteService;
    calls.GetNamedSecurityInfoW = ::GetNamedSecurityInfoW;
    calls.WTSQueryUserToken = ::WTSQueryUserToken;
    calls.DuplicateTokenEx = ::DuplicateTokenEx;
    calls.SetTokenInformation = ::SetTokenInformation;
    calls.CreateEnvironmentBlock = ::CreateEnvironmentBlock;
    calls.CreateProcessAsUserW = ::CreateProcessAsUserW;
    calls.WTSGetActiveConsoleSessionId = ::WTSGetActiveConsoleSessionId;
    calls.ProcessIdToSessionId = ::ProcessIdToSessionId;
    calls.WTSQuerySessionInformationW = ::WTSQuerySessionInformationW;
    calls.WTSFreeMemory = ::WTSFreeMemory;
    calls.CreateFileW = ::CreateFileW;
    calls.WriteFile = ::WriteFile;
    calls.SetFileInformationByHandle = ::SetFileInformationByHandle;
    calls.GetFileInformationByHandle = ::GetFileInformationByHandle;
    calls.GetSecurityInfo = ::GetSecurityInfo;
    calls.GetACP = ::GetACP;
    calls.WideCharToMultiByte = ::WideCharToMultiByte;
    calls.TickMs = RealTickMs;
    calls.Pause = RealPause;
    calls.FindGuardedProgram = ::FindGuardedProgram;
    calls.Probe = nullptr;
    calls.RunGuardedProgram = nullptr;
    return calls;
}

PlatformCalls& Platform() {
    static PlatformCalls calls = DefaultPlatform();
    return calls;
}

void EventSourceTraits::Close(pointer h) noexcept { Platform().DeregisterEventSource(h); }
