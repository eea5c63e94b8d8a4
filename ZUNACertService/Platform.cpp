#include "Platform.h"

#include "Handle.h"
#include "core/Http.h"
#include "utils.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace {

boost::posix_time::ptime RealUtcNow() { return boost::posix_time::second_clock::universal_time(); }

void RealPause(HANDLE wake, DWORD milliseconds) {
    if (wake == nullptr) {
        ::Sleep(milliseconds);
    } else {
        ::WaitForSingleObject(wake, milliseconds);
    }
}

std::string RealProbe(const std::string& url, const std::string& body, const std::atomic<LONG>* abort) {
    return HttpPost(url, body, abort);
}

}  // namespace

PlatformCalls DefaultPlatform() {
    PlatformCalls calls;
    calls.SetServiceStatus = ::SetServiceStatus;
    calls.RegisterEventSourceW = ::RegisterEventSourceW;
    calls.ReportEventW = ::ReportEventW;
    calls.DeregisterEventSource = ::DeregisterEventSource;
    calls.OutputDebugStringW = ::OutputDebugStringW;
    calls.GetModuleFileNameW = ::GetModuleFileNameW;
    calls.CreateEventW = ::CreateEventW;
    calls.CreateFileW = ::CreateFileW;
    calls.UtcNow = RealUtcNow;
    calls.Pause = RealPause;
    calls.IsGuardedProcessRunning = ::IsGuardedProcessRunning;
    calls.Probe = RealProbe;
    return calls;
}

PlatformCalls& Platform() {
    static PlatformCalls calls = DefaultPlatform();
    return calls;
}

void EventSourceTraits::Close(pointer h) noexcept { Platform().DeregisterEventSource(h); }
