#include "LogFile.h"

#include <sddl.h>

#include <cwchar>
#include <string>

#include "Handle.h"

namespace {

// SYSTEM and Administrators full control, Users read, nothing inherited.
const wchar_t kLogFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

enum class Removal { Gone, InUse, Failed };

// The handle is the entry at `path` itself, not something it leads to. Windows
// opens a link itself when asked to; Wine follows a host symbolic link, and
// then names the file it leads to, which must be left alone.
bool IsEntryItself(HANDLE entry, const wchar_t* path) {
    wchar_t final[MAX_PATH + 8];
    const DWORD n = ::GetFinalPathNameByHandleW(entry, final, MAX_PATH + 8, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= MAX_PATH + 8) return false;
    const wchar_t* name = std::wcsncmp(final, L"\\\\?\\", 4) == 0 ? final + 4 : final;
    return ::CompareStringOrdinal(name, -1, path, -1, TRUE) == CSTR_EQUAL;
}

// Removes the entry itself, never what it points to: the open does not follow
// links or reparse points, and the delete goes through that handle.
Removal RemoveEntry(const wchar_t* path) {
    CFileHandle entry(::CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    if (!entry) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Removal::Gone;
        return error == ERROR_SHARING_VIOLATION ? Removal::InUse : Removal::Failed;
    }
    if (!IsEntryItself(entry.get(), path)) return Removal::Failed;
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
        return Removal::Gone;
    }
    if (::GetLastError() == ERROR_SHARING_VIOLATION) return Removal::InUse;
    // A folder with something in it cannot be deleted: it is moved aside, the
    // way it is, under a name of its own beside the log.
    const std::wstring aside = std::wstring(path) + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount()) + L".moved";
    return ::MoveFileExW(path, aside.c_str(), 0) ? Removal::Gone : Removal::Failed;
}

// A plain file with exactly one name, judged by the handle that will be held.
bool IsPlainSingleLinkFile(HANDLE file, const wchar_t* path) {
    if (!IsEntryItself(file, path)) return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & notPlain) == 0 && info.nNumberOfLinks == 1;
}

HANDLE Hold(const wchar_t* path, DWORD disposition, SECURITY_ATTRIBUTES* attributes) {
    // Readers are welcome; nobody else writes, renames or deletes it.
    return ::CreateFileW(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                         attributes, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
}

}  // namespace

CFileHandle PrepareLogFile(const wchar_t* path, DWORD* error) {
    *error = ERROR_FILE_EXISTS;
    CLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};

    const std::wstring folder = std::wstring(path).substr(0, std::wstring(path).rfind(L'\\'));
    ::CreateDirectoryW(folder.c_str(), nullptr);  // there already, almost always

    // Someone may plant a new entry between the removal and the creation: a
    // few rounds, then give up rather than use what they planted.
    for (int round = 0; round < 5; ++round) {
        const Removal removal = RemoveEntry(path);
        if (removal == Removal::InUse) {
            CFileHandle existing(Hold(path, OPEN_EXISTING, nullptr));
            if (!existing || !IsPlainSingleLinkFile(existing.get(), path)) {
                *error = ERROR_SHARING_VIOLATION;
                return CFileHandle();
            }
            return existing;
        }
        if (removal == Removal::Failed) {
            *error = ERROR_CANT_ACCESS_FILE;
            return CFileHandle();
        }
        CFileHandle created(Hold(path, CREATE_NEW, &attributes));
        if (created) return created;
        *error = ::GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) return CFileHandle();
    }
    return CFileHandle();
}
