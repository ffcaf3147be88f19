// uiprobe: what the end-to-end tests need to see and press on the Windows desktop.
//
//   uiprobe boxes OUTFILE STOPFILE   while STOPFILE is missing, finds every message box captioned
//                                    "QV/Brelmox" or "QVBrelmoxStart", appends
//                                    "<caption>\t<icon>\t<text with \n as \\n>" to OUTFILE and
//                                    presses OK; also notes "splash-topmost=<0|1>" before each
//   uiprobe shot OUT.bmp TIMEOUTMS   waits for the visible splash window and saves its pixels
//   uiprobe launch TIMEOUTMS CMDLINE starts CMDLINE and prints the milliseconds until the splash
//                                    window is visible (-1 on time-out), leaving it running
//   uiprobe memory                   prints the launcher's working set in bytes (-1 when none)

#include "platform/WinHandles.h"

#include <psapi.h>

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

// Which icon a message box shows, from the icon control's image: the tests only need to tell
// information from error.
std::string IconKind(HWND box) {
    HWND icon = GetDlgItem(box, 0x14); // the message box's icon control
    HICON shown = icon ? reinterpret_cast<HICON>(SendMessageA(icon, STM_GETICON, 0, 0)) : nullptr;
    if (!shown)
        return "none";
    if (shown == LoadIcon(nullptr, IDI_ERROR))
        return "error";
    if (shown == LoadIcon(nullptr, IDI_INFORMATION))
        return "information";
    return "other";
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
        HWND splash = FindWindowA("TSplash", "Splash");
        const bool topmost = splash && (GetWindowLongA(splash, GWL_EXSTYLE) & WS_EX_TOPMOST);
        std::string text = WindowText(GetDlgItem(search.found, 0xFFFF));
        std::string escaped;
        for (char c : text)
            escaped += c == '\n'   ? std::string("\\n")
                       : c == '\r' ? std::string("\\r")
                                   : std::string(1, c);
        std::string line = WindowText(search.found) + "\t" + IconKind(search.found) + "\t" +
                           escaped + "\tsplash-topmost=" + (topmost ? "1" : "0") + "\n";
        {
            UniqueFileHandle out(CreateFileA(outPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (out)
                WriteAll(out.Get(), line);
        }
        SendMessageA(search.found, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 100 && IsWindow(search.found); ++i)
            Sleep(20);
    }
    return 0;
}

bool SaveBitmap(const char* path, HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    UniqueGdiObject bitmap(CreateCompatibleBitmap(screen, w, h));
    HGDIOBJ old = SelectObject(memory, bitmap.Get());
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    const DWORD stride = (w * 3 + 3) & ~3;
    std::string pixels(stride * h, '\0');
    GetDIBits(memory, static_cast<HBITMAP>(bitmap.Get()), 0, h, pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteDC(memory);
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

int Launch(int timeoutMs, const char* commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER frequency, begin, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &pi))
        return 1;
    UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    for (;;) {
        QueryPerformanceCounter(&now);
        double ms = (now.QuadPart - begin.QuadPart) * 1000.0 / frequency.QuadPart;
        if (FindSplash()) {
            std::printf("%.1f\n", ms);
            return 0;
        }
        if (ms > timeoutMs) {
            std::printf("-1\n");
            return 0;
        }
        Sleep(1);
    }
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
    std::fputs("usage: uiprobe boxes OUT STOP | shot OUT.bmp MS | launch MS CMDLINE | memory\n",
               stderr);
    return 2;
}
