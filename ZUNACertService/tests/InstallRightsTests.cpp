// Who may change the guard's files, from descriptors given through the
// platform table: Wine describes every file and folder as its user's.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <map>
#include <tuple>

#include "InstallRights.h"
#include "TestSupport.h"
#include "utils.h"

namespace {

PSECURITY_DESCRIPTOR FromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        << ::GetLastError() << " " << std::string(sddl.begin(), sddl.end());
    return sd;
}

// Each path's descriptor as SDDL, or "!" and the error its read fails with;
// a path not named is not there.
std::map<std::wstring, std::wstring> g_sddl;
DWORD WINAPI FakeSecurityInfo(LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID*, PSID*, PACL*,
                              PACL*, PSECURITY_DESCRIPTOR* sd) {
    EXPECT_EQ(type, SE_FILE_OBJECT);
    EXPECT_EQ(info, static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION));
    const auto it = g_sddl.find(path);
    if (it == g_sddl.end()) return ERROR_FILE_NOT_FOUND;
    if (it->second[0] == L'!') return std::stoul(it->second.substr(1));
    *sd = FromSddl(it->second);
    return ERROR_SUCCESS;
}

}  // namespace

TEST(InstallRights, NamesOnlyOthersWhoMayChangeItWithTheirRights) {
    const std::wstring ti = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const std::tuple<std::wstring, DWORD, std::wstring> cases[] = {
        // Program Files as shipped: users and packages read and run, the rest is trusted.
        {L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + ti + L")(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;AC)",
         kChangeRights, L""},
        // A folder under a drive root: authenticated users modify, users add files.
        {L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1301bf;;;AU)(A;;0x2;;;BU)", kChangeRights,
         L"S-1-5-11 0x10006, S-1-5-32-545 0x2"},
        {L"D:(A;;0x4;;;BU)(A;;0x40;;;WD)(A;;WD;;;S-1-5-21-1-2-3-1001)(A;;WO;;;IU)(A;;SD;;;BU)", kChangeRights,
         L"S-1-5-32-545 0x10004, S-1-1-0 0x40, S-1-5-21-1-2-3-1001 0x40000, S-1-5-4 0x80000"},
        // Rights for children only do not count for the object; generic write does.
        {L"D:(A;OICIIO;FA;;;BU)(A;;GW;;;IU)(A;;GA;;;AU)", kChangeRights, L"S-1-5-4 0x40000000, S-1-5-11 0x10000000"},
        // An owner may rewrite the rights; in the parent only deleting or renaming
        // children (or taking the rights over) lets someone swap the folder.
        {L"O:BUD:P(A;;FA;;;SY)", kSwapChildRights, L"S-1-5-32-545 owner"},
        {L"O:SYD:(A;;0x40;;;AU)(A;;0x6;;;BU)(A;;WD;;;IU)", kSwapChildRights, L"S-1-5-11 0x40, S-1-5-4 0x40000"},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR sd = FromSddl(std::get<0>(c));
        ASSERT_NE(sd, nullptr);
        EXPECT_EQ(OtherWriters(sd, std::get<1>(c)), std::get<2>(c)) << std::get<0>(c);
        ::LocalFree(sd);
    }
    // No DACL at all grants everyone everything (Wine's SDDL parser makes an empty one of "NO_ACCESS_CONTROL").
    SECURITY_DESCRIPTOR open;
    ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    EXPECT_EQ(OtherWriters(&open), L"S-1-1-0 no DACL");
}

TEST(InstallRights, EachOfTheFourIsReportedWithWhoMayChangeIt) {
    PlatformScope platform;
    Platform().GetNamedSecurityInfoW = FakeSecurityInfo;
    std::vector<EventEntry> entries;
    RecordEventLog(&entries);
    const std::wstring folder = L"C:\\Program Files\\ZUNA Cert", guard = folder + L"\\TAVL.exe",
                       program = folder + L"\\ZUNATAVLService.exe", parent = L"C:\\Program Files";
    // As shipped; users may add files to the parent, which swaps no folder.
    const std::wstring shipped = L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
    g_sddl = {{guard, shipped}, {program, shipped}, {folder, shipped}, {parent, shipped + L"(A;;0x6;;;BU)"}};
    WriteLog(__FILE__, 1, "rights checks begin", 0);  // the log is this run's before records are counted
    const size_t records = RecordsAt("InstallRights.cpp", 96).size(), failures = RecordsAt("InstallRights.cpp", 97).size();
    ReportInstallFolderRights(guard, L"ZUNATAVLGuardService");
    EXPECT_TRUE(entries.empty());

    g_sddl[guard] = L"O:SYD:(A;;0x2;;;BU)";
    g_sddl[program] = L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)";
    g_sddl[folder] = L"O:BAD:(A;;0x1301bf;;;AU)";
    g_sddl[parent] += L"(A;;0x40;;;IU)";
    ReportInstallFolderRights(guard, L"ZUNATAVLGuardService");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, L"ZUNATAVLGuardService");
    const std::wstring text =
        L"The install folder C:\\Program Files\\ZUNA Cert, TAVL.exe or ZUNATAVLService.exe in it can be changed by "
        L"others than SYSTEM, Administrators and TrustedInstaller (TAVL.exe: S-1-5-32-545 0x2; ZUNATAVLService.exe: "
        L"S-1-5-21-1-2-3-1001 owner; the folder: S-1-5-11 0x10006; its parent: S-1-5-4 0x40); they could run code "
        L"as LocalSystem. Install the guard in a folder that only administrators can change.";
    EXPECT_EQ(OnlyEntry(entries, GuardEvent::InstallFolderRights), L"ZUNATAVLGuardService: " + text);
    const std::vector<LogRecord> found = RecordsAt("InstallRights.cpp", 96);
    ASSERT_EQ(found.size(), records + 1);
    EXPECT_EQ(found.back().message, std::string(text.begin(), text.end()));

    // The program alone changeable, then not there yet: that is no failure to read.
    g_sddl[guard] = g_sddl[folder] = shipped;
    g_sddl[parent] = shipped;
    entries.clear();
    ReportInstallFolderRights(guard, L"ZUNATAVLGuardService");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].strings[1].find(L"(ZUNATAVLService.exe: S-1-5-21-1-2-3-1001 owner)"), std::wstring::npos)
        << entries[0].strings[1];
    g_sddl.erase(program);
    g_sddl[folder] = L"!5";
    entries.clear();
    ReportInstallFolderRights(guard, L"ZUNATAVLGuardService");
    EXPECT_TRUE(entries.empty());
    const std::vector<LogRecord> failed = RecordsAt("InstallRights.cpp", 97);
    ASSERT_EQ(failed.size(), failures + 1) << "only the folder's read failed";
    EXPECT_EQ(failed.back().value, "5");
}
