#pragma once
// Owners for Windows handles. Included by Windows-only sources alone.

#include <windows.h>
// The print spooler's SetPort macro would rename a method of the HTTP client.
#undef SetPort

#include <string>
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

// Loaded modules.
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { FreeLibrary(h); }
};
using UniqueModule = UniqueHandle<ModuleTraits>;

// A system DLL from the system folder only: a bare name would also be answered by a file of
// that name in the installation folder, which anyone who can write there could plant.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
inline HMODULE LoadSystemLibrary(const char* name) {
    if (HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return module;
    // Systems without the search flags refuse it as an invalid parameter; the full path into
    // the system folder serves there.
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return nullptr;
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return LoadLibraryA((std::string(folder, length) + "\\" + name).c_str());
}

// A function of a loaded module, typed as the function it is; false when it is missing.
template <class F> bool LoadFunction(const UniqueModule& module, F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module.Get(), name)));
    return function != nullptr;
}
