#include "GuardEvents.h"

#include <cwchar>

#include "Handle.h"
#include "Platform.h"

namespace {

const ULONGLONG kRepeatWindowMs = 10 * 60 * 1000;

struct Kind {
    GuardEvent event;
    WORD type;
    int limitSlot;  // -1: not limited (once per start at most)
};

const Kind kKinds[] = {
    {GuardEvent::ProgramEnded, EVENTLOG_INFORMATION_TYPE, 0},
    {GuardEvent::ProgramKilled, EVENTLOG_WARNING_TYPE, 1},
    {GuardEvent::LaunchFailed, EVENTLOG_ERROR_TYPE, 2},
    {GuardEvent::ThrottleBegan, EVENTLOG_WARNING_TYPE, 3},
    {GuardEvent::ThrottleEnded, EVENTLOG_INFORMATION_TYPE, 4},
    {GuardEvent::LoopException, EVENTLOG_ERROR_TYPE, 5},
    {GuardEvent::LoopGaveUp, EVENTLOG_ERROR_TYPE, -1},
    {GuardEvent::LogUnavailable, EVENTLOG_WARNING_TYPE, -1},
    {GuardEvent::ProgramMissing, EVENTLOG_WARNING_TYPE, -1},
    {GuardEvent::InstallFolderRights, EVENTLOG_ERROR_TYPE, -1},
    {GuardEvent::InstanceNameTaken, EVENTLOG_WARNING_TYPE, -1},
    // Paced by people logging on, off and switching.
    {GuardEvent::ProgramMoved, EVENTLOG_INFORMATION_TYPE, -1},
    {GuardEvent::WaitingForUser, EVENTLOG_INFORMATION_TYPE, -1},
    {GuardEvent::EndedWithSession, EVENTLOG_INFORMATION_TYPE, -1},
};

const Kind& KindOf(GuardEvent event) {
    for (const Kind& k : kKinds) {
        if (k.event == event) return k;
    }
    return kKinds[0];
}

void Write(PCWSTR source, GuardEvent event, const std::vector<std::wstring>& strings) {
    CEventSource handle(Platform().RegisterEventSourceW(nullptr, source));
    if (!handle) return;
    std::vector<LPCWSTR> all{source};
    for (const std::wstring& s : strings) all.push_back(s.c_str());
    // Nothing sensible is left to do when the event log refuses an entry.
    Platform().ReportEventW(handle.get(), KindOf(event).type, 0, static_cast<DWORD>(event), nullptr,
                            static_cast<WORD>(all.size()), 0, all.data(), nullptr);
}

}  // namespace

void ReportGuardEvent(PCWSTR source, GuardEvent event, std::vector<std::wstring> strings) {
    if (KindOf(event).limitSlot >= 0) strings.emplace_back();
    Write(source, event, strings);
}

void CGuardEvents::Report(GuardEvent event, std::vector<std::wstring> strings) {
    const int slot = KindOf(event).limitSlot;
    if (slot < 0) {
        Write(m_source, event, strings);
        return;
    }
    unsigned leftOut = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Limit& limit = m_limits[slot];
        const ULONGLONG now = Platform().TickMs();
        if (limit.written && now - limit.lastMs < kRepeatWindowMs) {
            ++limit.leftOut;
            return;
        }
        leftOut = limit.leftOut;
        limit = Limit{true, now, 0};
    }
    strings.push_back(leftOut == 0 ? std::wstring()
                                   : L" " + std::to_wstring(leftOut) +
                                         L" more like it in the 10 minutes before were left out.");
    Write(m_source, event, strings);
}

std::wstring ExitCodeText(DWORD code) {
    if (code < 0x10000) return std::to_wstring(code);
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}
