#include "Platform.h"

#include <wtsapi32.h>
#include <userenv.h>

#include "CZUNACertService.h"
#include "Handle.h"
#include "core/Http.h"
#include "utils.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace {

boost::posix_time::ptime RealUtcNow() { return boost::posix_time::second_clock::universal_time(); }

ULONGLONG RealTickMs() { return ::GetTickCount64(); }

void RealPause(HANDLE wake, DWORD milliseconds) {
    if (wake == nullptr) {
        ::Sleep(milliseconds);
    } else {
        ::WaitForSingleObject(wake, milliseconds);
    }
}

ProgramRun RealRunGuardedProgram(CZUNACertService& guard) { return guard.LaunchInUserSession(); }

}  // namespace

PlatformCalls DefaultPlatform() {
    PlatformCalls calls;
    calls.SetServiceStatus = ::SetServiceStatus;
    calls.RegisterEventSourceW = ::RegisterEventSourceW;
    calls.ReportEventW = ::ReportEventW;
    calls.DeregisterEventSource = ::DeregisterEventSource;
    calls.RegisterServiceCtrlHandlerW = ::RegisterServiceCtrlHandlerW;
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
    calls.CreateFileW = ::CreateFileW;
    calls.SetFileInformationByHandle = ::SetFileInformationByHandle;
    calls.GetFileInformationByHandle = ::GetFileInformationByHandle;
    calls.GetSecurityInfo = ::GetSecurityInfo;
    calls.GetACP = ::GetACP;
    calls.WideCharToMultiByte = ::WideCharToMultiByte;
    calls.UtcNow = RealUtcNow;
    calls.TickMs = RealTickMs;
    calls.Pause = RealPause;
    calls.FindGuardedProgram = ::FindGuardedProgram;
    calls.Probe = HttpProbe;
    calls.RunGuardedProgram = RealRunGuardedProgram;
    return calls;
}

PlatformCalls& Platform() {
    static PlatformCalls calls = DefaultPlatform();
    return calls;
}

void EventSourceTraits::Close(pointer h) noexcept { Platform().DeregisterEventSource(h); }
