#include "SimulatedGuard.h"

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

SimulatedWorld* g_world = nullptr;

ULONGLONG TickLocked() {
    const long long jump = g_world->tickJump ? g_world->tickJump(g_world->nowMs) : 0;
    return g_world->tickBase + static_cast<ULONGLONG>(g_world->nowMs + jump);
}

void SimPause(HANDLE wake, DWORD ms) {
    {
        std::lock_guard<std::mutex> lock(g_world->lock);
        g_world->wake = wake;
        ++g_world->pauses[ms];
        if (g_world->nowMs < g_world->endMs) {
            g_world->nowMs += ms;
            if (g_world->at) g_world->at(*g_world);
            return;
        }
        g_world->frozen = true;
    }
    ::Sleep(2);
}

ProgramPresence SimPresence() {
    std::unique_lock<std::mutex> lock(g_world->lock);
    ++g_world->scans;
    const long long now = g_world->nowMs;
    lock.unlock();
    return g_world->presence(now);  // set before the loop starts
}

ProbeOutcome SimProbe(const std::string& url, const std::string& body, const std::atomic<LONG>* abort) {
    EXPECT_EQ(url, "http://127.0.0.1:58000");
    EXPECT_EQ(body, "{\"active\":\"CertInfo\", \"name\" : \"GetOCXVersion\"}");
    EXPECT_EQ(body.size(), 47u);
    EXPECT_NE(abort, nullptr);
    std::lock_guard<std::mutex> lock(g_world->lock);
    g_world->probes.push_back(g_world->nowMs / 1000);
    return g_world->outcome;
}

ProgramRun SimRun(CZUNACertService& guard) {
    std::unique_lock<std::mutex> lock(g_world->lock);
    if (!g_world->script) {
        lock.unlock();
        return guard.LaunchInUserSession();
    }
    ProgramRun run;
    if (g_world->nowMs >= g_world->endMs) return run;  // time has stopped: nothing more runs
    const SimulatedRun scripted = g_world->script(static_cast<int>(g_world->starts.size()));
    run.started = run.ended = true;
    run.startMs = TickLocked();
    g_world->starts.push_back(g_world->nowMs);
    g_world->nowMs += scripted.ranMs;
    g_world->ends.push_back(g_world->nowMs);
    run.endMs = TickLocked();
    run.exitCode = scripted.exitCode;
    run.withSession = scripted.withSession;
    run.session = 1;
    run.user = L"alice";
    return run;
}

}  // namespace

ProgramPresence NeverRunning(long long) { return ProgramPresence::Absent; }

void InstallSimulatedWorld(SimulatedWorld* world) {
    g_world = world;
    Platform().TickMs = [] {
        std::lock_guard<std::mutex> lock(g_world->lock);
        return TickLocked();
    };
    Platform().Pause = SimPause;
    Platform().FindGuardedProgram = SimPresence;
    Platform().Probe = SimProbe;
    Platform().RunGuardedProgram = SimRun;
}

void RunInSimulatedTime(SimulatedWorld& world, CZUNACertService& guard, long long seconds) {
    world.endMs = seconds * 1000;  // before the loop's thread starts
    guard.Start(0, nullptr);
    {
        // The slowest here, 1000 s of failing real launches, takes up to 5 s on a busy machine.
        CWatchdog dog(10, "the watch loop's " + std::to_string(seconds) + " s of simulated time");
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(world.lock);
                return world.frozen;
            },
            std::chrono::hours(24), std::chrono::milliseconds(5));
    }
    CWatchdog dog(10, "the stop at the end of simulated time");
    guard.Stop();
}

std::vector<long long> GapsBetweenRuns(const SimulatedWorld& world) {
    std::vector<long long> gaps;
    for (size_t i = 1; i < world.starts.size(); ++i) gaps.push_back(world.starts[i] - world.ends[i - 1]);
    return gaps;
}
