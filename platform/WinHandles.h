#pragma once
// Owners for Windows handles. Included by Windows-only sources alone.

#include <windows.h>

#include "platform/UniqueHandle.h"

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept {
        // Keeps the caller's last error intact: it is often read right after the scope ends.
        DWORD saved = GetLastError();
        CloseHandle(h);
        SetLastError(saved);
    }
};
using UniqueFileHandle = UniqueHandle<KernelHandleTraits>;

// Kernel objects whose "no handle" value is null (mutexes, processes, threads).
struct NullableKernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { KernelHandleTraits::Close(h); }
};
using UniqueKernelHandle = UniqueHandle<NullableKernelHandleTraits>;
