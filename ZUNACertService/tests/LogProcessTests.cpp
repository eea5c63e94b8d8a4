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
