// Writes log records the way the guard does, for tests that need a process of
// its own: "before <text>" logs without InitLog, "write <text>" with it.
#include <cstdio>
#include <cstring>
#include <string>

#include "utils.h"

int wmain(int argc, wchar_t** wargv) {
    if (argc < 3) return 2;
    const std::wstring wmode = wargv[1], wtext = wargv[2];
    const std::string mode(wmode.begin(), wmode.end());
    const std::string text(wtext.begin(), wtext.end());
    if (mode == "write") InitLog();
    WriteLog("logprobe", 1, text, 0);
    WriteLog("logprobe", 2, text, 0);
    std::printf("logprobe returned\n");
    return 0;
}
