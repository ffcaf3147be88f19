#pragma once
// The user's proxy settings as the system keeps them, read for one server's URL.
//   Windows: WinHTTP's view of the user's settings (WinHttpGetIEProxyConfigForCurrentUser);
//   automatic detection or a PAC address is run for the URL by WinHTTP's resolver
//   (WinHttpGetProxyForUrlEx, Windows 8 and later), or, where there is none, the script is
//   fetched and run by jsproxy.dll; both keep the script's DIRECT entries. The DLLs are loaded
//   from the system folder when first needed, never for a user without proxy settings.
//   POSIX: http_proxy / https_proxy (either case) and no_proxy.
// What the settings mean is decided by portable code (http/IdProxy.h); this only fetches them.

#include <chrono>
#include <optional>
#include <string>

namespace platform {

struct TProxySettings {
    // What automatic detection or the PAC script answered for the URL ("PROXY a:8080; DIRECT"),
    // when one ran and answered in time.
    std::optional<std::string> PacAnswer;
    // The static list ("a:8080", "http=a:8080;https=b:8443") and its bypass list.
    std::string StaticList, BypassList;
    // The environment's proxy URL for the URL's scheme, and no_proxy.
    std::string ProxyUrl, NoProxy;
};

// The settings for url ("scheme://host:port/"), fetched by end: a detection or script still
// running then is left, and the static settings stand.
TProxySettings ReadProxySettings(const std::string& url, std::chrono::steady_clock::time_point end);

} // namespace platform
