#include "InstallRights.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

#include "GuardEvents.h"
#include "Handle.h"
#include "Platform.h"
#include "utils.h"

const DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const DWORD kSwapChildRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

namespace {

const wchar_t kGuardedProgramName[] = L"ZUNATAVLService.exe";
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

bool IsTrusted(const std::wstring& sid) {
    for (const wchar_t* t : kTrusted) {
        if (sid == t) return true;
    }
    return false;
}

// One principal other than the trusted ones: whether it owns the object, and
// which of the rights looked for it holds.
struct Writer {
    std::wstring sid;
    bool owner = false;
    DWORD rights = 0;
    bool noDacl = false;
};

void AddWriter(std::vector<Writer>& writers, const std::wstring& sid, bool owner, DWORD rights, bool noDacl = false) {
    if (IsTrusted(sid)) return;
    for (Writer& w : writers) {
        if (w.sid == sid) {
            w.owner |= owner;
            w.rights |= rights;
            w.noDacl |= noDacl;
            return;
        }
    }
    writers.push_back({sid, owner, rights, noDacl});
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%lx", static_cast<unsigned long>(value));
    return text;
}

// An object's rights and owner, or why they could not be read.
std::wstring OtherWritersOf(const std::wstring& path, DWORD rights, DWORD* error) {
    CLocalMemory descriptor;
    *error = Platform().GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, nullptr,
                                              nullptr, nullptr, nullptr, descriptor.put());
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
    std::vector<Writer> writers;
    // An owner may rewrite the rights whatever they say now.
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    if (::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) && owner != nullptr) {
        AddWriter(writers, SidText(owner), true, 0);
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        AddWriter(writers, L"?", false, 0);
    } else if (!present || dacl == nullptr) {
        AddWriter(writers, L"S-1-1-0", false, 0, true);
    } else {
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACE_HEADER* header = nullptr;
            if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
                continue;
            }
            if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children, not for the object itself
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            if ((ace->Mask & rights) == 0) continue;
            AddWriter(writers, SidText(&ace->SidStart), false, ace->Mask & rights);
        }
    }
    std::wstring text;
    for (const Writer& w : writers) {
        text += (text.empty() ? L"" : L", ") + w.sid;
        if (w.owner) text += L" owner";
        if (w.noDacl) text += L" no DACL";
        if (w.rights != 0) text += L" " + Hex(w.rights);
    }
    return text;
}

void ReportInstallFolderRights(const std::wstring& exePath, PCWSTR source) {
    const std::wstring folder = FolderOf(exePath);
    const std::wstring parent = FolderOf(folder);
    struct Checked {
        std::wstring name, path;
        DWORD rights;
    };
    const Checked checked[] = {
        {exePath.substr(folder.size() + (folder.size() < exePath.size() ? 1 : 0)), exePath, kChangeRights},
        // The guard starts it with the console user's token, an administrator's too.
        {kGuardedProgramName, folder + L"\\" + kGuardedProgramName, kChangeRights},
        {L"the folder", folder, kChangeRights},
        // Whoever may delete or rename the folder in its parent can put another in its place.
        {L"its parent", parent, kSwapChildRights},
    };
    std::wstring others;
    DWORD failed = ERROR_SUCCESS;
    for (const Checked& c : checked) {
        if (c.path.empty()) continue;
        DWORD error = ERROR_SUCCESS;
        const std::wstring found = OtherWritersOf(c.path, c.rights, &error);
        // A program not there yet is no right of anyone's; the folder's rights cover its arrival.
        const bool absent = &c == &checked[1] && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
        if (error != ERROR_SUCCESS && !absent && failed == ERROR_SUCCESS) failed = error;
        if (!found.empty()) others += (others.empty() ? L"" : L"; ") + c.name + L": " + found;
    }
    if (failed != ERROR_SUCCESS) {
        WriteLog(__FILE__, 97, "GetNamedSecurityInfo failed w/err ", static_cast<int>(failed));
    }
    if (others.empty()) return;
    const std::wstring text = L"The install folder " + folder +
                              L", TAVL.exe or ZUNATAVLService.exe in it can be changed by others than SYSTEM, "
                              L"Administrators and TrustedInstaller (" + others + L"); they could run code as "
                              L"LocalSystem. Install the guard in a folder that only administrators can change.";
    WriteLog(__FILE__, 96, ToGbkSkippingUnmappable(text), 0);
    ReportGuardEvent(source, GuardEvent::InstallFolderRights, {text});
}
