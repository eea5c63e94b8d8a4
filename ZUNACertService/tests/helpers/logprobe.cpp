// Writes log records the way the guard does, for tests that need a process of
// its own: "before <text>" logs without InitLog, "write <text>" with it, and
// "slow <text>" with it while the log's first open waits until the first
// record is written; then, once that open's thread has ended, it prints
// whether anything holds the log. It prints what the log's reporter hears.
// Options after the text make the log's preparation meet what Windows does
// and Wine cannot, or wait:
//   windows   POSIX deletes and renames as on Windows 10 1709 and later
//   link      the entry at the log path is a symbolic link or junction
//   admins    every file is owned by Administrators
//   user      every file is owned by a standard user
//   unowned   no file's owner can be read
//   big <n>   a record of <n> bytes follows the first one
//   wait <ms> the log's first open waits <ms> ms
#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Handle.h"
#include "LogFile.h"
#include "Platform.h"
#include "../TestSupport.h"
#include "utils.h"

namespace {

void PrintUnavailable(const std::wstring& path, DWORD error) {
    std::printf("log unavailable: %ls %lu\n", path.c_str(), static_cast<unsigned long>(error));
}

// The log's first open waits this long, or until the first record is written.
DWORD g_openWait = INFINITE;
const CHandle g_firstRecord(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
std::atomic<HANDLE> g_waiter{nullptr};  // the thread of that open

HANDLE WINAPI SlowCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                             DWORD disposition, DWORD flags, HANDLE model) {
    static std::atomic<bool> first{true};
    if (first.exchange(false)) {
        g_waiter = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId());
        ::WaitForSingleObject(g_firstRecord.get(), g_openWait);
    }
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

// Windows: a POSIX delete takes the link out of the namespace only when the
// handle that set it closes; until then the name is taken, and an open, a
// create or a rename onto it fails with 5 (delete pending). Replacing a file
// someone has open is refused with 5 too. Here the entry goes to a name aside
// at once, and the model keeps its old name taken while that handle lives.
struct Pending {
    std::wstring name;
    HANDLE handle;
    BY_HANDLE_FILE_INFORMATION identity;
};
std::mutex g_lock;
std::vector<Pending> g_pending;

bool SameFile(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& identity) {
    BY_HANDLE_FILE_INFORMATION now = {};
    return ::GetFileInformationByHandle(handle, &now) && now.dwVolumeSerialNumber == identity.dwVolumeSerialNumber &&
           now.nFileIndexHigh == identity.nFileIndexHigh && now.nFileIndexLow == identity.nFileIndexLow;
}

std::wstring Plain(std::wstring name) {
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (name.compare(0, 4, prefix) == 0) name.erase(0, 4);
    }
    return name;
}

bool Taken(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(g_lock);
    bool taken = false;
    for (auto it = g_pending.begin(); it != g_pending.end();) {
        if (!SameFile(it->handle, it->identity)) {
            it = g_pending.erase(it);  // that handle has closed
            continue;
        }
        taken = taken || ::CompareStringOrdinal(it->name.c_str(), -1, Plain(name).c_str(), -1, TRUE) == CSTR_EQUAL;
        ++it;
    }
    return taken;
}

bool IsEmptyFolder(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do {
        empty = empty && (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return empty;
}

HANDLE WINAPI WindowsCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                DWORD disposition, DWORD flags, HANDLE model) {
    if (Taken(name)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

BOOL WINAPI WindowsSetFileInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind == FileRenameInfo) {
        const auto* rename = static_cast<FILE_RENAME_INFO*>(info);
        const std::wstring target = Plain(std::wstring(rename->FileName, rename->FileNameLength / sizeof(wchar_t)));
        bool open = false;
        {
            const CFileHandle alone(::CreateFileW(target.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            open = !alone && ::GetLastError() == ERROR_SHARING_VIOLATION;
        }
        if (Taken(target) || (rename->ReplaceIfExists && open)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (static_cast<int>(kind) != 21 || (*static_cast<DWORD*>(info) & 0x2) == 0) {
        return ::SetFileInformationByHandle(file, kind, info, size);
    }
    wchar_t path[MAX_PATH + 8];
    Pending pending = {};
    if (!::GetFinalPathNameByHandleW(file, path, MAX_PATH + 8, 0) ||
        !::GetFileInformationByHandle(file, &pending.identity)) {
        return FALSE;
    }
    pending.name = Plain(path);
    pending.handle = file;
    if ((pending.identity.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsEmptyFolder(pending.name)) {
        ::SetLastError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    static std::atomic<unsigned> sequence{0};
    const std::wstring aside = L"\\??\\" + pending.name + L".posix-" + std::to_wstring(++sequence);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + aside.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, aside.c_str(), (aside.size() + 1) * sizeof(wchar_t));
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (!::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) ||
        !::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof(dispose))) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_pending.push_back(pending);
    return TRUE;
}

// The entry planted at the log path, seen as the link or junction it stands for.
BY_HANDLE_FILE_INFORMATION g_link = {};

BOOL WINAPI LinkAwareFileInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (!::GetFileInformationByHandle(file, info)) return FALSE;
    if (info->nFileIndexLow == g_link.nFileIndexLow && info->nFileIndexHigh == g_link.nFileIndexHigh &&
        info->dwVolumeSerialNumber == g_link.dwVolumeSerialNumber) {
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return TRUE;
}

const wchar_t* g_ownerSddl = nullptr;

DWORD WINAPI MadeOwner(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
                       PSECURITY_DESCRIPTOR* descriptor) {
    BOOL defaulted = FALSE;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(g_ownerSddl, SDDL_REVISION_1, descriptor, nullptr) ||
        !::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
    if (argc < 3) return 2;
    const std::wstring wmode = wargv[1], wtext = wargv[2];
    const std::string mode(wmode.begin(), wmode.end());
    const std::string text(wtext.begin(), wtext.end());
    size_t big = 0;
    for (int i = 3; i < argc; ++i) {
        const std::wstring option = wargv[i];
        if (option == L"windows") {
            Platform().CreateFileW = WindowsCreateFile;
            Platform().SetFileInformationByHandle = WindowsSetFileInformation;
        } else if (option == L"link") {
            const CFileHandle link(::CreateFileW(kLogFilePath, FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            if (!link || !::GetFileInformationByHandle(link.get(), &g_link)) return 3;
            Platform().GetFileInformationByHandle = LinkAwareFileInformation;
        } else if (option == L"admins" || option == L"user") {
            g_ownerSddl = option == L"admins" ? L"O:BA" : L"O:S-1-5-21-1-2-3-1001";
            Platform().GetSecurityInfo = MadeOwner;
        } else if (option == L"unowned") {
            // Windows refuses the owner to a handle without READ_CONTROL; Wine always answers.
            Platform().GetSecurityInfo = [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                            PSECURITY_DESCRIPTOR*) -> DWORD { return ERROR_ACCESS_DENIED; };
        } else if (option == L"big" && i + 1 < argc) {
            big = static_cast<size_t>(std::wcstoul(wargv[++i], nullptr, 10));
        } else if (option == L"wait" && i + 1 < argc) {
            g_openWait = std::wcstoul(wargv[++i], nullptr, 10);
            Platform().CreateFileW = SlowCreateFile;
        }
    }
    SetLogUnavailableReporter(&PrintUnavailable);
    if (mode == "slow") Platform().CreateFileW = SlowCreateFile;
    if (mode != "before") InitLog();
    {
        const CWatchdog watchdog(10, "the first record, behind the log's first open");
        WriteLog("logprobe", 1, text, 0);
    }
    ::SetEvent(g_firstRecord.get());
    const CHandle waiter(g_waiter.exchange(nullptr));
    if (big > 0) WriteLog("logprobe", 3, std::string(big, 'b'), 0);
    if (mode == "slow") {
        const CWatchdog watchdog(10, "the log's late first open");
        if (!waiter || ::WaitForSingleObject(waiter.get(), INFINITE) != WAIT_OBJECT_0) return 4;
        // Whatever the late worker opened is closed: nothing holds the name.
        const CFileHandle log(::CreateFileW(kLogFilePath, DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        std::printf("log open: %lu.\n", log ? 0ul : static_cast<unsigned long>(::GetLastError()));
    }
    WriteLog("logprobe", 2, text, 0);
    return 0;
}
