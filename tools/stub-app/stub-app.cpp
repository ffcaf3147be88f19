// stub-app: stands in for the managed application in tests and the demo. Started by the
// launcher as <AppDir><name> //OK //<status handle> //<window handle> /Contrib /AppDir:"..." ...
//
// It writes a record file (STUB_RECORD, default "stub-record.txt" in the current directory),
// replaced whole each time it changes, with lines:
//   started=<Unix time in ms>  cmdline=<its command line>  cwd=<its current directory>
//   module=<the full path of the program that runs>
//   status=<text of the status-line window whose handle it received>
//   syscommand=<wParam>        (one per WM_SYSCOMMAND its window received, STUB_HOLD only)
// and, as its environment asks, in this order:
//   STUB_LOCK=PATH         keeps PATH open without delete sharing (so it cannot be renamed);
//   STUB_HOLD=1            holds the mutex "QVBrelmox" with a window of its own (hidden when
//                          STUB_HIDDEN=1) whose handle it stores in the registry value
//                          HKCU\Software\Dravo\Handles\QVBrelmox;
//   STUB_CLOSE_LAUNCHER=1  posts message 1025 to the window handle it received;
//   STUB_LINGER=SECONDS    stays that long, handling its window's messages, before it ends;
//   STUB_EXIT=CODE         ends with that exit code (0 when unset).

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/CommandLine.h"
#include "platform/WinHandles.h"

namespace {

// The record file, rewritten whole through a temporary so a reader never sees half of it.
class TRecord {
public:
    explicit TRecord(std::string path) : path_(std::move(path)) {}
    void Add(const std::string& line) { lines_.push_back(line); }
    void Save() const {
        std::string text;
        for (const auto& line : lines_)
            text += line + "\n";
        const std::string temporary = path_ + ".tmp";
        {
            UniqueFileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file || !WriteAll(file.Get(), text))
                return;
        }
        MoveFileExA(temporary.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    void Record(const std::string& line) {
        Add(line);
        Save();
    }

private:
    std::string path_;
    std::vector<std::string> lines_;
};

std::int64_t UnixMilliseconds() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    std::uint64_t t = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>(t / 10000 - 11644473600000ULL);
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

HWND HandleParameter(const std::vector<std::string>& params, std::size_t i) {
    if (i >= params.size() || params[i].rfind("//", 0) != 0)
        return nullptr;
    return reinterpret_cast<HWND>(
        static_cast<std::intptr_t>(std::strtol(params[i].c_str() + 2, nullptr, 10)));
}

LRESULT CALLBACK HolderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrA(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    auto* record = reinterpret_cast<TRecord*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_SYSCOMMAND && record) {
        record->Record("syscommand=" + std::to_string(wParam & 0xFFF0));
        return 0; // the record is what matters; the window stays as it is
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The window that stands for the running application's main window.
UniqueWindow MakeHolderWindow(HINSTANCE instance, TRecord& record) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = HolderProc;
    wc.hInstance = instance;
    wc.lpszClassName = "QVBrelmoxStubApp";
    RegisterClassA(&wc); // lives as long as the process
    UniqueWindow window(CreateWindowExA(0, "QVBrelmoxStubApp", "QVBrelmox stub application",
                                        WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                        instance, &record));
    if (Env("STUB_HIDDEN") != "1")
        ShowWindow(window.Get(), SW_SHOWNORMAL);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Dravo\\Handles\\", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        DWORD value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(window.Get()));
        RegSetValueExA(key, "QVBrelmox", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    record.Record("holding=" + std::to_string(reinterpret_cast<std::uintptr_t>(window.Get())));
    return window;
}

void Linger(int seconds) {
    const DWORD until = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    while (static_cast<LONG>(until - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const std::int64_t started = UnixMilliseconds();
    TRecord record(Env("STUB_RECORD").empty() ? "stub-record.txt" : Env("STUB_RECORD"));
    record.Add("started=" + std::to_string(started));
    record.Add(std::string("cmdline=") + GetCommandLineA());
    char cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof cwd, cwd);
    record.Add(std::string("cwd=") + cwd);
    char module[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    record.Add(std::string("module=") + module);

    // The handles follow "//OK"; the program path before it is unquoted, so in a folder with a
    // space it is more than one token.
    const std::vector<std::string> params = SplitCommandLine(GetCommandLineA());
    std::size_t ok = 1;
    while (ok < params.size() && params[ok] != "//OK")
        ++ok;
    HWND statusLine = HandleParameter(params, ok + 1);
    HWND splash = HandleParameter(params, ok + 2);
    char status[256] = {};
    if (statusLine)
        GetWindowTextA(statusLine, status, sizeof status);
    record.Record(std::string("status=") + status);

    UniqueFileHandle locked;
    if (!Env("STUB_LOCK").empty())
        locked.Reset(CreateFileA(Env("STUB_LOCK").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueKernelHandle mutex;
    UniqueWindow holder;
    if (Env("STUB_HOLD") == "1") {
        mutex.Reset(CreateMutexA(nullptr, FALSE, "QVBrelmox"));
        holder = MakeHolderWindow(instance, record);
    }
    if (Env("STUB_CLOSE_LAUNCHER") == "1" && splash)
        PostMessageA(splash, WM_USER + 1, 0, 0);
    Linger(std::atoi(Env("STUB_LINGER").c_str()));
    return std::atoi(Env("STUB_EXIT").c_str());
}
