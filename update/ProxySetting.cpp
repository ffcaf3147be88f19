#include "update/ProxySetting.h"

#include "http/IdAuthenticationSSPI.h"
#include "platform/Profile.h"
#include "platform/ProxyCredential.h"
#include "platform/ProxySettings.h"
#include "support/Text.h"

bool InstallationProxies(const std::string& setting, TIdProxyList& proxies) {
    const std::string_view value = Trim(setting);
    if (SameText(value, ProxyDirectValue)) {
        proxies.clear();
        return true;
    }
    TIdProxyServer proxy;
    // Credentials are not taken from a file anyone can read.
    if (value.find('@') != std::string_view::npos || !ParseProxyAddress(std::string(value), proxy))
        return false;
    proxies = {proxy};
    return true;
}

void ConfigureUpdateProxy(TIdHTTP& http, const std::string& iniPath) {
    http.FindProxies = [iniPath](const std::string& url,
                                 std::chrono::steady_clock::time_point end) {
        TIdProxyList proxies;
        if (InstallationProxies(
                platform::ReadProfileValue(iniPath, ProxySection, ProxyServerKey, ""), proxies))
            return proxies;
        const TIdURI uri(url);
        return ProxiesFromSettings(platform::ReadProxySettings(url, end), uri.Protocol, uri.Host);
    };
    // Negotiate, then NTLM, as the logged-on user; Basic only with what the office stored
    // for this proxy, and only when it asks.
    RegisterSignOnSchemes();
    http.OnSelectProxyAuthorization = [](TIdCustomHTTP*, TIdAuthenticationClass& cls,
                                         const TIdHeaderList& challenges) {
        if (TIdAuthenticationClass preferred = PreferredScheme(challenges))
            cls = preferred;
    };
    http.OnProxyAuthorization = [](TIdCustomHTTP* sender, TIdAuthentication* auth, bool& handled) {
        std::string username, password;
        if (!dynamic_cast<TIdBasicAuthentication*>(auth) ||
            !platform::ReadProxyCredential(sender->ProxyParams.ProxyServer(), username, password))
            return;
        auth->SetUsername(username);
        auth->SetPassword(password);
        handled = true;
    };
}
