#include "launcher/SplashV.h"

#include <cstdlib>

#include "platform/Files.h"
#include "support/Exception.h"
#include "support/FileHelpers.h"
#include "update/ProxySetting.h"
#include "update/ReleaseKeys.h"
#include "update/UpdateServer.h"

namespace {

constexpr const char* SplashClassName = "TSplash";
constexpr int SplashWidth = 330;
constexpr int SplashHeight = 202;
constexpr UINT_PTR TimerInitId = 1;
constexpr UINT_PTR TimerCloseId = 2;
constexpr UINT TimerInitInterval = 500;
constexpr UINT TimerCloseInterval = 60000;
constexpr WORD ShowNormal = 1, ShowShown = 5, ShowMinimised = 6;
constexpr int LogoResource = 101;

// Where the painted parts sit (left, top, right, bottom).
constexpr RECT Label1Box{0, 89, 330, 131};
constexpr int Image1Left = 48, Image1Top = 7;
constexpr RECT Label2Box{0, 131, 330, 147};
constexpr int Bevel1Top = 184;

const COLORREF Silver = RGB(192, 192, 192);

HFONT MakeFont(const char* face, int characterHeight, bool bold) {
    return CreateFontA(-characterHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

// Text centred both ways in box, over its own silver background; several lines allowed.
void PaintLabel(HDC dc, const RECT& box, const std::string& text, HGDIOBJ font) {
    UniqueGdiObject silver(CreateSolidBrush(Silver));
    FillRect(dc, &box, static_cast<HBRUSH>(silver.Get()));
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    RECT measure = box;
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &measure, DT_CENTER | DT_CALCRECT);
    RECT target = box;
    target.top = box.top + ((box.bottom - box.top) - (measure.bottom - measure.top)) / 2;
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &target, DT_CENTER | DT_NOCLIP);
    SelectObject(dc, old);
}

// Makes a directory current for a scope, and the previous one again at its end.
class TCurrentDirectory {
public:
    explicit TCurrentDirectory(const std::string& directory) {
        char previous[MAX_PATH + 1] = {};
        DWORD n = GetCurrentDirectoryA(sizeof previous, previous);
        if (n > 0 && n < sizeof previous)
            previous_.assign(previous, n);
        SetCurrentDirectoryA(directory.c_str());
    }
    ~TCurrentDirectory() {
        if (!previous_.empty())
            SetCurrentDirectoryA(previous_.c_str());
    }
    TCurrentDirectory(const TCurrentDirectory&) = delete;
    TCurrentDirectory& operator=(const TCurrentDirectory&) = delete;

private:
    std::string previous_;
};

} // namespace

TSplash::TSplash(TApplication& application, std::string appDir, TCommandLine commandLine)
    : application_(application), appDir_(std::move(appDir)), commandLine_(std::move(commandLine)),
      titleFont_(MakeFont("Tahoma", 16, true)), versionWordFont_(MakeFont("Tahoma", 11, false)),
      smallFont_(MakeFont("Tahoma", 9, false)),
      logo_(LoadImageA(application.Instance(), MAKEINTRESOURCEA(LogoResource), IMAGE_BITMAP, 0, 0,
                       0)),
      class_([&application] {
          WNDCLASSA wc{};
          wc.lpfnWndProc = WindowProc;
          wc.hInstance = application.Instance();
          wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
          wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
          wc.lpszClassName = SplashClassName;
          return wc;
      }()),
      label1Text_("QV/Brelmox\r\nC\xE1lculo do Imposto"), label2Text_("Vers\xE3o "),
      updater_(*this, IdHTTP, values_, appDir_) {
    const char* server = std::getenv("QVBRELMOX_SERVER");
    const TServerAddress address = UpdateServerAddress(server ? server : "");
    ConfigureUpdateClient(IdHTTP, address, platform::TTlsTrust{EmbeddedTlsRootPems()});
    ConfigureUpdateProxy(IdHTTP, appDir_ + "QVBrelmox.ini");
    updater_.ServerAddressError = address.Error;
    updater_.KeepConnection = address.Tls;
    const std::vector<std::string> keys = EmbeddedReleaseKeyPems();
    updater_.SignedReleases = !keys.empty();
    ReleaseKeysFromPems(keys, updater_.ReleaseKeys);
    updater_.AttachProgressHandlers();

    // Not owned by the application window: Wine keeps an owned popup in the topmost band when
    // asked to leave it, and the version check's message boxes must come above the splash. As
    // a tool window it still gets no taskbar button of its own.
    window_.Reset(CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, SplashClassName, "Splash",
                                  WS_POPUP, 0, 0, SplashWidth, SplashHeight, nullptr, nullptr,
                                  application.Instance(), this));
    if (!window_)
        throw Exception("Cannot create the splash window.");
    auto makeLabel = [this](const char* text, int top, int height) {
        HWND label = CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE | SS_CENTER, 0, top,
                                     SplashWidth, height, window_.Get(), nullptr,
                                     application_.Instance(), nullptr);
        SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(smallFont_.Get()), FALSE);
        return label;
    };
    LabelNroVersao = makeLabel("Carregando o sistema...", 158, 13);
    LabelStatus = makeLabel("Aguarde...", 187, 15);
    EnableTimer(TimerCloseId, true);
    FormCreate();
}

TSplash::~TSplash() {
    EnableTimer(TimerInitId, false);
    EnableTimer(TimerCloseId, false);
    // An application that already ended with a failure is the release's outcome to report.
    DWORD code = 0;
    if (updater_.SignedReleases && appProcess_ && GetExitCodeProcess(appProcess_.Get(), &code) &&
        code != STILL_ACTIVE && code != 0) {
        try {
            updater_.RecordApplicationFailure();
        } catch (...) {
        }
    }
    // The window goes first, while everything its messages might touch still exists.
    SetWindowLongPtrA(window_.Get(), GWLP_USERDATA, 0);
    window_.Reset();
}

void TSplash::FormCreate() {
    label2Text_ += " Contribuinte";
    SetWindowLongA(application_.Handle(), GWL_EXSTYLE, WS_EX_TOOLWINDOW);
    application_.SetTitle("QVBrelmoxStart");
    GetFileVersionText("QVBrelmoxApp.exe", values_.VersaoExe);

    // Centred on the primary monitor, whatever the design position.
    int left = (GetSystemMetrics(SM_CXSCREEN) - SplashWidth) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - SplashHeight) / 2;
    SetWindowPos(window_.Get(), nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_.Get(), SW_SHOWNORMAL);
    RepaintNow();
    EnableTimer(TimerInitId, true);
}

void TSplash::SetStatus(const std::string& text) {
    SetWindowTextA(LabelStatus, text.c_str());
    // The thread stays busy afterwards, so the line is painted now.
    InvalidateRect(LabelStatus, nullptr, TRUE);
    UpdateWindow(LabelStatus);
}

void TSplash::SetVersionLabel(const std::string& text) {
    SetWindowTextA(LabelNroVersao, text.c_str());
}

void TSplash::InfoBox(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), "QV/Brelmox", MB_OK | MB_ICONINFORMATION);
}

void TSplash::ProcessMessages() {
    application_.ProcessMessages();
}

void TSplash::LeaveTopMost() {
    SetWindowPos(window_.Get(), HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

void TSplash::ReturnTopMost() {
    SetWindowPos(window_.Get(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

void TSplash::RepaintNow() {
    RedrawWindow(window_.Get(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void TSplash::EnableTimer(UINT_PTR id, bool enabled) {
    bool& state = id == TimerInitId ? timerInitEnabled_ : timerCloseEnabled_;
    if (state == enabled || !window_)
        return;
    state = enabled;
    if (enabled)
        SetTimer(window_.Get(), id, id == TimerInitId ? TimerInitInterval : TimerCloseInterval,
                 nullptr);
    else
        KillTimer(window_.Get(), id);
}

void TSplash::TimerInitTimer() {
    EnableTimer(TimerInitId, false);
    workDir_ = WorkDirectory(appDir_, commandLine_);
    if (AnotherLauncherRunning(application_)) {
        application_.Terminate();
        return;
    }
    LeaveTopMost();
    RepaintNow();

    SetStatus("Checando Nova Vers\xE3o...");
    updater_.CheckForUpdates();

    if (platform::FileExists(workDir_ + "QVStart.cmd")) {
        SetStatus("Executando QVStart.cmd...");
        bool show = commandLine_.FindSwitch("Show", AnySwitchChar, true);
        // The system looks for the bare name in the launcher's folder and then in the current
        // directory, so the work directory is made current while the script is started: a
        // script on the work drive is found too.
        TCurrentDirectory inWorkDir(workDir_);
        RunAndWait("QVStart.cmd", show ? ShowShown : ShowMinimised, workDir_);
    }
    ReturnTopMost();

    SetStatus("Carregando...");
    EnableTimer(TimerCloseId, true);
    application_.ProcessMessages();

    const std::string name = ManagedApplicationName(commandLine_);
    const std::string line = ManagedApplicationCommandLine(
        appDir_, name, static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(LabelStatus)),
        static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(window_.Get())), commandLine_);
    TProcessInformation info;
    // The full path as the program: the first word of a folder with a space is never run.
    StartProcess(line, ShowNormal, workDir_, info, appDir_ + name + ".exe");
    if (info.Process == 0) {
        if (info.ErrorCode > 0)
            InfoBox(StartFailureMessage(static_cast<std::int32_t>(info.ErrorCode),
                                        SystemMessageText(info.ErrorCode), line));
        return;
    }
    appProcess_.Reset(reinterpret_cast<HANDLE>(info.Process));
    appThread_.Reset(reinterpret_cast<HANDLE>(info.Thread));
}

void TSplash::TimerCloseTimer() {
    EnableTimer(TimerCloseId, false);
    application_.Terminate();
}

void TSplash::WMCloseRequest() {
    application_.Terminate();
}

void TSplash::Paint(HDC dc) {
    PaintLabel(dc, Label1Box, label1Text_, titleFont_.Get());
    if (logo_) {
        UniqueMemoryDc source(CreateCompatibleDC(dc));
        HGDIOBJ old = SelectObject(source.Get(), logo_.Get());
        BITMAP bm{};
        GetObjectA(logo_.Get(), sizeof bm, &bm);
        BitBlt(dc, Image1Left, Image1Top, bm.bmWidth, bm.bmHeight, source.Get(), 0, 0, SRCCOPY);
        SelectObject(source.Get(), old);
    }
    PaintLabel(dc, Label2Box, label2Text_, versionWordFont_.Get());
    // A lowered line: shadow above, highlight below.
    RECT shadow{0, Bevel1Top, SplashWidth, Bevel1Top + 1};
    RECT highlight{0, Bevel1Top + 1, SplashWidth, Bevel1Top + 2};
    FillRect(dc, &shadow, GetSysColorBrush(COLOR_BTNSHADOW));
    FillRect(dc, &highlight, GetSysColorBrush(COLOR_BTNHIGHLIGHT));
}

LRESULT CALLBACK TSplash::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TSplash*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self || message == WM_NCCREATE)
        return DefWindowProcA(window, message, wParam, lParam);
    return self->HandleMessage(window, message, wParam, lParam);
}

LRESULT TSplash::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        Paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    case WM_TIMER:
        // Nothing may unwind into the system's dispatch code: an error that escapes the
        // sequence is shown the way the toolkit shows unhandled errors, and the window stays.
        try {
            if (wParam == TimerInitId)
                TimerInitTimer();
            else if (wParam == TimerCloseId)
                TimerCloseTimer();
        } catch (const std::exception& e) {
            const std::string title = application_.Title();
            MessageBoxA(nullptr, e.what(), title.c_str(), MB_OK | MB_ICONERROR);
        } catch (...) {
            const std::string title = application_.Title();
            MessageBoxA(nullptr, "Erro desconhecido.", title.c_str(), MB_OK | MB_ICONERROR);
        }
        return 0;
    case WMCloseRequestMessage:
        WMCloseRequest();
        return 0;
    case WM_CLOSE:
        application_.Terminate();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
