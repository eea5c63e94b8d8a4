#include "InstallRights.h"

#include <aclapi.h>
#include <sddl.h>

#include "CZUNACertService.h"
#include "Handle.h"
#include "ServiceBase.h"
#include "utils.h"

namespace {

const DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

const wchar_t* const kTrusted[] = {
    L"S-1-5-18",      // SYSTEM
    L"S-1-5-32-544",  // Administrators
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
    L"S-1-3-0",       // CREATOR OWNER
};

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    const CLocalMemory owner(text);
    return text;
}

// A folder's or the program's rights, or why they could not be read.
std::wstring OtherWritersOf(const std::wstring& path, DWORD* error) {
    CLocalMemory descriptor;
    *error = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     nullptr, nullptr, descriptor.put());
    if (*error != ERROR_SUCCESS) return L"";
    return OtherWriters(descriptor.get());
}

}  // namespace

std::wstring OtherWriters(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return L"?";
    if (!present || dacl == nullptr) return L"S-1-1-0";
    std::wstring others;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children, not for the object itself
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & kChangeRights) == 0) continue;
        const std::wstring sid = SidText(&ace->SidStart);
        bool trusted = false;
        for (const wchar_t* t : kTrusted) trusted = trusted || sid == t;
        if (trusted || (L" " + others + L" ").find(L" " + sid + L" ") != std::wstring::npos) continue;
        others += (others.empty() ? L"" : L" ") + sid;
    }
    return others;
}

void ReportInstallFolderRights(const std::wstring& exePath) {
    const std::wstring folder = exePath.substr(0, exePath.rfind(L'\\'));
    DWORD programError = 0, folderError = 0;
    std::wstring others = OtherWritersOf(exePath, &programError);
    const std::wstring folderOthers = OtherWritersOf(folder, &folderError);
    if (programError != ERROR_SUCCESS || folderError != ERROR_SUCCESS) {
        WriteLog(__FILE__, 97, "GetNamedSecurityInfo failed w/err ",
                 static_cast<int>(programError != ERROR_SUCCESS ? programError : folderError));
    }
    if (!folderOthers.empty()) others += (others.empty() ? L"" : L" ") + folderOthers;
    if (others.empty()) return;
    const std::wstring text = L"The install folder " + folder +
                              L" or TAVL.exe in it can be changed by others than SYSTEM, Administrators and "
                              L"TrustedInstaller (" + others + L"); they could run code as LocalSystem. "
                              L"Install the guard in a folder that only administrators can change.";
    WriteLog(__FILE__, 96, ToGbkSkippingUnmappable(text), 0);
    ReportEventText(kServiceName, text.c_str(), EVENTLOG_ERROR_TYPE);
}
