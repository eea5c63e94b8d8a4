// The entry point in this process, where the platform table can fail the
// guard's construction.
#include <gtest/gtest.h>

#include "Main.h"
#include "TestSupport.h"

TEST(GuardMain, ConstructorFailureIsLoggedAndEndsCleanly) {
    PlatformScope platform;
    Platform().CreateEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    };
    wchar_t program[] = L"TAVL.exe";
    wchar_t* argv[] = {program, nullptr};
    EXPECT_EQ(GuardMain(1, argv), 0);
    const std::vector<LogRecord> records = RecordsAt("ZUNACertService.cpp", 62);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value, std::to_string(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_TRUE(RecordsAt("ServiceBase.cpp", 99).empty()) << "no dispatcher without a service object";

    // The process keeps the single-instance mutex: a second start is refused.
    EXPECT_EQ(GuardMain(1, argv), 0);
    EXPECT_EQ(RecordsAt("ZUNACertService.cpp", 62).size(), 1u);
}
