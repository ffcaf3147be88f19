// The download's progress on the splash window, for the listed files' own transfers only.

#include "update/Updater.h"

namespace {

std::string Percent(std::int64_t value) {
    return "Download: " + std::to_string(value) + "%";
}

} // namespace

void TUpdater::AttachProgressHandlers() {
    http_.OnWorkBegin = [this](TIdComponent*, TWorkMode, std::int64_t max) {
        IdHTTPWorkBegin(max);
    };
    http_.OnWork = [this](TIdComponent*, TWorkMode, std::int64_t count) { IdHTTPWork(count); };
    http_.OnWorkEnd = [this](TIdComponent*, TWorkMode) { IdHTTPWorkEnd(); };
}

void TUpdater::IdHTTPWorkBegin(std::int64_t max) {
    if (http_.Tag == 0)
        return;
    values_.DownloadTotal = max;
    view_.SetVersionLabel("Download: 0%");
}

void TUpdater::IdHTTPWork(std::int64_t count) {
    if (http_.Tag == 0)
        return;
    // A transfer of unknown length shows the bytes so far instead of a percentage.
    if (values_.DownloadTotal <= 0)
        view_.SetVersionLabel("Download: " + std::to_string(count) + " bytes");
    else
        view_.SetVersionLabel(Percent(count * 100 / values_.DownloadTotal));
}

void TUpdater::IdHTTPWorkEnd() {
    if (http_.Tag == 0)
        return;
    view_.SetVersionLabel("Download: 100%");
}
