// Log behaviour across whole runs of a process: truncation, the record before
// InitLog, and a log file that cannot be opened.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "utils.h"

namespace {
std::wstring Probe() { return TestDir() + L"\\logprobe.exe"; }
size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}
}  // namespace

TEST(LogRuns, EachRunStartsTheFileAfresh) {
    ASSERT_EQ(RunProcess(Probe(), L"write first-run-marker"), 0u);
    EXPECT_NE(ReadLogFile().find("first-run-marker"), std::string::npos);
    ASSERT_EQ(RunProcess(Probe(), L"write second-run-marker"), 0u);
    const std::string log = ReadLogFile();
    EXPECT_EQ(log.find("first-run-marker"), std::string::npos);
    EXPECT_EQ(ParseLog(log).size(), 2u);
    EXPECT_NE(log.find("logprobe [ 2 ]  : second-run-marker [ 0 ] "), std::string::npos);
    EXPECT_NE(ReadFileBytes(std::wstring(kLogFilePath) + L".old").find("first-run-marker"), std::string::npos)
        << "the run before is kept beside it";
}

TEST(LogRuns, RecordBeforeInitLogGoesToStandardOutput) {
    ASSERT_EQ(RunProcess(Probe(), L"write keep-marker"), 0u);
    std::string out;
    ASSERT_EQ(RunProcess(Probe(), L"before early-marker", &out), 0u);
    EXPECT_NE(out.find("early-marker"), std::string::npos) << out;
    const std::string log = ReadLogFile();
    EXPECT_EQ(log.find("early-marker"), std::string::npos);
    EXPECT_NE(log.find("keep-marker"), std::string::npos) << "the file is left untouched";
}

// An open that waits (another program's lock, a slow share) holds the first
// record 5 s at most; the run goes on without a log and says so once, and the
// worker's late finish switches nothing on and keeps nothing open.
TEST(LogRuns, SlowOpenIsGivenFiveSeconds) {
    std::string out;
    ASSERT_EQ(RunProcess(Probe(), L"slow slow-marker", &out), 0u);
    const size_t at = out.find("first record after ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_LT(std::atol(out.c_str() + at + 19), 6500) << out;
    EXPECT_EQ(Count(out, "log unavailable: "), 1u) << out;
    EXPECT_NE(out.find("log unavailable: C:\\Users\\Public\\ZUNACertService.log 1460"), std::string::npos) << out;
    EXPECT_NE(out.find("log open: 0."), std::string::npos) << out;
    EXPECT_EQ(ReadLogFile().find("slow-marker"), std::string::npos);
}

// What anyone may plant at the log path in C:\Users\Public.
class PlantedLog : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileW(kLogFilePath);
        ASSERT_TRUE(WriteTextFile(victim, "precious"));
    }
    void TearDown() override { ::DeleteFileW(victim.c_str()); }

    void LinkToVictim() { ASSERT_TRUE(::CreateHardLinkW(kLogFilePath, victim.c_str(), nullptr)) << ::GetLastError(); }
    // Another process's handle on the log, without delete sharing.
    static CFileHandle HoldLog() {
        return CFileHandle(::CreateFileW(kLogFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    }
    // A tail-like reader: it shares delete.
    static CFileHandle ReadLogSharingDelete() {
        return CFileHandle(::CreateFileW(kLogFilePath, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    }
    static DWORD LinksOfLog() {
        CFileHandle log = HoldLog();
        BY_HANDLE_FILE_INFORMATION info = {};
        ::GetFileInformationByHandle(log.get(), &info);
        return info.nNumberOfLinks;
    }
    DWORD RunProbe(const std::wstring& marker) { return RunProcess(Probe(), L"write " + marker, &out); }

    std::wstring victim = TestDir() + L"\\victim.txt";
    std::string out;
};

TEST_F(PlantedLog, HardLinkIsReplacedAndItsTargetLeftAlone) {
    LinkToVictim();
    CFileHandle reader = ReadLogSharingDelete();  // it does not keep the name taken
    ASSERT_EQ(RunProbe(L"link-marker"), 0u);
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_NE(ReadLogFile().find("link-marker"), std::string::npos);
    EXPECT_EQ(LinksOfLog(), 1u);
}

TEST_F(PlantedLog, FileHeldOpenElsewhereIsUsedOnlyWhenPlain) {
    ASSERT_TRUE(WriteTextFile(kLogFilePath, "old-content\r\n"));
    {
        CFileHandle held = HoldLog();
        ASSERT_TRUE(held);
        ASSERT_EQ(RunProbe(L"held-marker"), 0u);
        const std::string log = ReadLogFile();
        EXPECT_EQ(log.compare(0, 13, "old-content\r\n"), 0) << "appended to: nothing is lost";
        EXPECT_EQ(ParseLog(log).size(), 2u);
        EXPECT_NE(log.find("held-marker"), std::string::npos);
    }
    // The limit counts what the file held: the first record of 80 bytes fits
    // below 10 MiB, the second starts the file afresh.
    ASSERT_TRUE(WriteTextFile(kLogFilePath, std::string(10 * 1024 * 1024 - 120, 'o') + "\r\n"));
    {
        CFileHandle held = HoldLog();
        ASSERT_EQ(RunProbe(L"full-marker"), 0u);
        const std::vector<LogRecord> records = ParseLog(ReadLogFile());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].line, 2);
    }
    ::DeleteFileW(kLogFilePath);
    LinkToVictim();
    CFileHandle held = HoldLog();
    ASSERT_TRUE(held);
    EXPECT_EQ(RunProbe(L"lost-marker"), 0u);
    EXPECT_NE(out.find("logprobe returned"), std::string::npos) << "no log, and the program goes on";
    EXPECT_EQ(Count(out, "log unavailable: "), 1u) << out;
    EXPECT_NE(out.find("log unavailable: C:\\Users\\Public\\ZUNACertService.log 32"), std::string::npos) << out;
    EXPECT_EQ(ReadFileBytes(victim), "precious");
}

// The log moves to .old under a reader, and a run after that finds the
// reader on .old.
TEST_F(PlantedLog, ReaderSharingDeleteNeverCostsARunItsLog) {
    ASSERT_EQ(RunProbe(L"run-1-marker"), 0u);
    CFileHandle reader = ReadLogSharingDelete();
    ASSERT_TRUE(reader);
    ASSERT_EQ(RunProbe(L"run-2-marker"), 0u);
    EXPECT_NE(ReadLogFile().find("run-2-marker"), std::string::npos);
    ASSERT_EQ(RunProbe(L"run-3-marker"), 0u);
    EXPECT_NE(ReadLogFile().find("run-3-marker"), std::string::npos);
    EXPECT_NE(ReadFileBytes(std::wstring(kLogFilePath) + L".old").find("run-2-marker"), std::string::npos);
    EXPECT_EQ(out.find("log unavailable"), std::string::npos) << out;
}

TEST_F(PlantedLog, FolderIsMovedAsideWithWhatItHolds) {
    ASSERT_TRUE(::CreateDirectoryW(kLogFilePath, nullptr));
    ASSERT_TRUE(WriteTextFile(std::wstring(kLogFilePath) + L"\\inside.txt", "kept"));
    ASSERT_EQ(RunProbe(L"folder-marker"), 0u);
    EXPECT_NE(ReadLogFile().find("folder-marker"), std::string::npos);
    WIN32_FIND_DATAW found;
    const std::wstring pattern = std::wstring(kLogFilePath) + L".*.moved";
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    ::FindClose(search);
    const std::wstring moved = L"C:\\Users\\Public\\" + std::wstring(found.cFileName);
    EXPECT_EQ(ReadFileBytes(moved + L"\\inside.txt"), "kept");
    ::DeleteFileW((moved + L"\\inside.txt").c_str());
    ::RemoveDirectoryW(moved.c_str());
}

// The guard itself, started from a console: the dispatcher cannot connect, and
// its failure record carries the GBK text as bytes, not as UTF-8.
TEST(GuardFromConsole, DispatcherFailureIsLoggedInGbk) {
    const std::wstring tavl = TestDir() + L"\\..\\ZUNACertService\\TAVL.exe";
    ASSERT_NE(::GetFileAttributesW(tavl.c_str()), INVALID_FILE_ATTRIBUTES);
    std::string out;
    EXPECT_EQ(RunProcess(tavl, L"install", &out), 0u) << "a word without a switch is service mode";
    EXPECT_TRUE(out.empty()) << out;
    const std::vector<LogRecord> dispatcher = RecordsAt("ServiceBase.cpp", 99);
    ASSERT_EQ(dispatcher.size(), 1u);
    EXPECT_EQ(dispatcher[0].value, "1063");
    const std::vector<LogRecord> failed = RecordsAt("ZUNACertService.cpp", 67);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].message, "\xB7\xFE\xCE\xF1\xD4\xCB\xD0\xD0\xCA\xA7\xB0\xDC");
    EXPECT_EQ(failed[0].message.size(), 12u);
}
