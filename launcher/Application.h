#pragma once
// The launcher's application object: the hidden top-level window of class "TApplication" whose
// caption is the application title (a second launcher looks for it), and the message loop.
// Windows only.

#include <string>

#include "platform/WinHandles.h"

class TApplication {
public:
    // Creates the hidden window with the given title. Raises Exception when it cannot.
    TApplication(HINSTANCE instance, const std::string& title);

    HWND Handle() const { return window_.Get(); }
    HINSTANCE Instance() const { return instance_; }
    std::string Title() const;
    void SetTitle(const std::string& title);

    // Runs the message loop until termination is requested.
    void Run();
    // Handles every message that is waiting, then returns.
    void ProcessMessages();
    // Requests the end of the message loop; it takes effect when control returns to it.
    void Terminate();
    bool Terminated() const { return terminated_; }

private:
    HINSTANCE instance_;
    UniqueWindowClass class_;
    UniqueWindow window_;
    bool terminated_ = false;
};

// The running-launcher check: true when another launcher's application window carries this
// application's title. The own window is renamed during the search so it cannot match itself.
bool AnotherLauncherRunning(TApplication& application);
