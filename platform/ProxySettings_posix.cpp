#include "platform/ProxySettings.h"

#include <cstdlib>

namespace platform {

namespace {

// The lower-case name first, as curl and wget read them.
std::string Environment(const char* lower, const char* upper) {
    const char* value = std::getenv(lower);
    if (!value || !*value)
        value = std::getenv(upper);
    return value ? value : "";
}

} // namespace

TProxySettings ReadProxySettings(const std::string& url, std::chrono::steady_clock::time_point) {
    TProxySettings settings;
    const bool https = url.compare(0, 8, "https://") == 0;
    // Upper-case HTTP_PROXY is left alone: a CGI program would find a request's Proxy header
    // there.
    settings.ProxyUrl =
        https ? Environment("https_proxy", "HTTPS_PROXY") : Environment("http_proxy", "");
    settings.NoProxy = Environment("no_proxy", "NO_PROXY");
    return settings;
}

} // namespace platform
