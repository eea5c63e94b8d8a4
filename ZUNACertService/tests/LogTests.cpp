// The diagnostic log, written in this process through the real file sink.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <thread>

#include "TestSupport.h"
#include "CZUNACertService.h"
#include "LogFile.h"
#include "utils.h"

namespace {

LogRecord LastRecordWith(const std::string& marker) {
    LogRecord found;
    for (const LogRecord& r : ParseLog(ReadLogFile())) {
        if (r.raw.find(marker) != std::string::npos) found = r;
    }
    return found;
}

}  // namespace

// One record each: what WriteLog is given, and the record after its stamp and
// thread (42 bytes). Messages are never formatted, a value is signed decimal,
// a line feed is written as CRLF (as in text mode) and one more line end closes
// the record, bytes go as given, and the source is named below the program
// folder whichever compiler built it.
struct LayoutCase {
    const char* name;
    std::string file, message;
    int line, value;
    std::string tail;
};

const LayoutCase kLayout[] = {
    {"NeverFormatted", "ServiceInstaller", "fmt-marker 0x%08lx %s %d", 59, -1,
     "ServiceInstaller [ 59 ]  : fmt-marker 0x%08lx %s %d [ -1 ] \r\n"},
    {"TopBitIsSigned", "x", "topbit-marker", 1, static_cast<int>(0x80070005u),
     "x [ 1 ]  : topbit-marker [ -2147024891 ] \r\n"},
    {"LineEnds", "nl-marker", "\n%s is stopped.\n", 164, 0, "nl-marker [ 164 ]  : \r\n%s is stopped.\r\n [ 0 ] \r\n"},
    {"MsvcPath", "C:\\b\\src\\ZUNACertService\\core\\Http.cpp", "msvc-marker", 150, 0,
     "core/Http.cpp [ 150 ]  : msvc-marker [ 0 ] \r\n"},
    {"GccPath", "/x/ZUNACertService/ServiceBase.cpp", "gcc-marker", 99, 0,
     "ServiceBase.cpp [ 99 ]  : gcc-marker [ 0 ] \r\n"},
    {"BareName", "ZUNACertService.cpp", "bare-marker", 67, 0, "ZUNACertService.cpp [ 67 ]  : bare-marker [ 0 ] \r\n"},
    {"Gbk", "gbk-marker", "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC", 67, 0,  // 服务运行失败
     "gbk-marker [ 67 ]  : \xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC [ 0 ] \r\n"},
    {"ZeroByte", "zero-marker", std::string("zero\0byte", 9), 1, 0,
     std::string("zero-marker [ 1 ]  : zero\0byte [ 0 ] \r\n", 39)},
};

class LogLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LogLayout, RecordHasTheFixedShape) {
    const LayoutCase& c = GetParam();
    WriteLog(c.file, c.line, c.message, c.value);
    const LogRecord r = LastRecordWith(c.tail);
    ASSERT_GT(r.raw.size(), 42u) << "no record ends in " << c.tail;
    EXPECT_EQ(r.raw.substr(42), c.tail);
    // The writing thread, and a stamp in local time to the microsecond.
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char expected[32];
    std::snprintf(expected, sizeof(expected), "0x%08lx %04d-%02d-%02d", ::GetCurrentThreadId(), now.wYear, now.wMonth,
                  now.wDay);
    EXPECT_EQ(r.threadId + " " + r.timestamp.substr(0, 10), expected);
    EXPECT_EQ(r.timestamp.size(), 26u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogLayout, ::testing::ValuesIn(kLayout),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// Record 304 names the program in the ANSI code page. UTF-8 (the beta option
// of Chinese Windows) and GB18030 refuse WC_NO_BEST_FIT_CHARS with
// ERROR_INVALID_FLAGS on Windows, and hold every character anyway; elsewhere a
// character the code page cannot hold becomes '?', never a look-alike. Wine
// has no GB18030 table, so 54936 is not shown here.
struct AnsiCase {
    UINT codePage;
    std::string path;
};

class LogAnsiPath : public ::testing::TestWithParam<AnsiCase> {};

TEST_P(LogAnsiPath, PathRecordIsNeverEmpty) {
    PlatformScope platform;
    static UINT codePage;
    codePage = GetParam().codePage;
    Platform().GetACP = []() -> UINT { return codePage; };
    // As on Windows; Wine converts whatever the flags.
    Platform().WideCharToMultiByte = [](UINT page, DWORD flags, LPCWCH text, int length, LPSTR out, int size,
                                        LPCCH substitute, LPBOOL used) -> int {
        if ((page == CP_UTF8 || page == 54936) && (flags & ~WC_ERR_INVALID_CHARS) != 0) {
            ::SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        return ::WideCharToMultiByte(page, flags, text, length, out, size, substitute, used);
    };
    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const std::wstring path = L"C:\\Zuna \u0100\U0001F600\\TAVL.exe";
        if (size <= path.size()) return 0;
        std::wmemcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    };
    { CZUNACertService service(L"AnsiTest"); }
    const std::vector<LogRecord> path = RecordsAt("CZUNACertService.cpp", 304);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back().message, GetParam().path + "\\ZUNATAVLService.exe");
}

INSTANTIATE_TEST_SUITE_P(CodePages, LogAnsiPath,
                         ::testing::Values(AnsiCase{65001, "C:\\Zuna \xC4\x80\xF0\x9F\x98\x80"},
                                           AnsiCase{1252, "C:\\Zuna ???"}));

TEST(LogConcurrency, RecordsFromThreadsNeverInterleave) {
    const int kThreads = 4;
    const int kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(200, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i) WriteLog("mt-marker", t, payload, i);
        });
    }
    for (auto& t : threads) t.join();

    int seen[kThreads] = {};
    for (const LogRecord& r : ParseLog(ReadLogFile())) {
        if (r.source != "mt-marker") continue;
        ASSERT_GE(r.line, 0);
        ASSERT_LT(r.line, kThreads);
        ASSERT_EQ(r.message, std::string(200, static_cast<char>('a' + r.line))) << r.raw;
        EXPECT_EQ(std::atoi(r.value.c_str()), seen[r.line]) << "records of one thread keep their order";
        ++seen[r.line];
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], kEach);
}

// What the log's preparation hands CreateFileW when it creates a file; before
// each of the first g_replants creations someone plants a file at the name.
struct Created {
    std::wstring path, sddl;
    DWORD share;
};
std::vector<Created> g_created;
int g_replants = 0;

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                  DWORD disposition, DWORD flags, HANDLE model) {
    if (disposition == CREATE_NEW) {
        LPWSTR text = nullptr;
        Created c = {name, L"(none)", share};
        if (attributes != nullptr && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                         attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                         DACL_SECURITY_INFORMATION, &text, nullptr)) {
            c.sddl = text;
            ::LocalFree(text);
        }
        g_created.push_back(c);
        if (g_replants > 0) {
            --g_replants;
            WriteTextFile(name, "planted");
        }
    }
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

// Wine keeps no descriptor for files and answers with one made up from the
// Unix mode, so what is handed over at creation is checked: SYSTEM and
// Administrators full control, Users read, nothing inherited; others may only
// read, for the log and for its `.old` alike.
TEST(LogFileOwnership, FilesAreCreatedWithTheLogsDescriptor) {
    PlatformScope platform;
    Platform().CreateFileW = RecordingCreateFile;
    g_created.clear();
    const std::wstring path = TestDir() + L"\\own.log";
    DWORD error = 0;
    CFileHandle file = PrepareLogFile(path.c_str(), &error);
    ASSERT_TRUE(file) << error;
    ASSERT_EQ(KeepCopyAsOld(file.get(), path.c_str()), 0u);
    file.reset();
    ASSERT_EQ(g_created.size(), 2u);
    for (const Created& c : g_created) {
        EXPECT_EQ(c.sddl, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)") << c.path;
        EXPECT_EQ(c.share, static_cast<DWORD>(FILE_SHARE_READ)) << c.path;
    }
    EXPECT_EQ(g_created[1].path, path + L".old");
    ::DeleteFileW(path.c_str());
    ::DeleteFileW((path + L".old").c_str());
}

// Someone may plant an entry again between each removal and the creation: four
// times still leave the run its log, a fifth leaves it none rather than one in
// what they planted.
TEST(LogFileOwnership, ReplantedEntryIsRetriedFiveRounds) {
    PlatformScope platform;
    Platform().CreateFileW = RecordingCreateFile;
    const std::wstring path = TestDir() + L"\\replanted.log";
    for (const int replants : {4, 5}) {
        g_replants = replants;
        DWORD error = 0;
        EXPECT_EQ(static_cast<bool>(PrepareLogFile(path.c_str(), &error)), replants == 4) << replants << ", " << error;
    }
    ::DeleteFileW(path.c_str());
    ::DeleteFileW((path + L".old").c_str());
}

// Runs last: it fills the file. At 10 MiB what the log holds becomes .old and
// the log starts again, its count of bytes with it.
TEST(LogRotation, TenMebibytesBecomeTheOldLog) {
    // Half of it line feeds, each written as CRLF: the limit counts bytes.
    std::string chunk;
    for (int i = 0; i < 256 * 1024; ++i) chunk += "r\n";
    const std::wstring old = std::wstring(kLogFilePath) + L".old";
    int rotatedAt = -1;
    for (int i = 0; i < 60 && rotatedAt < 0; ++i) {
        const size_t before = ReadLogFile().size();
        WriteLog("rotation", i, "rot-" + std::to_string(i) + "-" + chunk, 0);
        if (ReadLogFile().size() < before) rotatedAt = i;
    }
    ASSERT_GT(rotatedAt, 0);
    WriteLog("rotation", 99, "after-rotation-marker", 0);
    // Records before the limit are in .old, in full, and the log never grew
    // past it; the one that would have passed it opens the new log, and the
    // next follows it there.
    const std::string kept = ReadFileBytes(old);
    const std::vector<LogRecord> before = ParseLog(kept);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back().line, rotatedAt - 1);
    EXPECT_LT(kept.size(), 10u * 1024 * 1024);
    const std::vector<LogRecord> records = ParseLog(ReadLogFile());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_GE(kept.size() + records[0].raw.size(), 10u * 1024 * 1024) << "nothing before the limit is lost";
    EXPECT_EQ(records[0].line, rotatedAt);
    EXPECT_EQ(records[1].message, "after-rotation-marker");
}

// A write that fails part-way (a full disk) leaves half its bytes in the file.
int g_failedWrites = 0;
BOOL WINAPI PartWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED at) {
    if (g_failedWrites == 0) return ::WriteFile(file, data, size, written, at);
    --g_failedWrites;
    ::WriteFile(file, data, size / 2, written, at);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// The count follows the file after a failed write, so the limit still holds:
// the first record's half and the second together pass it.
TEST(LogRotation, PartWrittenRecordCountsTowardsTheLimit) {
    PlatformScope platform;
    Platform().WriteFile = PartWrite;
    const size_t room = 10u * 1024 * 1024 - ReadLogFile().size();
    g_failedWrites = 1;
    WriteLog("partial", 1, std::string(room * 8 / 10, 'p'), 0);
    WriteLog("partial", 2, std::string(room * 7 / 10, 'q'), 0);
    EXPECT_LT(ReadLogFile().size(), 10u * 1024 * 1024);
}
