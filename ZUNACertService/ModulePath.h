#pragma once
// Where the running executable lies: the guard starts the program beside it,
// the installer registers it.
#include <string>

// Full path of the running executable, never cut; empty on failure.
std::wstring GetModulePath();
// Directory of the running executable, without a trailing backslash; empty
// when the module path cannot be had.
std::wstring GetModuleDirectory();
