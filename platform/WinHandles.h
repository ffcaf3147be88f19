#pragma once
// Owners for Windows handles. Included by Windows-only sources alone.

#include <windows.h>
// The print spooler's SetPort macro would rename a method of the HTTP client.
#undef SetPort

#include <string_view>

#include "platform/UniqueHandle.h"

// Writes every byte; WriteFile takes a 32-bit count, so large texts go in slices.
inline bool WriteAll(HANDLE file, std::string_view bytes) {
    constexpr std::size_t Slice = 1u << 24;
    while (!bytes.empty()) {
        DWORD want = static_cast<DWORD>(bytes.size() < Slice ? bytes.size() : Slice);
        DWORD done = 0;
        if (!WriteFile(file, bytes.data(), want, &done, nullptr) || done == 0)
            return false;
        bytes.remove_prefix(done);
    }
    return true;
}

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

// Windows this program created; children go with their parent.
struct WindowTraits {
    using Handle = HWND;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DestroyWindow(h); }
};
using UniqueWindow = UniqueHandle<WindowTraits>;

// Fonts, brushes and bitmaps.
struct GdiObjectTraits {
    using Handle = HGDIOBJ;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeleteObject(h); }
};
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;

// Memory device contexts.
struct MemoryDcTraits {
    using Handle = HDC;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeleteDC(h); }
};
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;

// A registered window class, unregistered when its owner goes.
class UniqueWindowClass {
public:
    UniqueWindowClass() = default;
    explicit UniqueWindowClass(const WNDCLASSA& wc)
        : instance_(wc.hInstance), name_(wc.lpszClassName) {
        if (!RegisterClassA(&wc))
            name_ = nullptr;
    }
    UniqueWindowClass(const UniqueWindowClass&) = delete;
    UniqueWindowClass& operator=(const UniqueWindowClass&) = delete;
    ~UniqueWindowClass() {
        if (name_)
            UnregisterClassA(name_, instance_);
    }
    bool IsValid() const noexcept { return name_ != nullptr; }

private:
    HINSTANCE instance_ = nullptr;
    const char* name_ = nullptr;
};
