// The entry point in this process, where the platform table can fail the
// guard's construction.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "InstallRights.h"
#include "Main.h"
#include "TestSupport.h"

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

    // The process keeps the single-instance mutex: a second start is refused.
    EXPECT_EQ(GuardMain(1, argv), 0);
    EXPECT_EQ(RecordsAt("ZUNACertService.cpp", 62).size(), 1u);
}

TEST(InstallRights, NamesOnlyOthersWhoMayChangeIt) {
    const std::wstring ti = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const std::pair<std::wstring, std::wstring> cases[] = {
        // Program Files as shipped: users and packages read and run, the rest is trusted.
        {L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + ti + L")(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;AC)",
         L""},
        // A folder under a drive root: authenticated users modify, users add files.
        {L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1301bf;;;AU)(A;;0x2;;;BU)", L"S-1-5-11 S-1-5-32-545"},
        {L"D:(A;;0x4;;;BU)(A;;0x40;;;WD)(A;;WD;;;S-1-5-21-1-2-3-1001)(A;;WO;;;IU)(A;;SD;;;BU)",
         L"S-1-5-32-545 S-1-1-0 S-1-5-21-1-2-3-1001 S-1-5-4"},
        // Rights for children only do not count for the object; generic write does.
        {L"D:(A;OICIIO;FA;;;BU)(A;;GW;;;IU)(A;;GA;;;AU)", L"S-1-5-4 S-1-5-11"},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.first.c_str(), SDDL_REVISION_1, &sd,
                                                                           nullptr))
            << ::GetLastError();
        EXPECT_EQ(OtherWriters(sd), c.second) << c.first;
        ::LocalFree(sd);
    }
    // No DACL at all grants everyone everything (Wine's SDDL parser makes an empty one of "NO_ACCESS_CONTROL").
    SECURITY_DESCRIPTOR open;
    ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    EXPECT_EQ(OtherWriters(&open), L"S-1-1-0");
}

TEST(InstallRights, AFolderOthersMayChangeIsReportedOnceInEachPlace) {
    PlatformScope platform;
    std::vector<EventEntry> entries;
    RecordEventLog(&entries);
    ReportInstallFolderRights(TestDir() + L"\\main_tests.exe");
    // Wine describes every file and folder as its user's, full control.
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entries[0].source, L"ZUNATAVLGuardService");
    EXPECT_EQ(entries[0].text.find(L"The install folder " + TestDir() + L" or TAVL.exe"), 0u) << entries[0].text;
    EXPECT_EQ(RecordsAt("InstallRights.cpp", 96).size(), 1u);
}
