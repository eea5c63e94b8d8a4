// The diagnostic log, written in this process through the real file sink.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <thread>

#include "TestSupport.h"
#include "utils.h"

namespace {

LogRecord LastRecordWith(const std::string& marker) {
    LogRecord found;
    for (const LogRecord& r : ParseLog(ReadLogFile())) {
        if (r.raw.find(marker) != std::string::npos) found = r;
    }
    return found;
}

std::string ThreadIdText() {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(::GetCurrentThreadId()));
    return text;
}

}  // namespace

TEST(LogLayout, RecordHasTheFixedShape) {
    WriteLog("core/Http", 150, "layout-marker", 0);
    const LogRecord r = LastRecordWith("layout-marker");
    ASSERT_FALSE(r.raw.empty());
    EXPECT_EQ(r.raw.substr(42), "core/Http [ 150 ]  : layout-marker [ 0 ] \r\n");
    EXPECT_EQ(r.threadId, ThreadIdText());
    // The stamp is local time, to the microsecond.
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char day[16];
    std::snprintf(day, sizeof(day), "%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
    EXPECT_EQ(r.timestamp.substr(0, 10), day);
    EXPECT_EQ(r.timestamp.size(), 26u);
}

TEST(LogLayout, MessagesAreNeverFormatted) {
    WriteLog("ServiceInstaller", 59, "fmt-marker GetModuleFileName failed w/err 0x%08lx %s %d", -1);
    LogRecord r = LastRecordWith("fmt-marker");
    EXPECT_EQ(r.message, "fmt-marker GetModuleFileName failed w/err 0x%08lx %s %d");
    EXPECT_EQ(r.value, "-1");

    // A code with its top bit set shows as the signed value of the same bits.
    WriteLog("x", 1, "topbit-marker", static_cast<int>(0x80070005u));
    r = LastRecordWith("topbit-marker");
    EXPECT_EQ(r.value, "-2147024891");
}

TEST(LogLayout, EmptyMessageAndLineEnds) {
    WriteLog("empty-marker", 7, "", 0);
    EXPECT_EQ(LastRecordWith("empty-marker").raw.substr(42), "empty-marker [ 7 ]  :  [ 0 ] \r\n");

    WriteLog("nl-marker", 164, "\n%s is stopped.\n", 0);
    const LogRecord r = LastRecordWith("nl-marker");
    // The sink writes in text mode: every line feed becomes CRLF, and one
    // more line end closes the record.
    EXPECT_EQ(r.raw.substr(42), "nl-marker [ 164 ]  : \r\n%s is stopped.\r\n [ 0 ] \r\n");
}

TEST(LogLayout, SourceIsNamedBelowTheProgramFolder) {
    WriteLog("C:\\b\\src\\ZUNACertService\\core\\Http.cpp", 150, "msvc-path-marker", 0);
    EXPECT_EQ(LastRecordWith("msvc-path-marker").source, "core/Http.cpp");
    WriteLog("/x/ZUNACertService/ServiceBase.cpp", 99, "gcc-path-marker", 0);
    EXPECT_EQ(LastRecordWith("gcc-path-marker").source, "ServiceBase.cpp");
    WriteLog("ZUNACertService.cpp", 67, "bare-name-marker", 0);
    EXPECT_EQ(LastRecordWith("bare-name-marker").source, "ZUNACertService.cpp");
}

TEST(LogLayout, BytesAreWrittenUnconverted) {
    const std::string gbk = "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC";  // 服务运行失败
    WriteLog("gbk-marker", 67, gbk, 0);
    EXPECT_EQ(LastRecordWith("gbk-marker").message, gbk);

    const std::string binary("zero\0byte", 9);
    WriteLog("zero-marker", 1, binary, 0);
    EXPECT_EQ(LastRecordWith("zero-marker").message, binary);
}

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

// Runs last: it empties the file.
TEST(LogRotation, TenMebibytesStartAFreshFile) {
    // Half of it line feeds, each written as CRLF: the limit counts bytes.
    std::string chunk;
    for (int i = 0; i < 256 * 1024; ++i) chunk += "r\n";
    size_t largest = 0;
    bool rotated = false;
    for (int i = 0; i < 60 && !rotated; ++i) {
        const std::string marker = "rot-" + std::to_string(i) + "-";
        const size_t before = ReadLogFile().size();
        WriteLog("rotation", i, marker + chunk, 0);
        const std::string after = ReadLogFile();
        largest = std::max(largest, after.size());
        if (after.size() < before) {
            rotated = true;
            // The record that would have passed the limit opens the new file.
            ASSERT_TRUE(after.compare(0, 1, "[") == 0);
            const std::vector<LogRecord> records = ParseLog(after);
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].message.substr(0, marker.size()), marker);
        }
    }
    EXPECT_TRUE(rotated);
    EXPECT_LE(largest, 10u * 1024 * 1024);
    EXPECT_GT(largest, 9u * 1024 * 1024);
}

TEST(LogFileOwnership, LiveLogIsThisRunsOwnAndCannotBeSwapped) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(kLogFilePath, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    LPWSTR text = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                       DACL_SECURITY_INFORMATION, &text, nullptr));
    // Wine 8 keeps no descriptor for files and hands back one made up from
    // the Unix mode, so the exact text is checked where it is kept.
    if (std::wstring(text) != L"D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)") {
        EXPECT_STREQ(text, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)");
    }
    ::LocalFree(text);
    ::LocalFree(sd);
    // Neither deleted nor renamed while the process lives, so no link can take its name.
    EXPECT_FALSE(::DeleteFileW(kLogFilePath));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const std::wstring aside = TestDir() + L"\\swapped.log";
    EXPECT_FALSE(::MoveFileExW(kLogFilePath, aside.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    WriteLog("logtest", 1, "still-here-marker", 0);
    EXPECT_NE(ReadLogFile().find("still-here-marker"), std::string::npos);
}
