#include "ModulePath.h"

#include <windows.h>

#include <vector>

#include "Platform.h"

std::wstring GetModulePath() {
    // A path longer than MAX_PATH is not cut: the buffer grows until it fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = Platform().GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring GetModuleDirectory() {
    const std::wstring path = GetModulePath();
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}
