// The watch loop's schedule in simulated time: the clock and the pauses are
// fakes, the program's presence is scripted and each probe is recorded.
#include <gtest/gtest.h>

#include <mutex>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "CZUNACertService.h"
#include "TestSupport.h"

namespace {

namespace pt = boost::posix_time;

// Simulated time runs only inside the loop's pauses.
struct SimWorld {
    std::mutex lock;
    long long elapsedMs = 0;          // monotonic simulated time since the loop began
    long long clockShiftSeconds = 0;  // what the wall clock is off by
    long long endMs = 0;              // time freezes here, so the test can stop the loop
    std::function<bool(long long)> running = [](long long) { return true; };
    std::function<void(long long, long long&)> onTime = [](long long, long long&) {};
    std::string reply = "{\"ok\":true}";
    std::vector<long long> probes;  // simulated seconds at each probe
    int scans = 0;
    int cyclePauses = 0;
    int launchPauses = 0;
    bool frozen = false;
};
SimWorld* g_world = nullptr;
const pt::ptime kEpoch(boost::gregorian::date(2026, 3, 1), pt::hours(9));

pt::ptime SimNow() {
    std::lock_guard<std::mutex> lock(g_world->lock);
    return kEpoch + pt::seconds(static_cast<long>(g_world->elapsedMs / 1000 + g_world->clockShiftSeconds));
}

void SimPause(HANDLE, DWORD ms) {
    {
        std::lock_guard<std::mutex> lock(g_world->lock);
        if (ms == 1000) ++g_world->cyclePauses;
        if (ms == 2000) ++g_world->launchPauses;
        if (g_world->elapsedMs < g_world->endMs) {
            g_world->elapsedMs += ms;
            g_world->onTime(g_world->elapsedMs, g_world->clockShiftSeconds);
            return;
        }
        g_world->frozen = true;
    }
    ::Sleep(2);
}

bool SimRunning() {
    std::lock_guard<std::mutex> lock(g_world->lock);
    ++g_world->scans;
    return g_world->running(g_world->elapsedMs);
}

std::string SimProbe(const std::string& url, const std::string& body, const std::atomic<LONG>* abort) {
    EXPECT_EQ(url, "http://127.0.0.1:58000");
    EXPECT_EQ(body, "{\"active\":\"CertInfo\", \"name\" : \"GetOCXVersion\"}");
    EXPECT_EQ(body.size(), 47u);
    EXPECT_NE(abort, nullptr);
    std::lock_guard<std::mutex> lock(g_world->lock);
    g_world->probes.push_back(g_world->elapsedMs / 1000);
    return g_world->reply;
}

class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_world = &world;
        RecordEventLog(&events);
        RecordStatus(&statuses);
        Platform().UtcNow = SimNow;
        Platform().Pause = SimPause;
        Platform().IsGuardedProcessRunning = SimRunning;
        Platform().Probe = SimProbe;
    }
    void TearDown() override { g_world = nullptr; }

    // Runs the loop through `seconds` of simulated time, then stops it.
    void Run(long long seconds) {
        world.endMs = seconds * 1000;
        CZUNACertService service(L"ScheduleTest");
        service.Start(0, nullptr);
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(world.lock);
                return world.frozen;
            },
            std::chrono::seconds(60), std::chrono::milliseconds(5)));
        service.Stop();
    }

    SimWorld world;
    PlatformScope platform;
    std::vector<EventEntry> events;
    std::vector<SERVICE_STATUS> statuses;
};

}  // namespace

TEST_F(ScheduleTest, ProbesEveryThirtySecondsAfterAQuietStart) {
    Run(200);
    ASSERT_GE(world.probes.size(), 5u);
    // Each cycle takes one simulated second here, so the probe comes in the
    // first cycle that finds 30 whole seconds gone.
    EXPECT_EQ(world.probes[0], 30);
    for (size_t i = 1; i < world.probes.size(); ++i) EXPECT_EQ(world.probes[i] - world.probes[i - 1], 30);
    EXPECT_EQ(world.scans, 2 * world.cyclePauses) << "both scans in every cycle";
    EXPECT_EQ(world.launchPauses, 0);
}

TEST_F(ScheduleTest, ClockSetBackDelaysTheProbe) {
    world.onTime = [](long long ms, long long& shift) {
        if (ms == 40000) shift = -60;
    };
    Run(200);
    ASSERT_GE(world.probes.size(), 2u);
    EXPECT_EQ(world.probes[0], 30);
    // Last probe at wall 30; the wall clock reads 30 again at simulated 100.
    EXPECT_EQ(world.probes[1], 120);
}

TEST_F(ScheduleTest, ClockSetForwardProbesAtOnce) {
    world.onTime = [](long long ms, long long& shift) {
        if (ms == 40000) shift = 3600;
    };
    Run(100);
    ASSERT_GE(world.probes.size(), 2u);
    EXPECT_EQ(world.probes[0], 30);
    EXPECT_EQ(world.probes[1], 40);
    EXPECT_EQ(world.probes[2], 70);
}

TEST_F(ScheduleTest, MissingProgramDoesNotMoveTheLastProbe) {
    // Missing from 10 s to 50 s: each cycle tries a launch (it fails: no
    // program in this folder) and pauses 2 s more.
    world.running = [](long long ms) { return ms < 10000 || ms >= 50000; };
    Run(100);
    ASSERT_GE(world.probes.size(), 1u);
    EXPECT_GE(world.probes[0], 50);
    EXPECT_LE(world.probes[0], 52) << "probed in the first cycle that found it again";
    EXPECT_GT(world.launchPauses, 5);
    const std::vector<LogRecord> failed = RecordsAt("CZUNACertService.cpp", 211);
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.back().message, "CreateProcessAsUser %d");
    EXPECT_EQ(failed.back().value, "2") << "the program is not in the guard's folder";
}

TEST_F(ScheduleTest, EmptyReplyRestartsAndRestartsTheInterval) {
    world.reply.clear();
    Run(100);
    ASSERT_GE(world.probes.size(), 2u);
    // Kill, 2 s pause, a launch (it fails here), then the interval starts again.
    EXPECT_EQ(world.probes[0], 30);
    EXPECT_EQ(world.probes[1], 62);
    EXPECT_EQ(world.launchPauses, static_cast<int>(world.probes.size()));
    bool emptyLogged = false;
    for (const LogRecord& r : RecordsAt("CZUNACertService.cpp", 368)) emptyLogged |= r.message.empty();
    EXPECT_TRUE(emptyLogged);
}

TEST_F(ScheduleTest, ReplyIsLoggedEscapedAndCut) {
    // A line shaped like the record of an empty reply, then 1 MiB.
    world.reply = "{}\r\n[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] \r\n" +
                  std::string(1024 * 1024, 'x');
    const size_t before = ReadLogFile().size();
    Run(35);
    ASSERT_EQ(world.probes.size(), 1u);
    EXPECT_LT(ReadLogFile().size() - before, 4096u) << "a probe writes two such records; 8 KiB at most";
    const std::string head =
        "{}\\r\\n[2026-03-01 09:00:00.000000][0x00000001]: CZUNACertService.cpp [ 368 ]  :  [ 0 ] \\r\\n";
    const std::vector<LogRecord> replies = RecordsAt("CZUNACertService.cpp", 368);
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies.back().message,
              head + std::string(1024 - head.size(), 'x') + "...(" + std::to_string(world.reply.size()) + " bytes)");
}

TEST_F(ScheduleTest, StartAndStopWriteTheirEntriesAndRecords) {
    Run(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].text, L"CZUNACertService in OnStart");
    EXPECT_EQ(events[1].text, GetModuleDirectory());
    EXPECT_EQ(events[2].text, L"CZUNACertService in OnStop");
    for (const EventEntry& e : events) {
        EXPECT_EQ(e.type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(e.source, L"ScheduleTest");
    }
    for (int line : {389, 403, 409, 411}) EXPECT_FALSE(RecordsAt("CZUNACertService.cpp", line).empty()) << line;
    const std::vector<LogRecord> path = RecordsAt("CZUNACertService.cpp", 304);
    ASSERT_FALSE(path.empty());
    std::wstring expected = GetModuleDirectory() + L"\\ZUNATAVLService.exe";
    EXPECT_EQ(path.back().message, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(statuses.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// A path that does not fit MAX_PATH is kept whole, and a failed module look-up
// gives an empty directory.
TEST(ModuleDirectory, LongPathsAndFailures) {
    PlatformScope platform;
    static std::wstring fake;
    fake = L"C:\\" + std::wstring(300, L'd') + L"\\TAVL.exe";
    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const DWORD n = static_cast<DWORD>(fake.size());
        if (size <= n) {  // cut, as the real call does
            std::wmemcpy(buffer, fake.c_str(), size - 1);
            buffer[size - 1] = L'\0';
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        std::wmemcpy(buffer, fake.c_str(), n + 1);
        return n;
    };
    EXPECT_EQ(GetModulePath(), fake);
    EXPECT_EQ(GetModuleDirectory(), L"C:\\" + std::wstring(300, L'd'));

    fake = L"NoBackslash.exe";
    EXPECT_EQ(GetModuleDirectory(), L"NoBackslash.exe");

    Platform().GetModuleFileNameW = [](HMODULE, LPWSTR, DWORD) -> DWORD {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    };
    EXPECT_EQ(GetModuleDirectory(), L"");
}

TEST(GuardConstruction, FailedEventIsThrownAsItsCode) {
    PlatformScope platform;
    Platform().CreateEventW = [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    try {
        CZUNACertService service(L"NoEvent");
        FAIL() << "constructed without an event";
    } catch (DWORD code) {
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
}
