// CServiceBase's sequences, with status reports and event-log entries seen
// through the platform table.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ServiceBase.h"
#include "TestSupport.h"

namespace {

enum class Fail { None, Code, Other };

class CTestService : public CServiceBase {
public:
    CTestService() : CServiceBase(L"BaseTestService", true, true, true) { s_instance = this; }
    ~CTestService() override { s_instance = nullptr; }
    static DWORD NextCheckPoint() { return s_checkPoint; }

    Fail start = Fail::None, stop = Fail::None, pause = Fail::None, resume = Fail::None, shutdown = Fail::None;
    DWORD code = 5;

protected:
    void Act(Fail f) {
        if (f == Fail::Code) throw code;
        if (f == Fail::Other) throw std::runtime_error("no code");
    }
    void OnStart(DWORD, PWSTR*) override { Act(start); }
    void OnStop() override { Act(stop); }
    void OnPause() override { Act(pause); }
    void OnContinue() override { Act(resume); }
    void OnShutdown() override { Act(shutdown); }
};

class ServiceBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordStatus(&statuses);
        RecordEventLog(&events);
    }
    // Pairs of (state, checkpoint) reported since the last call.
    std::vector<std::pair<DWORD, DWORD>> Reports() {
        std::vector<std::pair<DWORD, DWORD>> out;
        for (const SERVICE_STATUS& s : statuses) out.emplace_back(s.dwCurrentState, s.dwCheckPoint);
        statuses.clear();
        return out;
    }
    using R = std::vector<std::pair<DWORD, DWORD>>;

    PlatformScope platform;
    std::vector<SERVICE_STATUS> statuses;
    std::vector<EventEntry> events;
    CTestService service;
};

}  // namespace

// Runs first in this program: the counter starts at 1 for the process.
TEST_F(ServiceBaseTest, CheckpointsCountAcrossAllSequences) {
    ASSERT_EQ(CTestService::NextCheckPoint(), 1u);
    service.Start(0, nullptr);
    EXPECT_EQ(Reports(), (R{{SERVICE_START_PENDING, 1}, {SERVICE_RUNNING, 0}}));
    service.Pause();
    EXPECT_EQ(Reports(), (R{{SERVICE_PAUSE_PENDING, 2}, {SERVICE_PAUSED, 3}}));
    service.Continue();
    EXPECT_EQ(Reports(), (R{{SERVICE_CONTINUE_PENDING, 4}, {SERVICE_RUNNING, 0}}));
    service.Stop();
    EXPECT_EQ(Reports(), (R{{SERVICE_STOP_PENDING, 5}, {SERVICE_STOPPED, 0}}));
    EXPECT_TRUE(events.empty()) << "success writes no entry";
    // The rest of the record keeps its constructor values.
    const SERVICE_STATUS s = service.Status();
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwControlsAccepted, 7u);
    EXPECT_EQ(s.dwWaitHint, 0u);
}

namespace {

// Each hook failing with a code (a DWORD thrown) and with anything else: the
// state it falls back to, the checkpoints it takes, the exit code and the entry.
struct FailingHook {
    Fail CTestService::*hook;
    Fail how;
    void (*act)(CTestService&);
    std::vector<DWORD> states;  // after the hook's own pending state, if any
    DWORD exitCode;
    const wchar_t* text;
};
void StartIt(CTestService& s) { s.Start(0, nullptr); }
void StopIt(CTestService& s) { s.Stop(); }
void PauseIt(CTestService& s) { s.Pause(); }
void ContinueIt(CTestService& s) { s.Continue(); }
void ShutIt(CTestService& s) { s.Shutdown(); }
const FailingHook kFailingHooks[] = {
    {&CTestService::start, Fail::Code, StartIt, {SERVICE_START_PENDING, SERVICE_STOPPED}, 5,
     L"Service Start failed w/err 0x00000005"},
    {&CTestService::start, Fail::Other, StartIt, {SERVICE_START_PENDING, SERVICE_STOPPED}, 0, L"Service failed to start."},
    {&CTestService::stop, Fail::Code, StopIt, {SERVICE_STOP_PENDING, SERVICE_RUNNING}, 0,
     L"Service Stop failed w/err 0x00000005"},
    {&CTestService::stop, Fail::Other, StopIt, {SERVICE_STOP_PENDING, SERVICE_RUNNING}, 0, L"Service failed to stop."},
    {&CTestService::pause, Fail::Code, PauseIt, {SERVICE_PAUSE_PENDING, SERVICE_RUNNING}, 0,
     L"Service Pause failed w/err 0x00000005"},
    {&CTestService::pause, Fail::Other, PauseIt, {SERVICE_PAUSE_PENDING, SERVICE_RUNNING}, 0,
     L"Service failed to pause."},
    // PAUSED is no final state: it takes the next checkpoint, as a success does.
    {&CTestService::resume, Fail::Code, ContinueIt, {SERVICE_CONTINUE_PENDING, SERVICE_PAUSED}, 0,
     L"Service Continue failed w/err 0x00000005"},
    {&CTestService::resume, Fail::Other, ContinueIt, {SERVICE_CONTINUE_PENDING, SERVICE_PAUSED}, 0,
     L"Service failed to resume."},
    {&CTestService::shutdown, Fail::Code, ShutIt, {}, 0, L"Service Shutdown failed w/err 0x00000005"},
    {&CTestService::shutdown, Fail::Other, ShutIt, {}, 0, L"Service failed to shut down."},
};

}  // namespace

TEST_F(ServiceBaseTest, FailedHooksFallBackToTheirStates) {
    for (const FailingHook& row : kFailingHooks) {
        SCOPED_TRACE(row.text);
        CTestService fresh;
        if (row.act != StartIt) fresh.Start(0, nullptr);
        if (row.act == ContinueIt) fresh.Pause();
        Reports();
        events.clear();
        fresh.*row.hook = row.how;
        DWORD cp = CTestService::NextCheckPoint();
        R expected;
        for (DWORD state : row.states) {
            const bool counts = state != SERVICE_RUNNING && state != SERVICE_STOPPED;
            expected.emplace_back(state, counts ? cp++ : 0);
        }
        row.act(fresh);
        EXPECT_EQ(Reports(), expected);
        EXPECT_EQ(fresh.Status().dwWin32ExitCode, row.exitCode);
        // Every failure entry: an error, event 0, category 0, the service name and the text.
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(events[0].id, 0u);
        EXPECT_EQ(events[0].category, 0);
        EXPECT_EQ(events[0].source, L"BaseTestService");
        EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{L"BaseTestService", row.text}));
    }

    // As Event Viewer shows them: the message table in TAVL.exe, with the
    // entry's two strings; the guard's own entries alike.
    std::vector<std::wstring> texts{L"CZUNACertService in OnStart", L"C:\\Program Files\\ZUNA Cert",
                                    L"CZUNACertService in OnStop", L"Service Start failed w/err 0x00000005",
                                    L"100% of %1 %%"};
    for (const FailingHook& row : kFailingHooks) texts.push_back(row.text);
    for (const std::wstring& text : texts) {
        const EventEntry entry{EVENTLOG_ERROR_TYPE, 0, 0, L"", {L"ZUNATAVLGuardService", text}, text};
        EXPECT_EQ(RenderEvent(entry), L"ZUNATAVLGuardService: " + text);
    }
}

TEST_F(ServiceBaseTest, ShutdownReportsStoppedAlone) {
    service.Start(0, nullptr);
    Reports();
    CServiceBase::ControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(Reports(), (R{{SERVICE_STOPPED, 0}}));
    // Once stopped, the process may be gone for the manager: a late stop reports nothing.
    CServiceBase::ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(ServiceBaseTest, ControlHandlerDispatchesAndIgnoresTheRest) {
    service.Start(0, nullptr);
    Reports();
    CServiceBase::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    CServiceBase::ControlHandler(128);
    EXPECT_TRUE(Reports().empty());
    CServiceBase::ControlHandler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(Reports().back().first, static_cast<DWORD>(SERVICE_PAUSED));
    CServiceBase::ControlHandler(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(Reports().back().first, static_cast<DWORD>(SERVICE_RUNNING));
    CServiceBase::ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Reports().back().first, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceBaseTest, ErrorEntryIsCutTo259Characters) {
    const std::wstring operation(300, L'o');
    service.ReportErrorToEventLog(operation.c_str(), 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, std::wstring(259, L'o'));

    const std::wstring fits(259 - 24, L'p');  // 24 = " failed w/err 0x" and 8 digits
    service.ReportErrorToEventLog(fits.c_str(), 0xABCDEF12);
    EXPECT_EQ(events[1].text, fits + L" failed w/err 0xabcdef12");
}

TEST_F(ServiceBaseTest, NoEventSourceDropsTheEntry) {
    Platform().RegisterEventSourceW = [](LPCWSTR, LPCWSTR) -> HANDLE { return nullptr; };
    service.start = Fail::Code;
    service.Start(0, nullptr);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(FormatErrorCode, HexWithoutLeadingZeros) {
    wchar_t text[11];
    const std::pair<DWORD, const wchar_t*> cases[] = {
        {0, L"0x"}, {5, L"0x5"}, {0x10, L"0x10"}, {1063, L"0x427"}, {0xDEADBEEF, L"0xDEADBEEF"},
        {0x80000000, L"0x80000000"}, {0x0F00, L"0xF00"}};
    for (const auto& c : cases) {
        std::fill(std::begin(text), std::end(text), L'#');
        FormatErrorCode(c.first, text);
        EXPECT_STREQ(text, c.second);
    }
}

TEST(RunInternal, FromAConsoleTheDispatcherDoesNotStart) {
    PlatformScope platform;
    std::vector<std::wstring> debug;
    RecordDebugOutput(&debug);
    // Windows refuses at once from a console (Wine waits about 10 s first);
    // main_tests runs the real call from its console.
    static std::wstring named;
    Platform().StartServiceCtrlDispatcherW = [](const SERVICE_TABLE_ENTRYW* table) -> BOOL {
        named = table[0].lpServiceName;
        ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    };
    CTestService service;
    EXPECT_FALSE(CServiceBase::RunInternal(service));
    EXPECT_EQ(named, L"BaseTestService");
    EXPECT_EQ(LastRecord("ServiceBase.cpp", 99), "RunInternal error, err code : %s [1063]");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], L"0x427");
}

// Without a control handler no status can be reported; the process ends with
// the error rather than wait in the dispatcher until the manager gives up.
TEST(ServiceEntry, WithoutAControlHandlerTheProcessEndsWithTheError) {
    PlatformScope platform;
    std::vector<SERVICE_STATUS> statuses;
    RecordStatus(&statuses);
    static std::vector<UINT> exits;
    Platform().RegisterServiceCtrlHandlerW = [](LPCWSTR, LPHANDLER_FUNCTION) -> SERVICE_STATUS_HANDLE {
        ::SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    };
    Platform().ExitProcess = [](UINT code) { exits.push_back(code); };
    CTestService service;
    CServiceBase::ServiceEntry(0, nullptr);
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(exits, std::vector<UINT>{ERROR_SERVICE_NOT_IN_EXE});
    const std::string record = LastRecord("ServiceBase.cpp", 120);
    EXPECT_EQ(record.substr(record.rfind(" [")), " [" + std::to_string(ERROR_SERVICE_NOT_IN_EXE) + "]") << record;
}
