// The launcher's entry and exit: AppDir and its registry value, the running-application guard,
// the application object and the splash window, the message loop, and the exit-time swap of a
// delivered executable (checked against the pinned publisher in builds with one). The exit
// code is 0 on every path.

#include "launcher/Entry.h"

#include "launcher/Application.h"
#include "launcher/SelfReplace.h"
#include "launcher/SplashV.h"
#include "support/FileHelpers.h"
#include "support/Registry.h"
#include "update/Updater.h"

bool CheckRunningApplication() {
    UniqueKernelHandle mutex(CreateMutexA(nullptr, FALSE, "QVBrelmox"));
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    // Handles are 32-bit values, sign-extended where pointers are wider.
    HWND target = reinterpret_cast<HWND>(
        static_cast<std::intptr_t>(RegReadInteger(RootUserOrMachine, HandlesKey, "QVBrelmox")));
    if (!IsWindowVisible(target))
        PostMessageA(target, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    PostMessageA(target, WM_SYSCOMMAND, SC_RESTORE, 1);
    return true;
}

namespace {

void RunLauncher(HINSTANCE instance, const std::string& appDir) {
    TCommandLine commandLine = TCommandLine::FromProcess();
    if (commandLine.ParamCount() == 0 && CheckRunningApplication())
        return;
    // The title is the program's name until the splash window gives it its own.
    TApplication application(instance, "QVBrelmox");
    TSplash splash(application, appDir, std::move(commandLine));
    application.Run();
}

// The exit-time swap. With a pinned publisher, a delivered launcher that it did not sign never
// takes the place, and the next report says so; without one, the plain swap.
void SwapDeliveredLauncher(const std::string& appDir) {
    const std::string pinned = EmbeddedPublisherCertificate();
    if (pinned.empty()) {
        ReplaceOwnExecutable(appDir);
        return;
    }
    if (ReplaceOwnExecutable(appDir, PinnedPublisherCheck(pinned)) != swRefused)
        return;
    try {
        TUpdater::RecordLauncherRefused(appDir);
    } catch (...) {
        // A profile that cannot be written loses the report, never the exit.
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const std::string appDir = AppDirectory();
    RegWriteString(RootCurrentUser, HandlesKey, "QVBrelmox.AppDir", appDir);
    try {
        RunLauncher(instance, appDir);
    } catch (const std::exception& e) {
        MessageBoxA(nullptr, e.what(), "QVBrelmoxStart", MB_OK | MB_ICONERROR);
    }
    SwapDeliveredLauncher(appDir);
    return 0;
}
