// Log behaviour across whole runs of a process: truncation, the record before
// InitLog, and a log file that cannot be opened.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "utils.h"

namespace {
std::wstring Probe() { return TestDir() + L"\\logprobe.exe"; }
}

TEST(LogRuns, EachRunStartsTheFileAfresh) {
    ASSERT_EQ(RunProcess(Probe(), L"write first-run-marker"), 0u);
    EXPECT_NE(ReadLogFile().find("first-run-marker"), std::string::npos);
    ASSERT_EQ(RunProcess(Probe(), L"write second-run-marker"), 0u);
    const std::string log = ReadLogFile();
    EXPECT_EQ(log.find("first-run-marker"), std::string::npos);
    EXPECT_EQ(ParseLog(log).size(), 2u);
    EXPECT_NE(log.find("logprobe [ 2 ]  : second-run-marker [ 0 ] "), std::string::npos);
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

TEST(LogRuns, UnopenableLogFileDoesNotStopTheProgram) {
    ::DeleteFileW(kLogFilePath);
    ASSERT_TRUE(::CreateDirectoryW(kLogFilePath, nullptr));
    std::string out;
    const DWORD code = RunProcess(Probe(), L"write lost-marker", &out);
    ::RemoveDirectoryW(kLogFilePath);
    EXPECT_EQ(code, 0u);
    EXPECT_NE(out.find("logprobe returned"), std::string::npos);
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
