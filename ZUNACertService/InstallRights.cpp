#include "InstallRights.h"

#include <aclapi.h>
#include <sddl.h>

#include "GuardEvents.h"
#include "Handle.h"
#include "utils.h"

const DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const DWORD kSwapChildRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

namespace {

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

void AddOther(std::wstring& others, const std::wstring& sid) {
    for (const wchar_t* t : kTrusted) {
        if (sid == t) return;
    }
    if ((L" " + others + L" ").find(L" " + sid + L" ") != std::wstring::npos) return;
    others += (others.empty() ? L"" : L" ") + sid;
}

// An object's rights and owner, or why they could not be read.
std::wstring OtherWritersOf(const std::wstring& path, DWORD rights, DWORD* error) {
    CLocalMemory descriptor;
    *error = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                                     nullptr, nullptr, descriptor.put());
    if (*error != ERROR_SUCCESS) return L"";
    return OtherWriters(descriptor.get(), rights);
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size()) return std::wstring();
    // "C:" alone would name the drive's current folder, not its root.
    return slash == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, slash);
}

}  // namespace

std::wstring OtherWriters(PSECURITY_DESCRIPTOR descriptor, DWORD rights) {
    std::wstring others;
    // An owner may rewrite the rights whatever they say now.
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    if (::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) && owner != nullptr) {
        AddOther(others, SidText(owner));
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return others.empty() ? L"?" : others;
    if (!present || dacl == nullptr) {
        AddOther(others, L"S-1-1-0");
        return others;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children, not for the object itself
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & rights) == 0) continue;
        AddOther(others, SidText(&ace->SidStart));
    }
    return others;
}

void ReportInstallFolderRights(const std::wstring& exePath, PCWSTR source) {
    const std::wstring folder = FolderOf(exePath);
    const std::wstring parent = FolderOf(folder);
    DWORD errors[3] = {};
    std::wstring others;
    for (const std::wstring& found :
         {OtherWritersOf(exePath, kChangeRights, &errors[0]), OtherWritersOf(folder, kChangeRights, &errors[1]),
          // Whoever may delete or rename the folder in its parent can put another in its place.
          parent.empty() ? std::wstring() : OtherWritersOf(parent, kSwapChildRights, &errors[2])}) {
        size_t at = 0;
        while (at < found.size()) {
            const size_t blank = found.find(L' ', at);
            AddOther(others, found.substr(at, blank == std::wstring::npos ? std::wstring::npos : blank - at));
            at = blank == std::wstring::npos ? found.size() : blank + 1;
        }
    }
    for (DWORD error : errors) {
        if (error != ERROR_SUCCESS) {
            WriteLog(__FILE__, 97, "GetNamedSecurityInfo failed w/err ", static_cast<int>(error));
            break;
        }
    }
    if (others.empty()) return;
    const std::wstring text = L"The install folder " + folder +
                              L" or TAVL.exe in it can be changed by others than SYSTEM, Administrators and "
                              L"TrustedInstaller (" + others + L"); they could run code as LocalSystem. "
                              L"Install the guard in a folder that only administrators can change.";
    WriteLog(__FILE__, 96, ToGbkSkippingUnmappable(text), 0);
    ReportGuardEvent(source, GuardEvent::InstallFolderRights, {text});
}
