#include "launcher/Application.h"

#include "support/Exception.h"

namespace {
constexpr const char* ApplicationClassName = "TApplication";
} // namespace

TApplication::TApplication(HINSTANCE instance, const std::string& title)
    : instance_(instance), class_([instance] {
          WNDCLASSA wc{};
          wc.lpfnWndProc = DefWindowProcA;
          wc.hInstance = instance;
          wc.lpszClassName = ApplicationClassName;
          return wc;
      }()) {
    // Never shown: it only carries the title that launchers search for. Without a caption
    // style the system adds no edge style of its own to the tool-window style set later.
    window_.Reset(CreateWindowExA(0, ApplicationClassName, title.c_str(), WS_POPUP, 0, 0, 0, 0,
                                  nullptr, nullptr, instance, nullptr));
    if (!window_)
        throw Exception("Cannot create the application window.");
}

std::string TApplication::Title() const {
    char text[256] = {};
    int n = GetWindowTextA(window_.Get(), text, sizeof text);
    return std::string(text, n > 0 ? n : 0);
}

void TApplication::SetTitle(const std::string& title) {
    SetWindowTextA(window_.Get(), title.c_str());
}

void TApplication::Run() {
    MSG msg;
    while (!terminated_) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            terminated_ = true;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            terminated_ = true;
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TApplication::Terminate() {
    terminated_ = true;
    PostQuitMessage(0);
}

bool AnotherLauncherRunning(TApplication& application) {
    const std::string kept = application.Title();
    application.SetTitle("x");
    if (FindWindowA(ApplicationClassName, kept.c_str()))
        return true;
    application.SetTitle(kept);
    return false;
}
