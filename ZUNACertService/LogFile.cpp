#include "LogFile.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

// What the log's handle may do: write, read back what it holds (for `.old` at
// 10 MiB) and its attributes, owner and descriptor.
const DWORD kLogAccess = GENERIC_READ | GENERIC_WRITE;

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
    if (!Platform().GetFileInformationByHandle(entry, &info)) return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & notPlain) == 0 && info.nNumberOfLinks == 1;
}

// Owned by SYSTEM or Administrators: made by the service or an administrator's
// run. A file a standard user created is theirs, and they may change it.
bool IsGuardsOwn(HANDLE entry) {
    PSID owner = nullptr;
    CLocalMemory descriptor;
    if (Platform().GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, descriptor.put()) != ERROR_SUCCESS ||
        owner == nullptr) {
        return false;
    }
    return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
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
    if (Platform().SetFileInformationByHandle(entry, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
        return 0;
    }
    return ::GetLastError();
}

// Frees the entry's name whoever else holds the entry open. With a POSIX
// delete the name stays taken (delete pending) until `entry` itself closes,
// so the caller closes it before anything uses the name again.
DWORD Remove(HANDLE entry, const std::wstring& path) {
    struct {
        DWORD flags;
    } posix = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
    if (Platform().SetFileInformationByHandle(entry, kFileDispositionInfoEx, &posix, sizeof(posix))) return 0;
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
    Platform().SetFileInformationByHandle(entry, FileDispositionInfo, &dispose, sizeof(dispose));
    return 0;
}

// Where the log lives: the path as the program names it and as it resolves.
struct Place {
    std::wstring path, finalPath;
    Entry Named(const std::wstring& suffix) const { return {path + suffix, finalPath + suffix}; }
};

bool Locate(const wchar_t* path, Place* place, DWORD* error) {
    const std::wstring whole(path);
    const size_t slash = whole.rfind(L'\\');
    const std::wstring folder = whole.substr(0, slash);
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        *error = ::GetLastError();
        return false;
    }
    CFileHandle folderHandle(Platform().CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folderHandle) {
        *error = ::GetLastError();
        return false;
    }
    const std::wstring finalFolder = FinalPath(folderHandle.get(), error);
    if (finalFolder.empty()) return false;
    *place = {whole, finalFolder + whole.substr(slash)};
    return true;
}

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};
using CFindHandle = CUniqueHandle<FindHandleTraits>;

// Earlier logs that `.old` could not take, under names of their own: the UTC
// time first, so that the names sort by age.
const size_t kKeptLogs = 3;

std::wstring KeptSuffix() {
    static std::atomic<unsigned> sequence{0};
    SYSTEMTIME t = {};
    ::GetSystemTime(&t);
    wchar_t suffix[64];
    std::swprintf(suffix, 64, L".%04u%02u%02u-%02u%02u%02u-%03u-%lu-%u.old", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds, static_cast<unsigned long>(::GetCurrentProcessId()),
                  ++sequence);
    return suffix;
}

// The suffix of a kept log's name, or empty.
std::wstring KeptSuffixOf(const std::wstring& fileName, const std::wstring& logName) {
    const std::wstring tail = L".old";
    if (fileName.size() <= logName.size() + 1 + tail.size() ||
        ::CompareStringOrdinal(fileName.c_str(), static_cast<int>(logName.size()), logName.c_str(),
                               static_cast<int>(logName.size()), TRUE) != CSTR_EQUAL ||
        fileName.compare(fileName.size() - tail.size(), tail.size(), tail) != 0) {
        return std::wstring();
    }
    const std::wstring suffix = fileName.substr(logName.size());
    const std::wstring stamp = suffix.substr(1, suffix.size() - 1 - tail.size());
    if (suffix[0] != L'.' || stamp.find_first_not_of(L"0123456789-") != std::wstring::npos) return std::wstring();
    return suffix;
}

// Keeps the newest kKeptLogs kept logs. Only the guard's own plain files
// count: what someone else planted under such a name neither pushes one out
// nor is removed.
void PruneKeptLogs(const Place& place) {
    const size_t slash = place.path.rfind(L'\\');
    const std::wstring logName = place.path.substr(slash + 1);
    std::vector<std::wstring> suffixes;
    WIN32_FIND_DATAW found = {};
    const std::wstring pattern = place.path + L".*.old";
    const CFindHandle search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search) return;  // none there, or the folder cannot be listed: nothing to prune
    do {
        const std::wstring suffix = KeptSuffixOf(found.cFileName, logName);
        if (!suffix.empty()) suffixes.push_back(suffix);
    } while (::FindNextFileW(search.get(), &found));
    std::sort(suffixes.begin(), suffixes.end());
    std::vector<std::pair<Entry, CFileHandle>> own;
    for (const std::wstring& suffix : suffixes) {
        DWORD error = 0;
        const Entry entry = place.Named(suffix);
        CFileHandle handle = OpenEntry(entry, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &error);
        if (handle && IsPlainSingleLinkFile(handle.get()) && IsGuardsOwn(handle.get())) {
            own.emplace_back(entry, std::move(handle));
        }
    }
    // Oldest first; one that cannot be removed now goes at a later run.
    for (size_t i = 0; i + kKeptLogs < own.size(); ++i) Remove(own[i].second.get(), own[i].first.path);
}

// The previous run's log becomes `.old` beside it, replacing an older one.
// Where `.old` is held open without delete sharing, or cannot be cleared, the
// log is kept under a name of its own instead: it is never deleted to make
// room.
DWORD KeepAsOld(CFileHandle log, const Place& place) {
    const Entry old = place.Named(L".old");
    if (Rename(log.get(), old.path, true) == 0) return 0;
    // Windows replaces neither a folder nor an open file: what stands there
    // goes first, and its handle closes before the name is used again.
    DWORD error = 0;
    {
        const CFileHandle previous = OpenEntry(old, DELETE | FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &error);
        if (previous) error = Remove(previous.get(), old.path);
    }
    if (error == 0 && Rename(log.get(), old.path, true) == 0) return 0;
    error = Rename(log.get(), place.Named(KeptSuffix()).path, false);
    if (error != 0) return error;
    log.reset();
    PruneKeptLogs(place);
    return 0;
}

// Creates a file of this run's own at `entry`. What stands there is removed
// without following it; with `keepPrevious` a plain file there (the previous
// run's log) is kept as `.old` instead. ERROR_SHARING_VIOLATION: something
// holds the entry open without delete sharing, and it is left as it is.
CFileHandle CreateOwnFile(const Place& place, const Entry& entry, bool keepPrevious, SECURITY_ATTRIBUTES* attributes,
                          DWORD* error) {
    // Someone may plant a new entry between the removal and the creation: a
    // few rounds, then give up rather than use what they planted.
    for (int round = 0; round < 5; ++round) {
        CFileHandle existing = OpenEntry(entry, DELETE | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, error);
        if (existing) {
            if (keepPrevious && IsPlainSingleLinkFile(existing.get())) {
                *error = KeepAsOld(std::move(existing), place);
            } else {
                *error = Remove(existing.get(), entry.path);
                existing.reset();  // a POSIX delete frees the name only now
            }
            if (*error != 0) return CFileHandle();
        } else if (*error != ERROR_FILE_NOT_FOUND) {
            return CFileHandle();
        }
        // Readers are welcome; nobody else writes, renames or deletes it.
        CFileHandle created(Platform().CreateFileW(entry.path.c_str(), kLogAccess, FILE_SHARE_READ, attributes,
                                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                                   nullptr));
        if (created) return created;
        *error = ::GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) return CFileHandle();
    }
    return CFileHandle();
}

// The log's own security descriptor, for every file that holds its records.
bool LogDescriptor(CLocalMemory* descriptor, DWORD* error) {
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1, descriptor->put(),
                                                               nullptr)) {
        return true;
    }
    *error = ::GetLastError();
    return false;
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

}  // namespace

CFileHandle PrepareLogFile(const wchar_t* path, DWORD* error) {
    CLocalMemory descriptor;
    Place place;
    if (!LogDescriptor(&descriptor, error) || !Locate(path, &place, error)) return CFileHandle();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    const Entry entry = place.Named(L"");
    CFileHandle created = CreateOwnFile(place, entry, true, &attributes, error);
    if (created || *error != ERROR_SHARING_VIOLATION) return created;
    // Held open without delete sharing: it cannot be moved, so the guard's
    // own plain file with one name is written on after what it holds.
    CFileHandle held = OpenEntry(entry, kLogAccess, FILE_SHARE_READ, error);
    if (held && IsPlainSingleLinkFile(held.get()) && IsGuardsOwn(held.get())) return held;
    *error = ERROR_SHARING_VIOLATION;
    return CFileHandle();
}

DWORD KeepCopyAsOld(HANDLE log, const wchar_t* path) {
    DWORD error = 0;
    CLocalMemory descriptor;
    Place place;
    if (!LogDescriptor(&descriptor, &error) || !Locate(path, &place, &error)) return error;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    CFileHandle copy = CreateOwnFile(place, place.Named(L".old"), false, &attributes, &error);
    const bool kept = !copy;
    if (kept) copy = CreateOwnFile(place, place.Named(KeptSuffix()), false, &attributes, &error);
    if (!copy) return error;
    std::vector<char> buffer(1024 * 1024);
    OVERLAPPED at = {};  // read from the start; the caller sets the file pointer again
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(log, buffer.data(), static_cast<DWORD>(buffer.size()), &read, &at)) {
            error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF) break;
            return error;
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!::WriteFile(copy.get(), buffer.data(), read, &written, nullptr)) return ::GetLastError();
        const ULONGLONG next = (static_cast<ULONGLONG>(at.OffsetHigh) << 32 | at.Offset) + read;
        at.Offset = static_cast<DWORD>(next);
        at.OffsetHigh = static_cast<DWORD>(next >> 32);
    }
    copy.reset();
    if (kept) PruneKeptLogs(place);
    return 0;
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
