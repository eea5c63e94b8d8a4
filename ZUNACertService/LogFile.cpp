#include "LogFile.h"

#include <sddl.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Handle.h"
#include "Platform.h"

namespace {

// SYSTEM and Administrators full control, Users read, nothing inherited.
const wchar_t kLogFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

// FileDispositionInfoEx and its flags (Windows 10 1709 and later), spelled out
// so that older headers build too.
const auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD kDispositionDelete = 0x1;
const DWORD kDispositionPosixSemantics = 0x2;
const DWORD kDispositionIgnoreReadOnly = 0x10;

// The final path of what `handle` is open on, as "C:\..." or "\\server\...";
// empty with the error in *error when it cannot be had.
std::wstring FinalPath(HANDLE handle, DWORD* error) {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            *error = ::GetLastError();
            return std::wstring();
        }
        if (n < buffer.size()) break;
        buffer.resize(n + 1);
    }
    std::wstring path(buffer.data());
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

// An entry of the log's folder: its path as the program names it and the path
// it has once the folder's own links are resolved. The folder may be reached
// through a junction or a link (a profile moved to another volume); that is
// the administrator's choice. Only the last component is judged.
struct Entry {
    std::wstring path;
    std::wstring finalPath;
};

// Opens the entry itself, never what it leads to: Windows opens a link or
// junction itself when asked to. Wine follows a host symbolic link whatever
// is asked, so the handle is checked to name the entry; a handle on something
// else gives none, with ERROR_CANT_ACCESS_FILE.
CFileHandle OpenEntry(const Entry& entry, DWORD access, DWORD share, DWORD* error) {
    CFileHandle handle(Platform().CreateFileW(entry.path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        *error = ::GetLastError();
        return handle;
    }
    const std::wstring final = FinalPath(handle.get(), error);
    if (final.empty()) return CFileHandle();
    if (::CompareStringOrdinal(final.c_str(), -1, entry.finalPath.c_str(), -1, TRUE) != CSTR_EQUAL) {
        *error = ERROR_CANT_ACCESS_FILE;
        return CFileHandle();
    }
    return handle;
}

// A plain file with exactly one name: no link, junction, folder or device.
bool IsPlainSingleLinkFile(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(entry, &info)) return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & notPlain) == 0 && info.nNumberOfLinks == 1;
}

// Renames the entry through its handle, so a link is moved, never its target.
DWORD Rename(HANDLE entry, const std::wstring& target, bool replace) {
    const std::wstring name = L"\\??\\" + target;
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    if (::SetFileInformationByHandle(entry, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return 0;
    return ::GetLastError();
}

// Frees the entry's name at once, whoever else holds the entry open: a
// classic delete leaves the name taken until the last handle closes.
DWORD Remove(HANDLE entry, const std::wstring& path) {
    struct {
        DWORD flags;
    } posix = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
    if (::SetFileInformationByHandle(entry, kFileDispositionInfoEx, &posix, sizeof(posix))) return 0;
    // Older systems, file systems without it, and a folder with something in
    // it: the entry first goes to a name of its own beside the log, then is
    // deleted. A folder that cannot be deleted stays there as it is.
    static std::atomic<unsigned> sequence{0};
    const std::wstring aside = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(++sequence) +
                               L".moved";
    const DWORD error = Rename(entry, aside, false);
    if (error != 0) return error;
    FILE_DISPOSITION_INFO dispose = {TRUE};
    ::SetFileInformationByHandle(entry, FileDispositionInfo, &dispose, sizeof(dispose));
    return 0;
}

std::atomic<void (*)(const std::wstring&, DWORD)> g_reporter{nullptr};
std::atomic<bool> g_reported{false};

// What the waiting thread and the worker share; the last of them frees it.
struct Preparation {
    std::wstring path;
    CHandle finishedEvent;
    std::mutex lock;
    bool finished = false;
    bool abandoned = false;
    CFileHandle file;
    DWORD error = 0;
};

DWORD WINAPI PrepareOnWorker(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Preparation>> owner(static_cast<std::shared_ptr<Preparation>*>(parameter));
    Preparation& job = **owner;
    DWORD error = 0;
    CFileHandle file = PrepareLogFile(job.path.c_str(), &error);
    std::lock_guard<std::mutex> hold(job.lock);
    // Too late: the run went on without a log, and it stays so. The file
    // closes here.
    if (job.abandoned) return 0;
    job.file = std::move(file);
    job.error = error;
    job.finished = true;
    ::SetEvent(job.finishedEvent.get());  // should it fail, the waiter only waits its time out
    return 0;
}

// The previous run's log becomes `.old` beside it, for whoever looks into a
// failure later; an older `.old` goes. Failing that, the log is removed.
DWORD KeepAsOld(HANDLE log, const Entry& entry, const Entry& old) {
    if (Rename(log, old.path, true) == 0) return 0;
    // A folder there, or a reader holding it (replacing an open file is refused).
    DWORD error = 0;
    CFileHandle previous = OpenEntry(old, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &error);
    if (previous && Remove(previous.get(), old.path) == 0 && Rename(log, old.path, true) == 0) return 0;
    return Remove(log, entry.path);
}

}  // namespace

CFileHandle PrepareLogFile(const wchar_t* path, DWORD* error) {
    CLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};

    const std::wstring whole(path);
    const size_t slash = whole.rfind(L'\\');
    const std::wstring folder = whole.substr(0, slash);
    const std::wstring name = whole.substr(slash + 1);
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    CFileHandle folderHandle(Platform().CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folderHandle) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    const std::wstring finalFolder = FinalPath(folderHandle.get(), error);
    if (finalFolder.empty()) return CFileHandle();
    const Entry entry = {whole, finalFolder + L"\\" + name};
    const Entry old = {whole + L".old", entry.finalPath + L".old"};

    // Someone may plant a new entry between the removal and the creation: a
    // few rounds, then give up rather than use what they planted.
    for (int round = 0; round < 5; ++round) {
        CFileHandle existing = OpenEntry(entry, DELETE | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, error);
        if (existing) {
            *error = IsPlainSingleLinkFile(existing.get()) ? KeepAsOld(existing.get(), entry, old)
                                                           : Remove(existing.get(), entry.path);
            if (*error != 0) return CFileHandle();
        } else if (*error == ERROR_SHARING_VIOLATION) {
            // Held open without delete sharing: it cannot be moved, so a plain
            // file with one name is written on after what it holds.
            CFileHandle held = OpenEntry(entry, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, error);
            if (held && IsPlainSingleLinkFile(held.get())) return held;
            *error = ERROR_SHARING_VIOLATION;
            return CFileHandle();
        } else if (*error != ERROR_FILE_NOT_FOUND) {
            return CFileHandle();
        }
        // Readers are welcome; nobody else writes, renames or deletes it.
        CFileHandle created(Platform().CreateFileW(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, &attributes,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (created) return created;
        *error = ::GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) return CFileHandle();
    }
    return CFileHandle();
}

CFileHandle PrepareLogFileWithin(const wchar_t* path, DWORD milliseconds, DWORD* error) {
    const auto job = std::make_shared<Preparation>();
    job->path = path;
    job->finishedEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->finishedEvent) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    auto parameter = std::make_unique<std::shared_ptr<Preparation>>(job);
    const CHandle worker(::CreateThread(nullptr, 0, &PrepareOnWorker, parameter.get(), 0, nullptr));
    if (!worker) {
        *error = ::GetLastError();
        return CFileHandle();
    }
    parameter.release();  // the worker's now
    const DWORD waited = ::WaitForSingleObject(job->finishedEvent.get(), milliseconds);
    const DWORD waitError = waited == WAIT_FAILED ? ::GetLastError() : ERROR_TIMEOUT;
    std::lock_guard<std::mutex> hold(job->lock);
    if (!job->finished) {
        job->abandoned = true;
        *error = waitError;
        return CFileHandle();
    }
    *error = job->error;
    return std::move(job->file);
}

void SetLogUnavailableReporter(void (*reporter)(const std::wstring& path, DWORD error)) { g_reporter = reporter; }

void ReportLogUnavailable(const std::wstring& path, DWORD error) {
    const auto reporter = g_reporter.load();
    if (reporter != nullptr && !g_reported.exchange(true)) reporter(path, error);
}
