// The entry point in this process, where the platform table can fail the
// guard's construction.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "CZUNACertService.h"
#include "LogFile.h"
#include "ServiceConfig.h"
#include "ServiceInstaller.h"
#include "Main.h"
#include "TestSupport.h"

// The guard itself, started from a console: the dispatcher cannot connect, and
// its failure record carries the GBK text as bytes, not as UTF-8. First in this
// program: its own run has neither the log nor the single-instance name yet.
TEST(GuardFromConsole, DispatcherFailureIsLoggedInGbk) {
    const std::wstring tavl = TestDir() + L"\\..\\ZUNACertService\\TAVL.exe";
    ASSERT_NE(::GetFileAttributesW(tavl.c_str()), INVALID_FILE_ATTRIBUTES);
    std::string out;
    EXPECT_EQ(RunProcess(tavl, L"install", &out), 0u) << "a word without a switch is service mode";
    EXPECT_TRUE(out.empty()) << out;
    ASSERT_EQ(RecordsAt("ServiceBase.cpp", 99).size(), 1u);
    EXPECT_EQ(LastRecord("ServiceBase.cpp", 99), "RunInternal error, err code : %s [1063]");
    ASSERT_EQ(RecordsAt("ZUNACertService.cpp", 67).size(), 1u);
    EXPECT_EQ(LastRecord("ZUNACertService.cpp", 67), "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC [0]");
}

TEST(GuardMain, ConstructorFailureIsLoggedAndEndsCleanly) {
    PlatformScope platform;
    Platform().CreateEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    };
    wchar_t program[] = L"TAVL.exe";
    wchar_t* argv[] = {program, nullptr};
    // A library planted beside the program is found until the guard narrows the search.
    HMODULE planted = ::LoadLibraryW(L"zunaplant.dll");
    EXPECT_NE(planted, nullptr);
    ::FreeLibrary(planted);
    EXPECT_EQ(GuardMain(1, argv), 0);
    EXPECT_EQ(::LoadLibraryW(L"zunaplant.dll"), nullptr);
    const std::vector<LogRecord> records = RecordsAt("ZUNACertService.cpp", 62);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value, std::to_string(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_TRUE(RecordsAt("ServiceBase.cpp", 99).empty()) << "no dispatcher without a service object";

    // A run that cannot have its log says so in the event log, once.
    std::vector<EventEntry> entries;
    RecordEventLog(&entries);
    ReportLogUnavailable(L"C:\\Users\\Public\\ZUNACertService.log", ERROR_SHARING_VIOLATION);
    ReportLogUnavailable(L"C:\\Users\\Public\\ZUNACertService.log", ERROR_SHARING_VIOLATION);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(OnlyEntry(entries, GuardEvent::LogUnavailable),
              L"ZUNATAVLGuardService: no diagnostic log for this run: C:\\Users\\Public\\ZUNACertService.log could not "
              L"be made ready (error 32).");

    // The process keeps the single-instance mutex: a second start is refused,
    // and says so in its exit code, since the service manager did not start it.
    EXPECT_EQ(GuardMain(1, argv), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RecordsAt("ZUNACertService.cpp", 62).size(), 1u);
}

// -install and -remove against Wine's service manager, with failures and
// what Wine does not keep (failure actions) seen through the platform table.
namespace {

ULONGLONG g_fakeMs = 0;
ULONGLONG FakeTick() { return g_fakeMs; }
void FakePause(HANDLE, DWORD ms) { g_fakeMs += ms; }
// Each ChangeServiceConfig2W call as one line of text.
std::vector<std::wstring> g_config2;
BOOL WINAPI RecordConfig2(SC_HANDLE service, DWORD level, LPVOID info) {
    std::wstring line;
    if (level == SERVICE_CONFIG_DESCRIPTION) {
        line = L"description " + std::wstring(static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription);
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* a = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        line = L"actions reset " + std::to_wstring(a->dwResetPeriod) + (a->lpRebootMsg ? L" reboot-msg" : L"") +
               (a->lpCommand ? L" command" : L"");
        for (DWORD i = 0; i < a->cActions; ++i) {
            line += L" " + std::to_wstring(a->lpsaActions[i].Type) + L"/" + std::to_wstring(a->lpsaActions[i].Delay);
        }
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        const auto* flag = static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info);
        line = L"non-crash " + std::to_wstring(flag->fFailureActionsOnNonCrashFailures);
    }
    g_config2.push_back(line);
    // Windows' manager keeps failure actions; Wine's refuses them with 124.
    if (level != SERVICE_CONFIG_DESCRIPTION) return TRUE;
    return ::ChangeServiceConfig2W(service, level, info);
}
// The guard's own: restart (1) after 60 s, 60 s, then every 5 minutes, reset
// after a day, and a non-zero exit code counts.
const std::vector<std::wstring> kOwnConfig2 = {std::wstring(L"description ") + kServiceDescription,
                                               L"actions reset 86400 1/60000 1/60000 1/300000", L"non-crash 1"};
template <DWORD Error>
SC_HANDLE WINAPI FailOpen(LPCWSTR, LPCWSTR, DWORD) {
    ::SetLastError(Error);
    return nullptr;
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager);
        Delete();
        RecordEventLog(&entries);
        g_config2.clear();
    }
    void TearDown() override { Delete(); }
    void Delete() {
        CServiceHandle old(::OpenServiceW(manager.get(), kServiceName, DELETE));
        if (old) ::DeleteService(old.get());
    }
    static std::vector<std::pair<int, std::string>> Records(size_t from) {
        std::vector<std::pair<int, std::string>> out;
        const std::vector<LogRecord> all = ParseLog(ReadLogFile());
        for (size_t i = from; i < all.size(); ++i) {
            if (all[i].source == "ServiceInstaller.cpp") out.emplace_back(all[i].line, all[i].value);
        }
        return out;
    }
    void FakeClock() {
        Platform().TickMs = FakeTick;
        Platform().Pause = FakePause;
    }
    bool MarkedForDeletion() {
        CServiceHandle s(::OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
        return s && !::ChangeServiceConfigW(s.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
               ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    }

    PlatformScope platform;
    CServiceHandle manager;
    std::vector<EventEntry> entries;
};

using R = std::vector<std::pair<int, std::string>>;

}  // namespace

TEST_F(InstallerTest, EachFailingStepIsLoggedAndIsTheResult) {
    size_t mark = LogMark();
    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR, DWORD) -> DWORD {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    };
    EXPECT_EQ(InstallService(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Platform().GetModuleFileNameW = ::GetModuleFileNameW;
    Platform().OpenSCManagerW = FailOpen<ERROR_ACCESS_DENIED>;
    EXPECT_EQ(InstallService(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RemoveService(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Platform().OpenSCManagerW = ::OpenSCManagerW;
    Platform().CreateServiceW = [](SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD,
                                   LPCWSTR, LPCWSTR, LPCWSTR) -> SC_HANDLE {
        ::SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    };
    EXPECT_EQ(InstallService(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(Records(mark), (R{{59, "5"}, {68, "5"}, {133, "5"}, {90, "123"}}));

    // Nothing to remove is what -remove was asked for; a delete that fails is not.
    mark = LogMark();
    EXPECT_EQ(RemoveService(), 0u);
    Platform().CreateServiceW = ::CreateServiceW;
    ASSERT_EQ(InstallService(), 0u);
    Platform().DeleteService = [](SC_HANDLE) -> BOOL {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    EXPECT_EQ(RemoveService(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Platform().DeleteService = [](SC_HANDLE) -> BOOL {
        ::SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    };
    EXPECT_EQ(RemoveService(), 0u) << "already marked for deletion";
    EXPECT_EQ(Records(mark), (R{{142, "1060"}, {94, "0"}, {175, "5"}, {175, "1072"}}));
}

TEST_F(InstallerTest, RemoveDoesNotWaitPastItsBoundForAServiceThatNeverStops) {
    ASSERT_EQ(InstallService(), 0u);
    Platform().ControlService = [](SC_HANDLE, DWORD, LPSERVICE_STATUS status) -> BOOL {
        status->dwCurrentState = SERVICE_STOP_PENDING;
        return TRUE;
    };
    Platform().QueryServiceStatus = [](SC_HANDLE, LPSERVICE_STATUS status) -> BOOL {
        status->dwCurrentState = SERVICE_STOP_PENDING;
        return TRUE;
    };
    FakeClock();
    const ULONGLONG began = g_fakeMs;
    const size_t mark = LogMark();
    CWatchdog dog(20, "-remove's wait for a service that never stops");
    EXPECT_EQ(RemoveService(), 0u);
    const R records = Records(mark);
    ASSERT_GE(records.size(), 4u);
    EXPECT_EQ(records.front().first, 149);
    EXPECT_EQ(records[records.size() - 2].first, 168);
    EXPECT_EQ(records.back().first, 179) << "the delete still comes";
    EXPECT_GE(g_fakeMs - began, 30000u);
    EXPECT_LE(g_fakeMs - began, 30500u) << "the wait ends at its bound";
}

TEST_F(InstallerTest, ReinstallUpdatesInPlaceAndSetsRecovery) {
    ASSERT_EQ(InstallService(), 0u);
    // A management console holds the service open: deleting it would only mark it.
    CServiceHandle held(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG |
                                                                         SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(held);
    // An administrator made it start on demand under another account; -install puts both back.
    ASSERT_TRUE(::ChangeServiceConfigW(held.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                       nullptr, nullptr, nullptr, nullptr, L"NT AUTHORITY\\LocalService", L"",
                                       nullptr))
        << ::GetLastError();
    Platform().ChangeServiceConfig2W = RecordConfig2;
    const size_t mark = LogMark();
    EXPECT_EQ(InstallService(), 0u);
    EXPECT_EQ(Records(mark), (R{{92, "0"}, {94, "0"}}));
    EXPECT_FALSE(MarkedForDeletion());
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(held.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
    held.reset();
    EXPECT_TRUE(CServiceHandle(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS)))
        << "still registered once the last handle is closed";

    EXPECT_EQ(g_config2, kOwnConfig2);
}

TEST_F(InstallerTest, InstallWaitsBoundedForAMarkedRegistrationToGo) {
    ASSERT_EQ(InstallService(), 0u);
    CServiceHandle held(::OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(::DeleteService(held.get()));
    ASSERT_TRUE(MarkedForDeletion());
    size_t mark = LogMark();
    std::thread closer([&] {
        ::Sleep(1500);
        held.reset();
    });
    {
        CWatchdog dog(40, "-install waiting for a marked registration");
        EXPECT_EQ(InstallService(), 0u);
    }
    closer.join();
    const R records = Records(mark);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0], std::make_pair(88, std::string("1072")));
    EXPECT_EQ(records[1], std::make_pair(94, std::string("0")));

    // Held for good: -install gives up at its bound and says why.
    held.reset(::OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(::DeleteService(held.get()));
    FakeClock();
    mark = LogMark();
    EXPECT_EQ(InstallService(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Records(mark), (R{{88, "1072"}, {90, "1072"}}));

    // Gone between the create that found it and the open that would update it: made anew.
    held.reset();
    static int creates = 0;
    Platform().CreateServiceW = [](SC_HANDLE m, LPCWSTR n, LPCWSTR d, DWORD a, DWORD t, DWORD st, DWORD e, LPCWSTR p,
                                   LPCWSTR g, LPDWORD tag, LPCWSTR dep, LPCWSTR u, LPCWSTR pw) -> SC_HANDLE {
        if (creates++ == 0) {
            ::SetLastError(ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        return ::CreateServiceW(m, n, d, a, t, st, e, p, g, tag, dep, u, pw);
    };
    mark = LogMark();
    EXPECT_EQ(InstallService(), 0u);
    EXPECT_EQ(Records(mark), (R{{88, "1060"}, {94, "0"}}));
}

TEST_F(InstallerTest, TheServiceMendsItsOwnRegistrationAtStart) {
    ASSERT_EQ(InstallService(), 0u);
    CServiceHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG));
    // As an installer that does not quote the path leaves it, without a description.
    const std::wstring exe = L"C:\\Program Files\\ZUNA Cert\\TAVL.exe";
    ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       exe.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    SERVICE_DESCRIPTIONW none = {const_cast<LPWSTR>(L"")};
    ASSERT_TRUE(::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &none));
    Platform().ChangeServiceConfig2W = RecordConfig2;
    // Windows answers a registration without failure actions with none; Wine's manager refuses the query.
    Platform().QueryServiceConfig2W = [](SC_HANDLE s, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) -> BOOL {
        if (level != SERVICE_CONFIG_FAILURE_ACTIONS) return ::QueryServiceConfig2W(s, level, buffer, size, needed);
        *needed = sizeof(SERVICE_FAILURE_ACTIONSW);
        if (size < *needed) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        *reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer) = {0, nullptr, nullptr, 0, nullptr};
        return TRUE;
    };
    CheckOwnRegistration(kServiceName, exe);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                      static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName),
              L"\"" + exe + L"\"");
    EXPECT_EQ(g_config2, kOwnConfig2);

    // An administrator's own recovery settings and description stay as they are.
    g_config2.clear();
    Platform().QueryServiceConfig2W = [](SC_HANDLE, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) -> BOOL {
        static SC_ACTION reboot = {SC_ACTION_REBOOT, 1000};
        static wchar_t mine[] = L"mine";
        *needed = 256;
        if (size < 256) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (level == SERVICE_CONFIG_DESCRIPTION) reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription = mine;
        if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
            *reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer) = {0, nullptr, nullptr, 1, &reboot};
        }
        return TRUE;
    };
    CheckOwnRegistration(kServiceName, exe);
    EXPECT_TRUE(g_config2.empty());
}
