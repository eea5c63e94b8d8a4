#pragma once
// One owner per Win32 resource: a small move-only holder and one alias per kind.
#include <windows.h>
#include <userenv.h>

template <typename Traits>
class CUniqueHandle {
public:
    using pointer = typename Traits::pointer;

    CUniqueHandle() noexcept : m_value(Traits::Invalid()) {}
    explicit CUniqueHandle(pointer value) noexcept : m_value(value) {}
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_value(other.release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    ~CUniqueHandle() { reset(); }

    pointer get() const noexcept { return m_value; }
    bool valid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept {
        pointer value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    void reset(pointer value = Traits::Invalid()) noexcept {
        if (m_value != Traits::Invalid()) Traits::Close(m_value);
        m_value = value;
    }
    // For out-parameters: releases what is held and hands out the slot.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

// Toolhelp snapshots and files report failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::CloseServiceHandle(h); }
};

struct EnvironmentBlockTraits {
    using pointer = LPVOID;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer p) noexcept { ::DestroyEnvironmentBlock(p); }
};

struct EventSourceTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept;  // through the platform table, so tests see it
};

struct RegistryKeyTraits {
    using pointer = HKEY;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer k) noexcept { ::RegCloseKey(k); }
};

// What the security and SDDL functions hand out with LocalAlloc.
struct LocalMemoryTraits {
    using pointer = void*;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer p) noexcept { ::LocalFree(p); }
};

using CHandle = CUniqueHandle<KernelHandleTraits>;
using CFileHandle = CUniqueHandle<FileHandleTraits>;
using CServiceHandle = CUniqueHandle<ServiceHandleTraits>;
using CEnvironmentBlock = CUniqueHandle<EnvironmentBlockTraits>;
using CEventSource = CUniqueHandle<EventSourceTraits>;
using CRegistryKey = CUniqueHandle<RegistryKeyTraits>;
using CLocalMemory = CUniqueHandle<LocalMemoryTraits>;
