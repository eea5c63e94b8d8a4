// The process-table utilities against real processes in the Wine prefix.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "utils.h"

namespace {

class ProcessTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = TestDir() + L"\\proc-names";
        ::CreateDirectoryW(dir.c_str(), nullptr);
        KillAllNamed(L"ZUNATAVLService.exe");
    }
    void TearDown() override {
        for (ChildProcess& c : children) ::TerminateProcess(c.process.get(), 1);
    }
    // A sleeping process whose image is named `name`. Each copy gets its own
    // folder: Wine finds files regardless of letter case, so names that differ
    // only in case would land on one file.
    HANDLE Start(const std::wstring& name) {
        const std::wstring folder = dir + L"\\" + std::to_wstring(children.size());
        ::CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring path = folder + L"\\" + name;
        ::DeleteFileW(path.c_str());
        lastPath = path;
        ::CopyFileW((TestDir() + L"\\sleeper.exe").c_str(), path.c_str(), FALSE);
        children.push_back(StartProcess(path));
        EXPECT_TRUE(children.back().process) << "could not start a copy";
        // Seen in the table before any test looks for it.
        EXPECT_TRUE(WaitUntil([&] { return CountProcessesNamed(name) > 0; }, std::chrono::seconds(5)));
        return children.back().process.get();
    }

    std::wstring dir;
    std::wstring lastPath;
    std::vector<ChildProcess> children;
};

// Names that are not the guarded program's, though close to it.
const wchar_t* const kOthers[] = {
    L"zunatavlservice.exe", L"ZUNATAVLSERVICE.EXE", L"XZUNATAVLService.exe",
    L"ZUNATAVLService.exe.exe", L"ZUNATAVLService\u670d\u52a1.exe"};
// The guarded name with a character that GBK cannot represent (an emoji).
const wchar_t kUnmappable[] = L"\U0001F600ZUNATAVLService.exe";

}  // namespace

TEST_F(ProcessTableTest, OnlyTheExactNameIsSeenAndKilled) {
    std::vector<HANDLE> others;
    for (const wchar_t* name : kOthers) others.push_back(Start(name));
    HANDLE unmappable = Start(kUnmappable);
    EXPECT_FALSE(IsGuardedProcessRunning()) << "neither a near name nor one with an unmappable character counts";
    int ended = -1;
    EXPECT_TRUE(KillProcessByName("no-such-program.exe", &ended)) << "no match is no failure";
    EXPECT_EQ(ended, 0);

    HANDLE first = Start(L"ZUNATAVLService.exe");
    children.push_back(StartProcess(lastPath));
    HANDLE second = children.back().process.get();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(WaitUntil([] { return IsGuardedProcessRunning(); }, std::chrono::seconds(5)));

    EXPECT_TRUE(KillProcessByName(kGuardedExeName, &ended));
    EXPECT_EQ(ended, 3) << "both copies and the one whose name loses a character in GBK";
    // In GBK the unmappable character is dropped, so that name matches too.
    for (HANDLE guarded : {first, second, unmappable}) {
        ASSERT_EQ(::WaitForSingleObject(guarded, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(guarded), 0u);
    }
    for (size_t i = 0; i < others.size(); ++i) EXPECT_TRUE(IsProcessAlive(others[i])) << i;
    EXPECT_FALSE(IsGuardedProcessRunning());
    // A Chinese name is compared in GBK.
    EXPECT_TRUE(KillProcessByName("ZUNATAVLService\xB7\xFE\xCE\xF1.exe"));  // 服务 in GBK
    ASSERT_EQ(::WaitForSingleObject(others[4], 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(others[4]), 0u);
}

// A table that cannot be read says nothing: not "absent" (that would start a
// second copy), and the kill ends nothing.
TEST(ProcessTable, AnUnreadableTableIsNeitherPresenceNorAbsence) {
    PlatformScope platform;
    Platform().CreateToolhelp32Snapshot = [](DWORD, DWORD) -> HANDLE {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    };
    EXPECT_EQ(FindGuardedProgram(), ProgramPresence::Unknown);
    int ended = -1;
    EXPECT_FALSE(KillProcessByName(kGuardedExeName, &ended));
    EXPECT_EQ(ended, 0);
}

TEST(GbkConversion, DropsOnlyWhatGbkCannotHold) {
    EXPECT_EQ(ToGbkSkippingUnmappable(L"plain.exe"), "plain.exe");
    EXPECT_EQ(ToGbkSkippingUnmappable(L"\u670d\u52a1"), "\xB7\xFE\xCE\xF1");
    EXPECT_EQ(ToGbkSkippingUnmappable(L"a\U0001F600b\U0001F601"), "ab");
    EXPECT_EQ(ToGbkSkippingUnmappable(L"\u670d\U0001F600"), "\xB7\xFE");
    EXPECT_EQ(ToGbkSkippingUnmappable(L""), "");
}
