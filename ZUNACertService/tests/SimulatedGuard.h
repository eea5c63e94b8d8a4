#pragma once
// The watch loop in simulated time: the clock moves only in the loop's pauses
// and stands still at `endMs`, where the test stops the loop. The program's
// presence and the probe's outcome are scripted, each probe is recorded, and
// the runs are scripted or left to the real launcher.
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "CZUNACertService.h"

// One scripted run: how long it lasts and how it ends.
struct SimulatedRun {
    long long ranMs = 1000;
    DWORD exitCode = 3;
    bool withSession = false;  // ended with its session (a logoff, a switch)
};

struct SimulatedWorld {
    std::mutex lock;
    long long nowMs = 0, endMs = 0;  // simulated time since the loop began, and where it stands still
    bool frozen = false;             // the loop has paused at endMs
    ULONGLONG tickBase = 1000000;                  // the tick count when the loop began
    std::function<long long(long long)> tickJump;  // added to the tick count at a time; null: none
    std::function<void(SimulatedWorld&)> at;       // called under the lock as time passes
    // Called without the lock, so it may block or throw as a broken table does.
    std::function<ProgramPresence(long long)> presence = [](long long) { return ProgramPresence::Running; };
    ProbeOutcome outcome{"{\"ok\":true}", 0, 200};
    // When set, the guard's starts run here, in alice's session 1; else the real launcher runs.
    std::function<SimulatedRun(int)> script;
    std::vector<long long> starts, ends, probes;  // ms at each run's start and end; s at each probe
    std::map<DWORD, int> pauses;                  // how many pauses of each length
    int scans = 0;
    HANDLE wake = nullptr;  // what the loop's pauses wait on
};

ProgramPresence NeverRunning(long long);
// Puts `world` into the platform table.
void InstallSimulatedWorld(SimulatedWorld* world);
// Starts `guard`, lets its loop run through `seconds` of simulated time, then stops it.
void RunInSimulatedTime(SimulatedWorld& world, CZUNACertService& guard, long long seconds);
// From each run's end to the next start.
std::vector<long long> GapsBetweenRuns(const SimulatedWorld& world);
