#pragma once
// What the update code needs of the splash window: its status line, its version label, the
// launcher's message box, a turn of the message loop, and the window values it shares.

#include <cstdint>
#include <string>

class ISplashView {
public:
    virtual ~ISplashView() = default;
    // Sets the status line and repaints it before returning.
    virtual void SetStatus(const std::string& text) = 0;
    // Sets the caption of the version label (no forced repaint).
    virtual void SetVersionLabel(const std::string& text) = 0;
    // The launcher's one message box: caption "QV/Brelmox", information icon, waits for OK.
    virtual void InfoBox(const std::string& text) = 0;
    // Lets the window handle every pending message (timers, repaints).
    virtual void ProcessMessages() = 0;
};

// Values of the splash window that the version check sets and the usage report reads.
struct TSplashValues {
    std::string Versao, VersaoExe, Unidade, Usuario, Telefone, Email;
    std::int64_t DownloadTotal = 0;
};
