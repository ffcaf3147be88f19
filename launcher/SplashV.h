#pragma once
// The splash window: the launcher's only visible window. It shows the product title, the logo,
// the version and the status line, owns the update client and the window values, and runs the
// start-up sequence from its start-up timer. Windows only.

#include <string>

#include "launcher/Application.h"
#include "launcher/CommandLine.h"
#include "launcher/Process.h"
#include "update/Updater.h"

// Message that any process may send to end the launcher.
constexpr UINT WMCloseRequestMessage = WM_USER + 1;

class TSplash final : public ISplashView {
public:
    // Builds the window and its parts, starts the close timer and runs FormCreate, which shows
    // the window and arms the start-up timer. Raises Exception when the window cannot be made.
    TSplash(TApplication& application, std::string appDir, TCommandLine commandLine);
    ~TSplash() override;
    TSplash(const TSplash&) = delete;
    TSplash& operator=(const TSplash&) = delete;

    HWND Handle() const { return window_.Get(); }
    HWND StatusHandle() const { return LabelStatus; }

    void SetStatus(const std::string& text) override;
    void SetVersionLabel(const std::string& text) override;
    void InfoBox(const std::string& text) override;
    void ProcessMessages() override;

    void LeaveTopMost();
    void ReturnTopMost();

private:
    void FormCreate();
    void TimerInitTimer();
    void TimerCloseTimer();
    void WMCloseRequest();
    void EnableTimer(UINT_PTR id, bool enabled);
    void RepaintNow();
    void Paint(HDC dc);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    TApplication& application_;
    const std::string appDir_;
    std::string workDir_;
    const TCommandLine commandLine_;

    UniqueGdiObject titleFont_, versionWordFont_, smallFont_, logo_;
    UniqueWindowClass class_;
    UniqueWindow window_;
    HWND LabelNroVersao = nullptr; // children: destroyed with the window
    HWND LabelStatus = nullptr;
    std::string label1Text_, label2Text_;
    bool timerInitEnabled_ = false, timerCloseEnabled_ = false;

    TIdHTTP IdHTTP;
    TSplashValues values_;
    TUpdater updater_;
    // The started application's handles, kept while the launcher runs.
    UniqueKernelHandle appProcess_, appThread_;
};
