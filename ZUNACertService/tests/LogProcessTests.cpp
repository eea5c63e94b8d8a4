// Log behaviour across whole runs of a process: truncation, the record before
// InitLog, and a log file that cannot be opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "TestSupport.h"
#include "utils.h"

namespace {
std::wstring Probe() { return TestDir() + L"\\logprobe.exe"; }
}  // namespace

// Each run starts the file afresh, the run before kept beside it as .old; a
// record before InitLog goes to standard output and leaves the file as it is.
TEST(LogRuns, EachRunStartsTheFileAfresh) {
    ASSERT_EQ(RunProcess(Probe(), L"write first-run-marker"), 0u);
    const std::string first = ReadLogFile();
    std::string out;
    ASSERT_EQ(RunProcess(Probe(), L"before early-marker", &out), 0u);
    EXPECT_NE(out.find("early-marker"), std::string::npos) << out;
    EXPECT_EQ(ReadLogFile(), first);
    ASSERT_EQ(RunProcess(Probe(), L"write second-run-marker"), 0u);
    const std::vector<LogRecord> records = ParseLog(ReadLogFile());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "second-run-marker");
    EXPECT_EQ(ReadFileBytes(std::wstring(kLogFilePath) + L".old"), first);
}

// An open that waits (another program's lock, a slow share) is given 5 s: one
// of 2 s still gives the run its log. Past that the run goes on without a log
// and says so, and the worker's late finish switches nothing on and keeps
// nothing open. The probe's watchdog names a first record held longer.
TEST(LogRuns, SlowOpenIsGivenFiveSeconds) {
    std::string out;
    ASSERT_EQ(RunProcess(Probe(), L"write slow-marker wait 2000", &out), 0u) << out;
    EXPECT_NE(ReadLogFile().find("slow-marker"), std::string::npos) << out;
    ASSERT_EQ(RunProcess(Probe(), L"slow stuck-marker", &out), 0u) << out;
    EXPECT_NE(out.find("log unavailable: C:\\Users\\Public\\ZUNACertService.log 1460"), std::string::npos) << out;
    EXPECT_NE(out.find("log open: 0."), std::string::npos) << out;
    EXPECT_EQ(ReadLogFile().find("stuck-marker"), std::string::npos);
}

// What anyone may plant at the log path in C:\Users\Public, and who may hold
// the log or .old open.
class PlantedLog : public ::testing::Test {
protected:
    void SetUp() override {
        Clear();
        ASSERT_TRUE(WriteTextFile(victim, "precious"));
    }
    void TearDown() override {
        Clear();
        ::DeleteFileW(victim.c_str());
    }
    // The log, .old and the kept logs are gone; an empty folder at either name too.
    static void Clear() {
        for (const std::wstring& name : Kept()) ::DeleteFileW(name.c_str());
        for (const std::wstring& name : {std::wstring(kLogFilePath), Old()}) {
            ::DeleteFileW(name.c_str());
            ::RemoveDirectoryW(name.c_str());
        }
    }
    static std::wstring Old() { return std::wstring(kLogFilePath) + L".old"; }
    // The entries beside the log named as `pattern` after its name, in order:
    // the kept logs, oldest first, by default.
    static std::vector<std::wstring> Kept(const wchar_t* pattern = L".2*.old") {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((std::wstring(kLogFilePath) + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            names.push_back(L"C:\\Users\\Public\\" + std::wstring(found.cFileName));
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    }

    void LinkToVictim() { ASSERT_TRUE(::CreateHardLinkW(kLogFilePath, victim.c_str(), nullptr)) << ::GetLastError(); }
    // Another process's handle, without delete sharing; a tail-like reader shares it.
    static CFileHandle Hold(const std::wstring& path = kLogFilePath, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
        return CFileHandle(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    // `options` as logprobe takes them after the text.
    DWORD RunProbe(const std::wstring& marker, const std::wstring& options = L"") {
        return RunProcess(Probe(), L"write " + marker + L" " + options, &out);
    }

    std::wstring victim = TestDir() + L"\\victim.txt";
    std::string out;
};

// Under Wine's answer (no POSIX delete: the fallback runs) and as on Windows,
// where a removed entry's name stays taken until the handle that removed it
// closes.
const wchar_t* const kSystems[] = {L"", L"windows"};

// A hard link, a symbolic link and a junction (Wine makes neither: the entry
// is reported as one through the platform table) and an empty folder: each is
// removed without following it, is not kept as the previous log, and the run
// has its log.
TEST_F(PlantedLog, PlantedEntryIsReplacedAndTheRunHasItsLog) {
    const struct {
        const char* name;
        bool folder, hardLink;
        const wchar_t* options;
    } planted[] = {{"hard link", false, true, L""},
                   {"symbolic link", false, false, L"link"},
                   {"junction", true, false, L"link"},
                   {"folder", true, false, L""}};
    for (const wchar_t* system : kSystems) {
        for (const auto& p : planted) {
            SCOPED_TRACE(std::string(p.name) + (*system ? " on Windows" : " under Wine"));
            Clear();
            if (p.hardLink) {
                LinkToVictim();
            } else if (p.folder) {
                ASSERT_TRUE(::CreateDirectoryW(kLogFilePath, nullptr));
            } else {
                ASSERT_TRUE(WriteTextFile(kLogFilePath, "link"));
            }
            CFileHandle reader = Hold(kLogFilePath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);  // it does not keep the name taken
            ASSERT_EQ(RunProbe(L"planted-marker", std::wstring(system) + L" " + p.options), 0u);
            EXPECT_NE(ReadLogFile().find("planted-marker"), std::string::npos) << out;
            EXPECT_EQ(ReadFileBytes(victim), "precious");
            EXPECT_EQ(::GetFileAttributesW(Old().c_str()), INVALID_FILE_ATTRIBUTES) << "kept as the previous log";
        }
    }
}

// Written on after what another program holds open only when the file is the
// guard's own (Wine makes every owner up: the platform table says whose it
// is), and at 10 MiB what it holds becomes .old there too.
TEST_F(PlantedLog, FileHeldOpenElsewhereIsUsedOnlyWhenTheGuardsOwn) {
    ASSERT_TRUE(WriteTextFile(kLogFilePath, "old-content\r\n"));
    {
        CFileHandle held = Hold();
        ASSERT_TRUE(held);
        ASSERT_EQ(RunProbe(L"held-marker", L"admins"), 0u);
        const std::string log = ReadLogFile();
        EXPECT_EQ(log.compare(0, 13, "old-content\r\n"), 0) << "appended to: nothing is lost";
        EXPECT_EQ(ParseLog(log).size(), 2u);
        EXPECT_NE(log.find("held-marker"), std::string::npos);
    }
    // The limit counts what the file held: the first record of 80 bytes fits
    // below 10 MiB, the second makes it .old.
    const std::string full = std::string(10 * 1024 * 1024 - 120, 'o') + "\r\n";
    ASSERT_TRUE(WriteTextFile(kLogFilePath, full));
    {
        CFileHandle held = Hold();
        ASSERT_EQ(RunProbe(L"full-marker", L"admins"), 0u);
        const std::vector<LogRecord> records = ParseLog(ReadLogFile());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].line, 2);
        const std::string old = ReadFileBytes(Old());
        EXPECT_EQ(old.compare(0, full.size(), full), 0);
        const std::vector<LogRecord> before = ParseLog(old.substr(full.size()));
        ASSERT_EQ(before.size(), 1u);
        EXPECT_EQ(before[0].line, 1);
    }
    // Not the guard's own: a standard user's (they could change what the guard
    // wrote), one whose owner cannot be read, one with a second name.
    const struct {
        const wchar_t* owner;
        bool secondName;
    } foreign[] = {{L"user", false}, {L"unowned", false}, {L"admins", true}};
    for (const auto& f : foreign) {
        if (f.secondName) {
            ::DeleteFileW(kLogFilePath);
            LinkToVictim();
        }
        const std::string before = ReadLogFile();
        CFileHandle held = Hold();
        ASSERT_TRUE(held);
        ASSERT_EQ(RunProbe(L"foreign-marker", f.owner), 0u);
        EXPECT_EQ(ReadLogFile(), before) << out;
        EXPECT_NE(out.find("log unavailable: C:\\Users\\Public\\ZUNACertService.log 32"), std::string::npos) << out;
    }
    EXPECT_EQ(ReadFileBytes(victim), "precious");
}

// A reader sharing delete never costs a run its log, and .old gives way to
// the previous log under such a reader, and when a folder stands there.
TEST_F(PlantedLog, OldGivesWayToThePreviousLog) {
    for (const wchar_t* system : kSystems) {
        SCOPED_TRACE(*system ? "on Windows" : "under Wine");
        Clear();
        ASSERT_EQ(RunProbe(L"run-1-marker", system), 0u);
        CFileHandle reader = Hold(kLogFilePath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(reader);
        ASSERT_EQ(RunProbe(L"run-2-marker", system), 0u);
        EXPECT_NE(ReadLogFile().find("run-2-marker"), std::string::npos);
        ASSERT_EQ(RunProbe(L"run-3-marker", system), 0u);  // the reader is on .old now
        EXPECT_NE(ReadLogFile().find("run-3-marker"), std::string::npos);
        EXPECT_NE(ReadFileBytes(Old()).find("run-2-marker"), std::string::npos);
        reader.reset();
        ASSERT_TRUE(::DeleteFileW(Old().c_str()));
        ASSERT_TRUE(::CreateDirectoryW(Old().c_str(), nullptr));
        ASSERT_EQ(RunProbe(L"run-4-marker", system), 0u);
        EXPECT_NE(ReadFileBytes(Old()).find("run-3-marker"), std::string::npos);
        EXPECT_EQ(out.find("log unavailable"), std::string::npos) << out;
        EXPECT_TRUE(Kept().empty());
    }
}

// Held without delete sharing, .old stays as it is, and each previous log is
// kept under a name of its own instead, the newest three of them.
TEST_F(PlantedLog, HeldOldKeepsEachPreviousLogBesideIt) {
    for (const wchar_t* system : kSystems) {
        SCOPED_TRACE(*system ? "on Windows" : "under Wine");
        Clear();
        const std::wstring options = std::wstring(system) + L" admins";
        ASSERT_EQ(RunProbe(L"run-0-marker", options), 0u);
        ASSERT_EQ(RunProbe(L"run-1-marker", options), 0u);
        CFileHandle reader = Hold(Old());
        ASSERT_TRUE(reader);
        for (int run = 2; run < 7; ++run) {
            ASSERT_EQ(RunProbe(L"run-" + std::to_wstring(run) + L"-marker", options), 0u);
            EXPECT_NE(ReadLogFile().find("run-" + std::to_string(run) + "-marker"), std::string::npos) << out;
        }
        EXPECT_NE(ReadFileBytes(Old()).find("run-0-marker"), std::string::npos);
        const std::vector<std::wstring> kept = Kept();
        ASSERT_EQ(kept.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NE(ReadFileBytes(kept[i]).find("run-" + std::to_string(i + 3) + "-marker"), std::string::npos);
        }
        // Files a standard user owns under such names are neither counted nor removed.
        ASSERT_EQ(RunProbe(L"run-7-marker", std::wstring(system) + L" user"), 0u);
        EXPECT_EQ(Kept().size(), 4u);
    }
}

// At 10 MiB, with .old held without delete sharing, what the log holds is
// kept beside it instead, at each time the limit is reached.
TEST_F(PlantedLog, HeldOldKeepsWhatTheLimitEnds) {
    ASSERT_TRUE(WriteTextFile(Old(), "older"));
    CFileHandle reader = Hold(Old());
    ASSERT_TRUE(reader);
    // The first record fits, the second ends it, the third ends the second.
    ASSERT_EQ(RunProbe(L"limit-marker", L"big 10485650"), 0u);
    EXPECT_EQ(ReadFileBytes(Old()), "older");
    const std::vector<std::wstring> kept = Kept();
    ASSERT_EQ(kept.size(), 2u);
    const std::vector<LogRecord> first = ParseLog(ReadFileBytes(kept[0]));
    const std::vector<LogRecord> big = ParseLog(ReadFileBytes(kept[1]));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].line, 1);
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].line, 3);
    const std::vector<LogRecord> last = ParseLog(ReadLogFile());
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].line, 2);
}

TEST_F(PlantedLog, FolderIsMovedAsideWithWhatItHolds) {
    ASSERT_TRUE(::CreateDirectoryW(kLogFilePath, nullptr));
    ASSERT_TRUE(WriteTextFile(std::wstring(kLogFilePath) + L"\\inside.txt", "kept"));
    ASSERT_EQ(RunProbe(L"folder-marker", L"windows"), 0u);
    EXPECT_NE(ReadLogFile().find("folder-marker"), std::string::npos);
    int holding = 0;  // what an earlier run moved aside may be there too
    for (const std::wstring& moved : Kept(L".*.moved")) {
        if (ReadFileBytes(moved + L"\\inside.txt") == "kept") ++holding;
        ::DeleteFileW((moved + L"\\inside.txt").c_str());
        ::RemoveDirectoryW(moved.c_str());
    }
    EXPECT_EQ(holding, 1);
}
