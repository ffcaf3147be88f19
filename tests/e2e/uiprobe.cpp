// uiprobe: what the end-to-end tests need to see and press on the Windows desktop.
//
//   uiprobe boxes OUTFILE STOPFILE   while STOPFILE is missing, finds every message box captioned
//                                    "QV/Brelmox" or "QVBrelmoxStart", appends
//                                    "<caption>\t<icon>\t<text with \n as \\n>" to OUTFILE and
//                                    presses OK; also notes "splash-topmost=<0|1>" before each
//   uiprobe shot OUT.bmp TIMEOUTMS   waits for the visible splash window and saves its pixels
//   uiprobe launch TIMEOUTMS CMDLINE starts CMDLINE and prints its start time and the
//                                    milliseconds until the splash window is visible and until
//                                    the process ended
//   uiprobe memory                   prints the launcher's working set in bytes (-1 when none)
//   uiprobe close                    posts message 1025 to the splash window
//   uiprobe windows                  prints the launcher's windows: the application window's
//                                    class, title, extended style and visibility, the splash
//                                    window's rectangle, and its children's classes and texts
//   uiprobe resources EXE            prints whether EXE has an icon and its manifest

#include "platform/WinHandles.h"

#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HWND FindSplash() {
    HWND splash = FindWindowA("TSplash", "Splash");
    return splash && IsWindowVisible(splash) ? splash : nullptr;
}

std::string WindowText(HWND window) {
    char text[4096] = {};
    int n = GetWindowTextA(window, text, sizeof text);
    return std::string(text, n > 0 ? n : 0);
}

struct TBoxSearch {
    HWND found = nullptr;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    const std::string caption = WindowText(window);
    if (std::string(className) == "#32770" && IsWindowVisible(window) &&
        (caption == "QV/Brelmox" || caption == "QVBrelmoxStart")) {
        reinterpret_cast<TBoxSearch*>(param)->found = window;
        return FALSE;
    }
    return TRUE;
}

constexpr int IconSize = 32;

// The header that asks GetDIBits for bottom-up rows of this many bits per pixel.
BITMAPINFOHEADER DibHeader(int width, int height, WORD bits) {
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = bits;
    return info;
}

std::string Pixels(HDC memory, HBITMAP bitmap) {
    BITMAPINFOHEADER info = DibHeader(IconSize, IconSize, 32);
    std::string pixels(IconSize * IconSize * 4, '\0');
    GetDIBits(memory, bitmap, 0, IconSize, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    for (std::size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 0; // only colour counts
    return pixels;
}

// The screen's pixels at (x, y), or an icon drawn on the background colour.
std::string IconArea(int x, int y, HICON icon, COLORREF background) {
    HDC screen = GetDC(nullptr);
    UniqueMemoryDc memoryDc(CreateCompatibleDC(screen));
    HDC memory = memoryDc.Get();
    UniqueGdiObject bitmap(CreateCompatibleBitmap(screen, IconSize, IconSize));
    HGDIOBJ old = SelectObject(memory, bitmap.Get());
    if (icon) {
        UniqueGdiObject brush(CreateSolidBrush(background));
        RECT all{0, 0, IconSize, IconSize};
        FillRect(memory, &all, static_cast<HBRUSH>(brush.Get()));
        DrawIconEx(memory, 0, 0, icon, IconSize, IconSize, 0, nullptr, DI_NORMAL);
    } else {
        BitBlt(memory, 0, 0, IconSize, IconSize, screen, x, y, SRCCOPY);
    }
    SelectObject(memory, old);
    std::string pixels = Pixels(memory, static_cast<HBITMAP>(bitmap.Get()));
    ReleaseDC(nullptr, screen);
    return pixels;
}

BOOL CALLBACK FindIconControl(HWND child, LPARAM param) {
    char className[64] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0 &&
        (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(param) = child;
        return FALSE;
    }
    return TRUE;
}

// Which icon a message box shows, told from the screen: an icon handle of another process
// cannot be drawn here. The tests only need to tell information from error.
std::string IconKind(HWND box) {
    HWND control = nullptr;
    EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
    if (!control)
        return "none";
    RECT r;
    GetWindowRect(control, &r);
    HDC screen = GetDC(nullptr);
    const COLORREF background = GetPixel(screen, r.left, r.top); // icon corners are clear
    ReleaseDC(nullptr, screen);
    const std::string shown = IconArea(r.left, r.top, nullptr, 0);
    if (shown == IconArea(0, 0, LoadIcon(nullptr, IDI_ERROR), background))
        return "error";
    if (shown == IconArea(0, 0, LoadIcon(nullptr, IDI_INFORMATION), background))
        return "information";
    return "other";
}

// Backslashes, line feeds and carriage returns escaped, so a text stays on one line.
std::string Escaped(const std::string& text) {
    std::string escaped;
    for (char c : text)
        escaped += c == '\\'   ? std::string("\\\\")
                   : c == '\n' ? std::string("\\n")
                   : c == '\r' ? std::string("\\r")
                               : std::string(1, c);
    return escaped;
}

// Whether the window lies above the splash window in the desktop's stacking order.
bool AboveSplash(HWND window) {
    HWND splash = FindWindowA("TSplash", "Splash");
    for (HWND below = GetWindow(window, GW_HWNDNEXT); below; below = GetWindow(below, GW_HWNDNEXT))
        if (below == splash)
            return true;
    return false;
}

bool Exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int Boxes(const char* outPath, const char* stopPath) {
    while (!Exists(stopPath)) {
        TBoxSearch search;
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) {
            Sleep(50);
            continue;
        }
        Sleep(100); // let the box finish painting before its text is read
        const std::string line = WindowText(search.found) + "\t" + IconKind(search.found) + "\t" +
                                 Escaped(WindowText(GetDlgItem(search.found, 0xFFFF))) +
                                 "\tabove-splash=" + (AboveSplash(search.found) ? "1" : "0") + "\n";
        SendMessageA(search.found, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 100 && IsWindow(search.found); ++i)
            Sleep(20);
        // Written once the box is gone, so a reader knows the launcher has gone on.
        UniqueFileHandle out(CreateFileA(outPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (out)
            WriteAll(out.Get(), line);
    }
    return 0;
}

bool SaveBitmap(const char* path, HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    UniqueMemoryDc memoryDc(CreateCompatibleDC(screen));
    HDC memory = memoryDc.Get();
    UniqueGdiObject bitmap(CreateCompatibleBitmap(screen, w, h));
    HGDIOBJ old = SelectObject(memory, bitmap.Get());
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info = DibHeader(w, h, 24);
    const DWORD stride = (w * 3 + 3) & ~3;
    std::string pixels(stride * h, '\0');
    GetDIBits(memory, static_cast<HBITMAP>(bitmap.Get()), 0, h, pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    UniqueFileHandle out(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    return out &&
           WriteAll(out.Get(), std::string_view(reinterpret_cast<char*>(&file), sizeof file)) &&
           WriteAll(out.Get(), std::string_view(reinterpret_cast<char*>(&info), sizeof info)) &&
           WriteAll(out.Get(), pixels);
}

int Shot(const char* path, int timeoutMs) {
    const DWORD start = GetTickCount();
    while (!FindSplash()) {
        if (static_cast<int>(GetTickCount() - start) > timeoutMs)
            return 1;
        Sleep(20);
    }
    Sleep(300); // the first paint
    return SaveBitmap(path, FindSplash()) ? 0 : 1;
}

std::int64_t UnixMilliseconds() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    std::uint64_t t = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>(t / 10000 - 11644473600000ULL);
}

// Starts the command line; prints "start=<Unix ms>", then "splash=<ms>" once the splash window
// is visible and "exit=<ms>" once the process has ended (-1 for a time-out).
int Launch(int timeoutMs, const char* commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER frequency, begin, now;
    QueryPerformanceFrequency(&frequency);
    std::printf("start=%lld\n", static_cast<long long>(UnixMilliseconds()));
    QueryPerformanceCounter(&begin);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &pi))
        return 1;
    UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    auto elapsed = [&] {
        QueryPerformanceCounter(&now);
        return (now.QuadPart - begin.QuadPart) * 1000.0 / frequency.QuadPart;
    };
    double splash = -1;
    while (splash < 0 && elapsed() < timeoutMs) {
        if (FindSplash())
            splash = elapsed();
        else
            Sleep(1);
    }
    std::printf("splash=%.1f\n", splash);
    bool ended = WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
    std::printf("exit=%.1f\n", ended ? elapsed() : -1.0);
    return 0;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
    char className[64] = {};
    GetClassNameA(child, className, sizeof className);
    std::printf("child=%s|%s\n", className, WindowText(child).c_str());
    return TRUE;
}

int Windows() {
    HWND application = FindWindowA("TApplication", "QVBrelmoxStart");
    if (application)
        std::printf("application=TApplication|%s|exstyle=%#lx|visible=%d\n",
                    WindowText(application).c_str(),
                    static_cast<unsigned long>(GetWindowLongA(application, GWL_EXSTYLE)),
                    IsWindowVisible(application) ? 1 : 0);
    HWND splash = FindWindowA("TSplash", "Splash");
    if (!splash)
        return 0;
    RECT r;
    GetWindowRect(splash, &r);
    std::printf("splash=%ld,%ld,%ld,%ld|screen=%d,%d|topmost=%d\n", r.left, r.top, r.right,
                r.bottom, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                (GetWindowLongA(splash, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0);
    EnumChildWindows(splash, PrintChild, 0);
    return 0;
}

int Resources(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return 1;
    std::printf("icon=%d\n", FindResourceA(module, "MAINICON", MAKEINTRESOURCEA(14)) ? 1 : 0);
    HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (manifest) {
        const char* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
        std::printf("manifest=%.*s\n", static_cast<int>(SizeofResource(module, manifest)), text);
    }
    FreeLibrary(module);
    return 0;
}

int Memory() {
    HWND application = FindWindowA("TApplication", "QVBrelmoxStart");
    DWORD pid = 0;
    if (application)
        GetWindowThreadProcessId(application, &pid);
    UniqueKernelHandle process(
        pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : nullptr);
    PROCESS_MEMORY_COUNTERS counters{};
    if (!process || !GetProcessMemoryInfo(process.Get(), &counters, sizeof counters)) {
        std::printf("-1\n");
        return 0;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(counters.WorkingSetSize));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "boxes" && argc == 4)
        return Boxes(argv[2], argv[3]);
    if (what == "shot" && argc == 4)
        return Shot(argv[2], std::atoi(argv[3]));
    if (what == "launch" && argc == 4)
        return Launch(std::atoi(argv[2]), argv[3]);
    if (what == "memory")
        return Memory();
    if (what == "topmost") {
        HWND splash = FindWindowA("TSplash", "Splash");
        std::printf("%d\n",
                    splash ? (GetWindowLongA(splash, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0 : -1);
        return 0;
    }
    if (what == "windows")
        return Windows();
    if (what == "resources" && argc == 3)
        return Resources(argv[2]);
    if (what == "close")
        return PostMessageA(FindWindowA("TSplash", "Splash"), WM_USER + 1, 0, 0) ? 0 : 1;
    std::fputs("usage: uiprobe boxes OUT STOP | shot OUT.bmp MS | launch MS CMDLINE | memory | "
               "close | windows | resources EXE\n",
               stderr);
    return 2;
}
