#pragma once
#include <windows.h>

// The program's whole start-up: single-instance check, log, command word or
// service mode. Always 0.
int GuardMain(int argc, wchar_t* argv[]);
