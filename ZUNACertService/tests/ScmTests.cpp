// CServiceBase under Wine's real service control manager: a start that fails.
// A start that succeeds, and the controls accepted, are the end-to-end test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "TestSupport.h"

namespace {

const wchar_t kProbeName[] = L"ZunaBaseProbe";

class ScmTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << ::GetLastError();
        Delete();
    }
    void TearDown() override { Delete(); }

    void Delete() {
        CServiceHandle old(::OpenServiceW(manager.get(), kProbeName, SERVICE_ALL_ACCESS));
        if (!old) return;
        SERVICE_STATUS s;
        ::ControlService(old.get(), SERVICE_CONTROL_STOP, &s);
        WaitForState(old.get(), SERVICE_STOPPED);
        ::DeleteService(old.get());
        old.reset();
        // The name stays taken until the service's process has ended.
        CWatchdog dog(20, "the deleted probe service's name to be free");
        while (CServiceHandle(::OpenServiceW(manager.get(), kProbeName, SERVICE_QUERY_STATUS))) ::Sleep(50);
    }

    CServiceHandle Create() {
        const std::wstring path = L"\"" + TestDir() + L"\\testservice.exe\"";
        return CServiceHandle(::CreateServiceW(manager.get(), kProbeName, kProbeName, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                               SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                               nullptr, nullptr));
    }

    // A service that never gets there ends the program, naming the state it waited for.
    static SERVICE_STATUS WaitForState(SC_HANDLE service, DWORD state) {
        CWatchdog dog(20, "the probe service reaching state " + std::to_string(state));
        SERVICE_STATUS s = {};
        while (!::QueryServiceStatus(service, &s) || s.dwCurrentState != state) ::Sleep(50);
        return s;
    }

    CServiceHandle manager;
};

}  // namespace

TEST_F(ScmTest, FailedStartsNeverTouchTheServiceObjectAfterStopped) {
    const std::wstring result = TestDir() + L"\\testservice.result";
    ::DeleteFileW(result.c_str());
    CServiceHandle service = Create();
    ASSERT_TRUE(service) << ::GetLastError();
    std::string expected;
    for (int run = 0; run < 8; ++run) {
        CWatchdog dog(20, "start " + std::to_string(run) + " of the failing probe service and its verdict");
        // The last process may still be on its way out after its verdict.
        while (!::StartServiceW(service.get(), 0, nullptr)) ::Sleep(50);
        EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED).dwWin32ExitCode, 5u) << "the code OnStart threw";
        expected += "clean\n";
        const auto lines = std::count(expected.begin(), expected.end(), '\n');
        for (std::string got; std::count(got.begin(), got.end(), '\n') < lines; ::Sleep(50)) got = ReadFileBytes(result);
    }
    std::string got = ReadFileBytes(result);
    got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
    EXPECT_EQ(got, expected);
}
