// update-check: runs the launcher's version check once, without a window, against an update
// server, in an installation folder. What the splash window would show goes to standard output
// as lines "status: ...", "label: ..." and "box: ..."; used by the end-to-end tests, the
// benchmarks and the demo.
//
//   update-check --dir APPDIR [--server HOST[:PORT]] [--versao-exe TEXT] [--peak-memory 1]
//
// --peak-memory 1 prints "peak: <bytes>" at the end, the process's peak working set (for the
// benchmarks).
//
// Without --server the launcher's own address applies: QVBRELMOX_SERVER when set, else the
// built-in host.
//
// Exit status 0; 1 when QVBrelmox.ini cannot be written (the message on standard error);
// 2 for bad usage.

#include "http/IdHTTP.h"
#include "platform/Process.h"
#include "update/ProxySetting.h"
#include "update/ReleaseKeys.h"
#include "update/UpdateServer.h"
#include "update/Updater.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class TConsoleView : public ISplashView {
public:
    void SetStatus(const std::string& text) override { Print("status", text); }
    void SetVersionLabel(const std::string& text) override {
        // Progress percentages would flood the output; only the version label is shown.
        if (text.rfind("Download: ", 0) != 0)
            Print("label", text);
    }
    void InfoBox(const std::string& text) override { Print("box", text); }
    void ProcessMessages() override {}

private:
    static void Print(const char* what, const std::string& text) {
        std::printf("%s: %s\n", what, text.c_str());
        std::fflush(stdout);
    }
};

int Usage() {
    std::fputs("usage: update-check --dir APPDIR [--server HOST[:PORT]] [--versao-exe TEXT] "
               "[--peak-memory 1]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir, server, versaoExe;
    bool peakMemory = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--dir")
            dir = argv[i + 1];
        else if (arg == "--server")
            server = argv[i + 1];
        else if (arg == "--versao-exe")
            versaoExe = argv[i + 1];
        else if (arg == "--peak-memory")
            peakMemory = std::string(argv[i + 1]) == "1";
        else
            return Usage();
    }
    if (argc % 2 == 0 || dir.empty())
        return Usage();
    if (server.empty()) {
        const char* env = std::getenv("QVBRELMOX_SERVER");
        server = env ? env : "";
    }
    if (dir.back() != '\\' && dir.back() != '/')
        dir += '\\';

    TIdHTTP http;
    const TServerAddress address = UpdateServerAddress(server);
    ConfigureUpdateClient(http, address, platform::TTlsTrust{EmbeddedTlsRootPems()});
    ConfigureUpdateProxy(http, dir + "QVBrelmox.ini");
    TConsoleView view;
    TSplashValues values;
    values.VersaoExe = versaoExe;
    TUpdater updater(view, http, values, dir);
    updater.ServerAddressError = address.Error;
    updater.KeepConnection = address.Tls;
    const std::vector<std::string> keys = EmbeddedReleaseKeyPems();
    updater.SignedReleases = !keys.empty();
    ReleaseKeysFromPems(keys, updater.ReleaseKeys);
    updater.AttachProgressHandlers();
    int status = 0;
    try {
        updater.CheckForUpdates();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = 1;
    }
    if (peakMemory)
        std::printf("peak: %llu\n", platform::PeakResidentBytes());
    return status;
}
