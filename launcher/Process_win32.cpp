#include "launcher/Process.h"

#include "platform/WinHandles.h"

#include <vector>

void StartProcess(const std::string& commandLine, std::uint16_t showState,
                  const std::string& directory, TProcessInformation& info,
                  const std::string& application) {
    // CreateProcessA may write into the command line, so it gets a buffer of its own, sized
    // to the text rather than to a fixed limit.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    std::string dir = directory;
    if (dir.empty()) {
        std::vector<char> current(MAX_PATH + 1);
        DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(current.size()), current.data());
        if (n >= current.size()) {
            current.resize(n + 1);
            n = GetCurrentDirectoryA(static_cast<DWORD>(current.size()), current.data());
        }
        dir.assign(current.data(), n < current.size() ? n : 0);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showState;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), line.data(), nullptr,
                        nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &startup, &pi)) {
        // Now, before the buffers are freed: freeing may change the thread's last error.
        const DWORD code = GetLastError();
        info = TProcessInformation{};
        info.ErrorCode = code;
        return;
    }
    info.Process = reinterpret_cast<std::uintptr_t>(pi.hProcess);
    info.Thread = reinterpret_cast<std::uintptr_t>(pi.hThread);
    info.ProcessId = pi.dwProcessId;
    info.ThreadId = pi.dwThreadId;
}

std::int32_t RunAndWait(const std::string& commandLine, std::uint16_t showState,
                        const std::string& directory) {
    TProcessInformation info;
    StartProcess(commandLine, showState, directory, info);
    if (info.Process == 0)
        return -static_cast<std::int32_t>(info.ErrorCode);
    UniqueKernelHandle process(reinterpret_cast<HANDLE>(info.Process));
    UniqueKernelHandle thread(reinterpret_cast<HANDLE>(info.Thread));
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return static_cast<std::int32_t>(code);
}

std::string SystemMessageText(std::uint32_t code) {
    constexpr DWORD MessageTextLimit = 256;
    char text[MessageTextLimit + 1] = {};
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, MessageTextLimit, nullptr);
    return std::string(text, n < MessageTextLimit ? n : MessageTextLimit);
}
